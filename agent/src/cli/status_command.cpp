// `velloc status`: the service, its devices and their change tracking, the running backup.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "service_commands.h"

namespace velloc::cli {

using nlohmann::json;

CLI::App* addStatusCommand(CLI::App& app, ClientArgs& a) {
  auto* c = app.add_subcommand("status", "what the velloc service holds: devices, change tracking, running backup");
  c->add_option("DEVICE", a.target, "only this device (sda1)");
  addSocketOption(c, a.socket);
  return c;
}

namespace {
std::string trackingText(const json& t) {
  std::string s = t.value("state", "?");
  if (t.contains("blocks")) s += " (" + std::to_string(t["blocks"].get<uint64_t>()) + " blocks)";
  else if (t.contains("why")) s += ": " + t["why"].get<std::string>();
  return s;
}
}  // namespace

int cmdStatus(const ClientArgs& a, bool asJson, std::ostream& out) {
  json fields = json::object();
  if (!a.target.empty()) fields["device"] = a.target;
  json r = callService(a.socket, "status", fields);
  if (asJson) {
    out << r.dump(2) << "\n";
    return 0;
  }
  const json& s = r["service"];
  out << "velloc service pid " << s.value("pid", 0) << ", up " << int(s.value("uptimeSeconds", 0.0))
      << " s, protocol " << s.value("protocol", 0) << (s.value("stopping", false) ? ", stopping" : "") << "\n";
  if (r["devices"].empty()) out << "no images attached (velloc attach IMAGE)\n";
  for (const json& d : r["devices"]) {
    out << "  " << d.value("device", "?") << "  " << d.value("image", "") << " partition " << d.value("partition", 0);
    if (d.value("fileSystem", false))
      out << ", " << d.value("blocks", 0u) << " blocks of " << d.value("blockSize", 0u) << " bytes";
    else
      out << ", no file system";
    if (d["mounted"].is_string()) out << ", mounted at " << d["mounted"].get<std::string>();
    out << "\n      change tracking: " << trackingText(d["tracking"]) << "\n";
  }
  if (r["backup"].is_object()) {
    const json& b = r["backup"];
    out << "backup running: " << b.value("device", "") << " into " << b.value("repo", "") << ", round "
        << b.value("round", -1) << ", " << b.value("blocksDone", 0ull) << "/" << b.value("blocksToDo", 0ull)
        << " blocks, cache limit " << b.value("cacheBlocksLimit", 0u) << " blocks, client pid "
        << b.value("clientPid", 0) << "\n";
  }
  if (r["lastSession"].is_object())
    out << "last session: peak cached blocks " << r["lastSession"].value("peakCachedBlocks", 0ll) << "\n";
  return 0;
}

}  // namespace velloc::cli
