// Reading /proc/self/mountinfo and /sys/block/loopN/loop.
#include "velloc/agent/host_mounts.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace velloc::agent::hostmounts {

namespace {

// mountinfo escapes space, tab, newline and backslash as \ooo.
std::string unescape(const std::string& s) {
  std::string r;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size()) {
      int v = 0;
      bool ok = true;
      for (size_t k = 1; k <= 3; ++k) {
        char c = s[i + k];
        if (c < '0' || c > '7') ok = false;
        v = v * 8 + (c - '0');
      }
      if (ok) {
        r += char(v);
        i += 3;
        continue;
      }
    }
    r += s[i];
  }
  return r;
}

// Source of the mount at `dir` (the last one: mounts stack), or "" with *found false.
std::string lookup(const std::string& dir, bool* found) {
  std::string want = canonical(dir), source;
  *found = false;
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string id, parent, devno, root, point;
    if (!(ls >> id >> parent >> devno >> root >> point)) continue;
    if (unescape(point) != want) continue;
    size_t dash = line.find(" - ");
    std::string rest = dash == std::string::npos ? "" : line.substr(dash + 3);
    std::istringstream rs(rest);
    std::string fstype, src;
    rs >> fstype >> src;
    *found = true;
    source = unescape(src);
  }
  return source;
}

}  // namespace

std::string canonical(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
}

bool isMountPoint(const std::string& dir) {
  bool found;
  lookup(dir, &found);
  return found;
}

std::string mountSource(const std::string& dir) {
  bool found;
  return lookup(dir, &found);
}

std::string loopBackingFile(const std::string& loopDev) {
  std::string name = loopDev.substr(loopDev.rfind('/') + 1);
  std::ifstream in("/sys/block/" + name + "/loop/backing_file");
  std::string file;
  std::getline(in, file);
  return file;
}

}  // namespace velloc::agent::hostmounts
