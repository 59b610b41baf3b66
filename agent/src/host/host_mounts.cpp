// Reading /proc/self/mountinfo and /sys/block/loopN/loop.
#include "velloc/agent/host_mounts.h"

#include <dirent.h>

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

struct MountEntry {
  std::string point, source;
};

std::vector<MountEntry> mountTable() {
  std::vector<MountEntry> table;
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string id, parent, devno, root, point;
    if (!(ls >> id >> parent >> devno >> root >> point)) continue;
    size_t dash = line.find(" - ");
    std::istringstream rs(dash == std::string::npos ? "" : line.substr(dash + 3));
    std::string fstype, src;
    rs >> fstype >> src;
    table.push_back({unescape(point), unescape(src)});
  }
  return table;
}

// Source of the mount at `dir` (the last one: mounts stack), or "" with *found false.
std::string lookup(const std::string& dir, bool* found) {
  std::string want = canonical(dir), source;
  *found = false;
  for (const MountEntry& e : mountTable())
    if (e.point == want) {
      *found = true;
      source = e.source;
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

std::vector<std::string> loopsBackedUnder(const std::string& dir) {
  std::vector<std::string> loops;
  const std::string prefix = dir + "/";
  DIR* d = ::opendir("/sys/block");
  if (!d) return loops;
  while (struct dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name.rfind("loop", 0) != 0) continue;
    std::string dev = "/dev/" + name;
    if (loopBackingFile(dev).rfind(prefix, 0) == 0) loops.push_back(dev);
  }
  ::closedir(d);
  return loops;
}

std::vector<std::string> mountPointsOf(const std::string& source) {
  std::vector<std::string> points;
  for (const MountEntry& e : mountTable())
    if (e.source == source) points.push_back(e.point);
  return points;
}

}  // namespace velloc::agent::hostmounts
