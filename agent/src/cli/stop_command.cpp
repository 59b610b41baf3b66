// `velloc stop`: the service ends as on SIGTERM.
#include <CLI/CLI.hpp>

#include "service_commands.h"

namespace velloc::cli {

CLI::App* addStopCommand(CLI::App& app, ClientArgs& a) {
  auto* c = app.add_subcommand("stop", "stop the velloc service (mounts taken down, images detached)");
  addSocketOption(c, a.socket);
  return c;
}

int cmdStop(const ClientArgs& a, bool asJson, std::ostream& out) {
  nlohmann::json r = callService(a.socket, "stop", nlohmann::json::object());
  if (asJson) out << r.dump(2) << "\n";
  else out << "the velloc service is stopping\n";
  return 0;
}

}  // namespace velloc::cli
