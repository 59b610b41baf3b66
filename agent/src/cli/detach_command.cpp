// `velloc detach DISK|IMAGE`: the service lets an image go (its change tracking ends).
#include <CLI/CLI.hpp>

#include "service_commands.h"

namespace velloc::cli {

CLI::App* addDetachCommand(CLI::App& app, ClientArgs& a) {
  auto* c = app.add_subcommand("detach", "detach a disk (sda) or image from the velloc service");
  c->add_option("DISK", a.target, "disk name (sda) or image path")->required();
  addSocketOption(c, a.socket);
  return c;
}

int cmdDetach(const ClientArgs& a, bool asJson, std::ostream& out) {
  bool isName = a.target.find('/') == std::string::npos && a.target.rfind("sd", 0) == 0 && a.target.size() == 3;
  nlohmann::json r = callService(a.socket, "detach", {{isName ? "disk" : "image", a.target}});
  if (asJson) out << r.dump(2) << "\n";
  else out << "detached " << r.value("disk", "?") << "\n";
  return 0;
}

}  // namespace velloc::cli
