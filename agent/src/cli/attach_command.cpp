// `velloc attach IMAGE`: the service takes the image (and its lock) and lists its devices.
#include <CLI/CLI.hpp>

#include "service_commands.h"

namespace velloc::cli {

using nlohmann::json;

CLI::App* addAttachCommand(CLI::App& app, ClientArgs& a) {
  auto* c = app.add_subcommand("attach", "attach a disk image to the velloc service");
  c->add_option("IMAGE", a.target, "disk image with an MBR")->required();
  addSocketOption(c, a.socket);
  return c;
}

int cmdAttach(const ClientArgs& a, bool asJson, std::ostream& out) {
  json r = callService(a.socket, "attach", {{"image", a.target}});
  if (asJson) {
    out << r.dump(2) << "\n";
    return 0;
  }
  out << "attached " << a.target << " as " << r.value("disk", "?") << ":";
  for (const json& d : r["devices"])
    out << " " << d.value("device", "?") << (d.value("fileSystem", false) ? "" : " (no file system)");
  out << "\n";
  return 0;
}

}  // namespace velloc::cli
