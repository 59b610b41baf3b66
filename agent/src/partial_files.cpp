#include "velloc/agent/partial_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "fileutil.h"

namespace velloc::agent {

std::string partialName(const std::string& path) { return path + ".partial-" + std::to_string(::getpid()); }

namespace {

// The pid in NAME.partial-PID, or 0 when the name is not one of ours.
pid_t partialPid(const std::string& name) {
  static const std::string kTag = ".partial-";
  size_t at = name.rfind(kTag);
  if (at == std::string::npos || at + kTag.size() == name.size()) return 0;
  pid_t pid = 0;
  for (size_t i = at + kTag.size(); i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9' || pid > 100000000) return 0;
    pid = pid * 10 + (name[i] - '0');
  }
  return pid;
}

// True when no live process writes `path`: nobody holds its flock (a directory's lock
// file). Without a lock file to ask, the pid decides.
bool writerIsGone(const std::string& path, bool isDir, pid_t pid) {
  std::string probe = isDir ? path + "/lock" : path;
  int fd = ::open(probe.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return ::kill(pid, 0) != 0 && errno == ESRCH;
  bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return free;
}

}  // namespace

std::vector<std::string> removeDeadPartials(const std::string& dir, const std::string& prefix) {
  std::vector<std::string> removed;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.rfind(prefix, 0) != 0) continue;
    pid_t pid = partialPid(name);
    if (pid <= 0 || pid == ::getpid()) continue;
    std::string path = dir + "/" + name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) continue;
    if (!writerIsGone(path, S_ISDIR(st.st_mode), pid)) continue;
    fs::removeTree(path);
    removed.push_back(name);
  }
  return removed;
}

// ---- removal on signals ----------------------------------------------------------------
//
// The handler may run on any thread at any moment, so the tracked paths live in a fixed
// table of slots (no allocation, no locks) and the handler uses system calls only.

namespace {

constexpr int kSlots = 32;
struct Slot {
  std::atomic<int> state{0};  // 0 free, 1 being filled, 2 tracked
  bool isDir = false;
  char path[4096];
};
Slot g_slots[kSlots];

void removeDirectoryNow(const char* path) {
  int fd = int(::syscall(SYS_open, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd >= 0) {
    char buf[4096];
    for (;;) {
      long n = ::syscall(SYS_getdents64, fd, buf, sizeof buf);
      if (n <= 0) break;
      for (long off = 0; off < n;) {
        // struct linux_dirent64: ino (8), off (8), reclen (2), type (1), name.
        unsigned short reclen;
        std::memcpy(&reclen, buf + off + 16, sizeof reclen);
        const char* name = buf + off + 19;
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) ::unlinkat(fd, name, 0);
        off += reclen;
      }
    }
    ::close(fd);
  }
  ::rmdir(path);
}

void onInterrupt(int sig) {
  // The signal raised again stays blocked until this handler returns, and the interrupted
  // code then sees errno again before it dies: give it back as it was.
  const int savedErrno = errno;
  for (Slot& s : g_slots) {
    if (s.state.load(std::memory_order_acquire) != 2) continue;
    if (s.isDir)
      removeDirectoryNow(s.path);
    else
      ::unlink(s.path);
  }
  ::signal(sig, SIG_DFL);
  ::raise(sig);
  errno = savedErrno;
}

constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_old[3];
std::atomic<int> g_installed{0};

}  // namespace

PartialGuard::PartialGuard(const std::string& path, bool isDirectory) {
  if (path.size() >= sizeof g_slots[0].path) return;
  for (int i = 0; i < kSlots; ++i) {
    int expect = 0;
    if (!g_slots[i].state.compare_exchange_strong(expect, 1)) continue;
    g_slots[i].isDir = isDirectory;
    std::memcpy(g_slots[i].path, path.c_str(), path.size() + 1);
    g_slots[i].state.store(2, std::memory_order_release);
    slot_ = i;
    return;
  }
}

PartialGuard::~PartialGuard() { release(); }

PartialGuard& PartialGuard::operator=(PartialGuard&& o) noexcept {
  if (this != &o) {
    release();
    slot_ = o.slot_;
    o.slot_ = -1;
  }
  return *this;
}

void PartialGuard::release() {
  if (slot_ >= 0) g_slots[slot_].state.store(0, std::memory_order_release);
  slot_ = -1;
}

InterruptCleanup::InterruptCleanup() {
  if (g_installed.fetch_add(1) != 0) return;
  struct sigaction sa {};
  sa.sa_handler = onInterrupt;
  sigemptyset(&sa.sa_mask);
  for (int s : kSignals) sigaddset(&sa.sa_mask, s);
  for (size_t i = 0; i < 3; ++i) ::sigaction(kSignals[i], &sa, &g_old[i]);
}

InterruptCleanup::~InterruptCleanup() {
  if (g_installed.fetch_sub(1) != 1) return;
  for (size_t i = 0; i < 3; ++i) ::sigaction(kSignals[i], &g_old[i], nullptr);
}

}  // namespace velloc::agent
