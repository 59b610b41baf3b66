// A seam under every write, flush and rename of the agent's own files (backup
// directories, restored images), so tests can make the target fail (ENOSPC, EIO) or
// end the process at any one of them, as a full disk or a crash would.
#pragma once
#include <functional>
#include <string>

namespace velloc::agent::fs {

enum class FileOp { write, fsync, rename };

// Called before each such call with its path; a non-zero result fails the call with that
// errno. An empty hook (the default) costs one test of a flag.
using FaultHook = std::function<int(FileOp op, const std::string& path)>;
void setFaultHook(FaultHook hook);

}  // namespace velloc::agent::fs
