// `velloc live`: backups of a real host ext4 that real programs write.
#pragma once
#include <cstdint>
#include <ostream>
#include <string>

namespace CLI {
class App;
}

namespace velloc::cli {

struct LiveArgs {
  std::string image;
  int partition = 1;
  std::string mountDir;
  std::string outDir;          // "" = IMAGE.live-YYYYmmdd-HHMMSS
  int rounds = 3;              // incrementals after the full backup
  double interval = 5;         // seconds before each backup
  uint32_t cacheBlocks = 16384;
};

// Registers the subcommand and its options on `app`, filling `a`.
CLI::App* addLiveCommand(CLI::App& app, LiveArgs& a);
int cmdLive(const LiveArgs& a, bool json, std::ostream& out, std::ostream& err);

}  // namespace velloc::cli
