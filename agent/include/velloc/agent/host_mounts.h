// The host's mount table and loop devices, as the live mount needs to read them.
#pragma once
#include <string>
#include <vector>

namespace velloc::agent::hostmounts {

// The absolute path with symbolic links resolved; the path itself when that fails.
std::string canonical(const std::string& path);
// True when `dir` is the mount point of some mount in this process's namespace.
bool isMountPoint(const std::string& dir);
// The device or source (first field after " - fstype ") mounted at `dir`; "" when none.
std::string mountSource(const std::string& dir);
// The file a loop device (/dev/loopN) reads and writes; "" when it is free or unknown.
std::string loopBackingFile(const std::string& loopDev);
// Loop devices (/dev/loopN) whose backing file lies under directory `dir`.
std::vector<std::string> loopsBackedUnder(const std::string& dir);
// Mount points of whatever is mounted from `source` (a device path), latest last.
std::vector<std::string> mountPointsOf(const std::string& source);

}  // namespace velloc::agent::hostmounts
