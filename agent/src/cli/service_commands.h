// `velloc serve` and the commands that talk to it over its control socket: status,
// attach, detach, mount, unmount, stop, and `backup DEVICE --repo DIR`.
#pragma once
#include <functional>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace velloc::cli {

struct ServeArgs {
  std::vector<std::string> images;
  std::string socket;          // "" = the default path
  bool testWrites = false;
};
CLI::App* addServeCommand(CLI::App& app, ServeArgs& a);
int cmdServe(const ServeArgs& a, std::ostream& out, std::ostream& err);

// The arguments every client command shares, plus its own.
struct ClientArgs {
  std::string socket;
  std::string target;          // the image, disk or device the command names
  std::string dir;             // mount: where
};
CLI::App* addStatusCommand(CLI::App& app, ClientArgs& a);
CLI::App* addAttachCommand(CLI::App& app, ClientArgs& a);
CLI::App* addDetachCommand(CLI::App& app, ClientArgs& a);
CLI::App* addMountCommand(CLI::App& app, ClientArgs& a);
CLI::App* addUnmountCommand(CLI::App& app, ClientArgs& a);
CLI::App* addStopCommand(CLI::App& app, ClientArgs& a);
int cmdStatus(const ClientArgs& a, bool json, std::ostream& out);
int cmdAttach(const ClientArgs& a, bool json, std::ostream& out);
int cmdDetach(const ClientArgs& a, bool json, std::ostream& out);
int cmdMount(const ClientArgs& a, bool json, std::ostream& out);
int cmdUnmount(const ClientArgs& a, bool json, std::ostream& out);
int cmdStop(const ClientArgs& a, bool json, std::ostream& out);

// True when `arg` of `velloc backup` names a device of the service ("sda1") rather than
// an image file: no such file exists and it reads like a device name.
bool namesServiceDevice(const std::string& arg);
struct ServiceBackupArgs {
  std::string socket, device, repo;
  uint32_t cacheBlocks = 16384;
  bool full = false;
  bool verify = false;
  std::string compress;  // "" = the service's default
  bool allBlocks = false;
};
int cmdServiceBackup(const ServiceBackupArgs& a, bool json, std::ostream& out, std::ostream& err);

// Adds --socket (default: the service's default path) to a client subcommand.
void addSocketOption(CLI::App* c, std::string& socket);
// One request to the service; throws agent::AgentError with the service's refusal.
nlohmann::json callService(const std::string& socket, const std::string& op, nlohmann::json fields,
                           const std::function<void(const nlohmann::json&)>& onEvent = {});

}  // namespace velloc::cli
