// Helpers for the agent tests: scratch directories and backup directories made
// without the device.
#pragma once
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "velloc/agent/backup_dir.h"
#include "velloc/agent/bitmap.h"
#include "velloc/agent/host.h"

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

// The message of the AgentError `fn` throws, "(no error)" when it throws none.
std::string errorOf(const std::function<void()>& fn);

// The whole contents of a file ("" when it cannot be read).
std::string readText(const std::string& path);

// Moves the running backup session into `state` (an error state) as a failing write
// would; false when no session runs or it had failed already.
bool failActiveSession(uint32_t state);

// Runs the velloc command in-process; returns its exit status, with out/err captured.
int runVelloc(const std::vector<std::string>& args, std::string* out, std::string* err);

// Writes a backup directory of `rounds` snapshots without the device: `images[r]` is the
// partition at round r; round 0 and the rounds in `fullRounds` are full, the others
// incrementals of the blocks that differ from the round before. `partition` names the
// source in the manifest. `compress(r)` says how round r stores its blocks (raw when not
// given).
void writeChain(const std::string& dir, const std::vector<std::vector<uint8_t>>& images, uint32_t blockSize,
                int partition = 1,
                const std::function<velloc::agent::Compression(int)>& compress = {},
                const std::set<size_t>& fullRounds = {});

// The source record of partition `p` of `host`, as `t` describes it; `image` names it.
velloc::agent::SourceInfo sourceOf(const velloc::agent::Host& host, const velloc::agent::Target& t, int p,
                                   const std::string& image);

// A change-tracking key made from `n`.
AMSessionKey keyOf(int n);

// Appends to the repository `w` writes an incremental round that sets block `block` to
// `value`, drawing key `key`, and keeps the key.
void appendRound(velloc::agent::BackupDirWriter& w, uint32_t block, uint8_t value, const AMSessionKey& key);

// The writes, flushes and renames of the agent's own files that `fn` makes.
int countFileSteps(const std::function<void()>& fn);
// Runs `fn` in a child process that ends at its k-th such step, as a crash would
// (nothing cleaned up); true when it ended there.
bool crashAtFileStep(int k, const std::function<void()>& fn);
// Runs `fn` with its k-th such step failing with `err`; the AgentError's message, or
// "(no error)".
std::string failAtFileStep(int k, int err, const std::function<void()>& fn);

// Makes incremental `round` of `dir` claim it presented a key with digest `presented`,
// consistently in its header and the manifest (checksum updated): a broken key chain
// that no checksum gives away.
void rewriteIncrementalKeys(const std::string& dir, int round, const std::string& presented);

}  // namespace agent_test
