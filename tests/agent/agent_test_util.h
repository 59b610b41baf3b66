// Helpers for the agent tests: scratch directories and backup directories made
// without the device.
#pragma once
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "velloc/agent/backup_dir.h"
#include "velloc/agent/bitmap.h"

namespace agent_test {

// A fresh directory removed at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "velloc-agent-test-XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs the velloc command in-process; returns its exit status, with out/err captured.
int runVelloc(const std::vector<std::string>& args, std::string* out, std::string* err);

// Writes a backup directory of `rounds` snapshots without the device: `images[r]` is the
// partition at round r; round 0 is full, later rounds are incrementals of the blocks
// that differ from the round before. `partition` names the source in the manifest.
void writeChain(const std::string& dir, const std::vector<std::vector<uint8_t>>& images, uint32_t blockSize,
                int partition = 1);

}  // namespace agent_test
