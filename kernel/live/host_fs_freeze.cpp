// FIFREEZE/FITHAW with bounded waits, and the thaw a dying process still owes.
#include "live/host_fs_freeze.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
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

// The mount point of the file system this process holds frozen, for the crash handler.
std::atomic<int> g_frozenFd{-1};
constexpr int kFatalSignals[] = {SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGFPE};
struct sigaction g_previous[sizeof kFatalSignals / sizeof kFatalSignals[0]];

// A frozen file system outliving its freezer would hold every writer on the host, so a
// fatal signal thaws it first, then lets the previous handler (or the default) act.
void onFatalSignal(int sig) {
  int fd = g_frozenFd.exchange(-1);
  if (fd >= 0) ::ioctl(fd, FITHAW, 0);
  for (size_t i = 0; i < sizeof kFatalSignals / sizeof kFatalSignals[0]; ++i)
    if (kFatalSignals[i] == sig) ::sigaction(sig, &g_previous[i], nullptr);
  // A fault re-executes the faulting instruction under the previous handler on return;
  // an abort must be raised again to reach it.
  if (sig == SIGABRT) ::raise(sig);
}

void installFatalSignalThaw() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (size_t i = 0; i < sizeof kFatalSignals / sizeof kFatalSignals[0]; ++i) {
      struct sigaction sa {};
      sa.sa_handler = onFatalSignal;
      sigemptyset(&sa.sa_mask);
      sa.sa_flags = SA_NODEFER;
      ::sigaction(kFatalSignals[i], &sa, &g_previous[i]);
    }
  });
}

int freezeBackend(void* ctx) { return static_cast<HostFsFreezer*>(ctx)->freeze(); }
void thawBackend(void* ctx) { static_cast<HostFsFreezer*>(ctx)->thaw(); }

}  // namespace

// Shared by the caller and the thread inside FIFREEZE, which may outlive the caller's wait.
struct HostFsFreezer::Pending {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  bool abandoned = false;
  int rc = 0;
  int fd = -1;  // a duplicate, owned here
  ~Pending() {
    if (fd >= 0) ::close(fd);
  }
};

HostFsFreezer::HostFsFreezer(const std::string& mountDir, unsigned timeoutMs) : dir_(mountDir), timeoutMs_(timeoutMs) {
  fd_ = ::open(mountDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error("cannot open " + mountDir + ": " + std::strerror(errno));
  installFatalSignalThaw();
}

HostFsFreezer::~HostFsFreezer() {
  detach();
  thaw();
  ::close(fd_);
}

int HostFsFreezer::freeze() {
  std::lock_guard lk(mu_);
  if (frozen_) return -EBUSY;
  auto p = std::make_shared<Pending>();
  p->fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (p->fd < 0) return -errno;
  freezeCalled_ = wallNow();
  std::thread([p] {
    int rc = ::ioctl(p->fd, FIFREEZE, 0) == 0 ? 0 : -errno;
    std::lock_guard g(p->mu);
    // Nobody waits for this freeze any more: it must not stay.
    if (p->abandoned && rc == 0) ::ioctl(p->fd, FITHAW, 0);
    p->rc = rc;
    p->done = true;
    p->cv.notify_all();
  }).detach();
  std::unique_lock g(p->mu);
  if (!p->cv.wait_for(g, std::chrono::milliseconds(timeoutMs_), [&] { return p->done; })) {
    p->abandoned = true;
    return -ETIMEDOUT;
  }
  if (p->rc != 0) return p->rc;
  g_frozenFd = fd_;
  frozen_ = true;
  freezes_++;
  freezeHeld_ = wallNow();
  return 0;
}

void HostFsFreezer::thaw() {
  std::lock_guard lk(mu_);
  if (!frozen_) return;
  g_frozenFd = -1;
  ::ioctl(fd_, FITHAW, 0);
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
