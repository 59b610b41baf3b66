// What every client command of the service shares: the socket option and one call.
#include <CLI/CLI.hpp>
#include <regex>
#include <sys/stat.h>

#include "../service/client.h"
#include "../service/control_socket.h"
#include "service_commands.h"

namespace velloc::cli {

void addSocketOption(CLI::App* c, std::string& socket) {
  c->add_option("--socket", socket, "the service's control socket (default " + service::defaultSocketPath() + ")");
}

nlohmann::json callService(const std::string& socket, const std::string& op, nlohmann::json fields,
                           const std::function<void(const nlohmann::json&)>& onEvent) {
  service::Client c(socket.empty() ? service::defaultSocketPath() : socket);
  return c.call(op, std::move(fields), onEvent);
}

bool namesServiceDevice(const std::string& arg) {
  struct stat st;
  if (::stat(arg.c_str(), &st) == 0) return false;
  static const std::regex device("[a-z]+[0-9]+");
  return std::regex_match(arg, device);
}

}  // namespace velloc::cli
