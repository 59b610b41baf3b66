// `velloc unmount DEVICE`: the service takes a host mount down (the device stays attached).
#include <CLI/CLI.hpp>

#include "service_commands.h"

namespace velloc::cli {

CLI::App* addUnmountCommand(CLI::App& app, ClientArgs& a) {
  auto* c = app.add_subcommand("unmount", "take down the host mount of a device of the velloc service");
  c->add_option("DEVICE", a.target, "device (sda1)")->required();
  addSocketOption(c, a.socket);
  return c;
}

int cmdUnmount(const ClientArgs& a, bool asJson, std::ostream& out) {
  nlohmann::json r = callService(a.socket, "unmount", {{"device", a.target}});
  if (asJson) out << r.dump(2) << "\n";
  else out << "unmounted " << r.value("unmounted", "") << " (" << a.target << ")\n";
  return 0;
}

}  // namespace velloc::cli
