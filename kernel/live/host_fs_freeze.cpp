// FIFREEZE/FITHAW with bounded waits, made by a freezer process of our own that thaws
// whatever it froze when we die.
#include "live/host_fs_freeze.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace machine {

namespace {

// The host's freeze ioctls (<linux/fs.h> here is the stand-in's own header).
constexpr unsigned long FIFREEZE = _IOWR('X', 119, int);
constexpr unsigned long FITHAW = _IOWR('X', 120, int);

double wallNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

int freezeBackend(void* ctx) { return static_cast<HostFsFreezer*>(ctx)->freeze(); }
void thawBackend(void* ctx) { static_cast<HostFsFreezer*>(ctx)->thaw(); }

// Closes every descriptor but `keepA` and `keepB` (async-signal-safe).
void closeAllBut(int keepA, int keepB) {
  int lo = std::min(keepA, keepB), hi = std::max(keepA, keepB);
  if (lo > 0) ::syscall(SYS_close_range, 0u, unsigned(lo - 1), 0u);
  if (hi > lo + 1) ::syscall(SYS_close_range, unsigned(lo + 1), unsigned(hi - 1), 0u);
  ::syscall(SYS_close_range, unsigned(hi + 1), ~0u, 0u);
}

// The freezer process, forked from a process with threads: async-signal-safe calls only.
// One byte per command on `sock` ('F' freeze, 'T' thaw), one int back (0 or -errno).
// End of file means the process that forked it is gone (or done with it): what is
// frozen is thawed, and the freezer exits. The stop signals a terminal sends the whole
// process group are ignored, so that only its parent's end ends it.
[[noreturn]] void freezerMain(int sock, int dirFd) {
  struct sigaction ign {};
  ign.sa_handler = SIG_IGN;
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) ::sigaction(sig, &ign, nullptr);
  bool frozen = false;
  for (;;) {
    char c;
    ssize_t n = ::read(sock, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    int rc = 0;
    if (c == 'F') {
      rc = ::ioctl(dirFd, FIFREEZE, 0) == 0 ? 0 : -errno;
      if (rc == 0) frozen = true;
    } else if (c == 'T' && frozen) {
      rc = ::ioctl(dirFd, FITHAW, 0) == 0 ? 0 : -errno;
      frozen = false;
    }
    if (::write(sock, &rc, sizeof rc) != ssize_t(sizeof rc)) break;
  }
  if (frozen) ::ioctl(dirFd, FITHAW, 0);
  ::_exit(0);
}

}  // namespace

HostFsFreezer::HostFsFreezer(const std::string& mountDir, unsigned timeoutMs) : dir_(mountDir), timeoutMs_(timeoutMs) {
  fd_ = ::open(mountDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error("cannot open " + mountDir + ": " + std::strerror(errno));
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
    int e = errno;
    ::close(fd_);
    throw std::runtime_error(std::string("cannot make the freezer's socket: ") + std::strerror(e));
  }
  pid_t pid = ::fork();
  if (pid < 0) {
    int e = errno;
    ::close(sv[0]);
    ::close(sv[1]);
    ::close(fd_);
    throw std::runtime_error(std::string("cannot start the freezer process: ") + std::strerror(e));
  }
  if (pid == 0) {
    // Nothing of ours but the mount point and the socket: above all not the FUSE
    // device, whose connection must end with this process's parent.
    closeAllBut(sv[1], fd_);
    freezerMain(sv[1], fd_);
  }
  ::close(sv[1]);
  sock_ = sv[0];
  pid_ = pid;
}

HostFsFreezer::~HostFsFreezer() {
  detach();
  thaw();
  ::close(sock_);  // the freezer thaws anything still frozen and exits
  for (int i = 0; i < 500; ++i) {
    if (::waitpid(pid_, nullptr, WNOHANG) != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::close(fd_);
}

int HostFsFreezer::command(char c, unsigned timeoutMs) {
  // Answers to commands whose wait timed out come first.
  while (late_ > 0) {
    pollfd p{sock_, POLLIN, 0};
    int rc;
    if (::poll(&p, 1, 0) <= 0 || ::read(sock_, &rc, sizeof rc) != ssize_t(sizeof rc)) return -EBUSY;
    late_--;
  }
  if (::write(sock_, &c, 1) != 1) return -EPIPE;
  pollfd p{sock_, POLLIN, 0};
  if (::poll(&p, 1, int(timeoutMs)) <= 0) {
    late_++;
    return -ETIMEDOUT;
  }
  int rc;
  if (::read(sock_, &rc, sizeof rc) != ssize_t(sizeof rc)) return -EPIPE;
  return rc;
}

int HostFsFreezer::freeze() {
  std::lock_guard lk(mu_);
  if (frozen_) return -EBUSY;
  freezeCalled_ = wallNow();
  int rc = command('F', timeoutMs_);
  if (rc == -ETIMEDOUT) {
    // The freeze must not stay once it does complete: the thaw waits behind it.
    if (::write(sock_, "T", 1) == 1) late_++;
    return rc;
  }
  if (rc != 0) return rc;
  frozen_ = true;
  freezes_++;
  freezeHeld_ = wallNow();
  return 0;
}

void HostFsFreezer::thaw() {
  std::lock_guard lk(mu_);
  if (!frozen_) return;
  command('T', 60000);
  frozen_ = false;
  thawed_ = wallNow();
}

void HostFsFreezer::attach(Mount* m) {
  FreezeBackend b;
  b.freeze = freezeBackend;
  b.thaw = thawBackend;
  b.ctx = this;
  fs_set_freeze_backend(m, b);
  mount_ = m;
}

void HostFsFreezer::detach() {
  if (mount_) fs_set_freeze_backend(mount_, FreezeBackend{});
  mount_ = nullptr;
}

int HostFsFreezer::thawPath(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -errno;
  int rc = ::ioctl(fd, FITHAW, 0) == 0 ? 0 : -errno;
  ::close(fd);
  return rc;
}

}  // namespace machine
