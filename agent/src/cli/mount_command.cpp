// `velloc mount DEVICE DIR`: the service presents a partition to the host (FUSE, loop
// device, the host's ext4 mounted at DIR) until `velloc unmount` or its end.
#include <CLI/CLI.hpp>
#include <filesystem>

#include "service_commands.h"

namespace velloc::cli {

CLI::App* addMountCommand(CLI::App& app, ClientArgs& a) {
  auto* c = app.add_subcommand("mount", "mount a device of the velloc service on the host (root; docs/service.md)");
  c->add_option("DEVICE", a.target, "device (sda1)")->required();
  c->add_option("DIR", a.dir, "empty directory to mount its ext4 at")->required();
  addSocketOption(c, a.socket);
  return c;
}

int cmdMount(const ClientArgs& a, bool asJson, std::ostream& out) {
  std::error_code ec;
  std::string dir = std::filesystem::absolute(a.dir, ec).string();
  nlohmann::json r = callService(a.socket, "mount", {{"device", a.target}, {"dir", dir}});
  if (asJson) out << r.dump(2) << "\n";
  else out << a.target << " mounted at " << r.value("mounted", dir) << " (" << r.value("loop", "") << ")\n";
  return 0;
}

}  // namespace velloc::cli
