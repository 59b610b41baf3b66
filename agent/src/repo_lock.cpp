#include "velloc/agent/repo_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "fileutil.h"
#include "velloc/agent/errors.h"

namespace velloc::agent {

RepoLock RepoLock::acquire(const std::string& dir, double waitSeconds) {
  const std::string path = dir + "/lock";
  int fd = fs::openOrThrow(path, O_RDWR | O_CREAT, "open the lock of backup directory", 0600);
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(waitSeconds);
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int e = errno;
    if (e == EINTR) continue;
    if (e != EWOULDBLOCK) {
      ::close(fd);
      throw AgentError("cannot lock backup directory " + dir + ": " + fs::errnoText(e));
    }
    if (std::chrono::steady_clock::now() >= until) {
      ::close(fd);
      long pid = holderOf(dir);
      throw AgentError("backup directory " + dir + " is in use by " +
                       (pid > 0 ? "process " + std::to_string(pid) : std::string("another process")) +
                       " (it holds " + path + "); wait for it to finish");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // The lock is ours: record who holds it.
  std::string me = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, me.data(), me.size(), 0) != ssize_t(me.size())) {
    int e = errno;
    ::close(fd);
    throw AgentError("cannot write the lock of backup directory " + dir + ": " + fs::errnoText(e));
  }
  return RepoLock(fd);
}

RepoLock::~RepoLock() { release(); }

RepoLock& RepoLock::operator=(RepoLock&& o) noexcept {
  if (this != &o) {
    release();
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

void RepoLock::release() {
  if (fd_ >= 0) ::close(fd_);  // closing the only descriptor lets the flock go
  fd_ = -1;
}

long RepoLock::holderOf(const std::string& dir) {
  int fd = ::open((dir + "/lock").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buf[32] = {};
  ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
  ::close(fd);
  return n > 0 ? std::strtol(buf, nullptr, 10) : 0;
}

}  // namespace velloc::agent
