#include "fileutil.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>  // BLKGETSIZE64
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "velloc/agent/errors.h"
#include "velloc/agent/file_faults.h"
#include "velloc/agent/partial_files.h"

namespace velloc::agent::fs {

std::string errnoText(int e) { return std::strerror(e); }

namespace {
FaultHook g_hook;
std::atomic<bool> g_hooked{false};
// The errno the test hook injects for this call, 0 for none.
int injected(FileOp op, const std::string& path) {
  return g_hooked.load(std::memory_order_relaxed) ? g_hook(op, path) : 0;
}
}  // namespace

void setFaultHook(FaultHook hook) {
  g_hooked = false;
  g_hook = std::move(hook);
  g_hooked = bool(g_hook);
}

int openOrThrow(const std::string& path, int flags, const std::string& what, int mode) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  if (fd < 0) throw AgentError("cannot " + what + " " + path + ": " + errnoText(errno));
  return fd;
}

void pwriteAll(int fd, const void* buf, size_t len, uint64_t off, const std::string& path) {
  const char* p = static_cast<const char*>(buf);
  if (int e = injected(FileOp::write, path)) throw AgentError("cannot write " + path + ": " + errnoText(e));
  while (len) {
    ssize_t n = ::pwrite(fd, p, len, off_t(off));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw AgentError("cannot write " + path + ": " + errnoText(n < 0 ? errno : ENOSPC));
    p += n; len -= size_t(n); off += uint64_t(n);
  }
}

void pwritevAll(int fd, const struct iovec* iov, int n, uint64_t off, const std::string& path) {
  if (int e = injected(FileOp::write, path)) throw AgentError("cannot write " + path + ": " + errnoText(e));
  std::vector<struct iovec> v(iov, iov + n);
  size_t i = 0;
  while (i < v.size()) {
    int cnt = int(std::min<size_t>(v.size() - i, IOV_MAX));
    ssize_t w = ::pwritev(fd, v.data() + i, cnt, off_t(off));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) throw AgentError("cannot write " + path + ": " + errnoText(w < 0 ? errno : ENOSPC));
    off += uint64_t(w);
    size_t left = size_t(w);
    while (i < v.size() && left >= v[i].iov_len) left -= v[i++].iov_len;
    if (left) {
      v[i].iov_base = static_cast<char*>(v[i].iov_base) + left;
      v[i].iov_len -= left;
    }
  }
}

void preadAll(int fd, void* buf, size_t len, uint64_t off, const std::string& path) {
  char* p = static_cast<char*>(buf);
  while (len) {
    ssize_t n = ::pread(fd, p, len, off_t(off));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw AgentError("cannot read " + path + ": " + errnoText(errno));
    if (n == 0) throw AgentError(path + " is shorter than expected (truncated?)");
    p += n; len -= size_t(n); off += uint64_t(n);
  }
}

void fsyncOrThrow(int fd, const std::string& path) {
  if (int e = injected(FileOp::fsync, path)) throw AgentError("cannot flush " + path + ": " + errnoText(e));
  if (::fsync(fd) != 0) throw AgentError("cannot flush " + path + ": " + errnoText(errno));
}

void renameOrThrow(const std::string& from, const std::string& to) {
  if (int e = injected(FileOp::rename, to))
    throw AgentError("cannot rename " + from + " to " + to + ": " + errnoText(e));
  if (::rename(from.c_str(), to.c_str()) != 0)
    throw AgentError("cannot rename " + from + " to " + to + ": " + errnoText(errno));
}

uint64_t fileSize(int fd, const std::string& path) {
  struct stat st;
  if (::fstat(fd, &st) != 0) throw AgentError("cannot stat " + path + ": " + errnoText(errno));
  if (S_ISBLK(st.st_mode)) {  // st_size is 0 for a block device: the device knows its size
    uint64_t bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) throw AgentError("cannot size " + path + ": " + errnoText(errno));
    return bytes;
  }
  return uint64_t(st.st_size);
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

void writeFileAtomic(const std::string& path, const void* data, size_t len, int mode) {
  std::string tmp = partialName(path);
  Fd fd(openOrThrow(tmp, O_WRONLY | O_CREAT | O_TRUNC, "create", mode));
  PartialGuard guard(tmp);
  try {
    ::flock(fd.get(), LOCK_EX);
    if (mode != 0644 && ::fchmod(fd.get(), mode_t(mode)) != 0) throw AgentError("cannot set the mode of " + tmp + ": " + errnoText(errno));
    pwriteAll(fd.get(), data, len, 0, tmp);
    fsyncOrThrow(fd.get(), tmp);
    renameOrThrow(tmp, path);
    fd.close();
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
  fsyncDir(parentOf(path));
}

void fsyncDir(const std::string& dir) {
  Fd fd(openOrThrow(dir, O_RDONLY | O_DIRECTORY, "open directory"));
  fsyncOrThrow(fd.get(), dir);
}

std::string readFile(const std::string& path) {
  Fd fd(openOrThrow(path, O_RDONLY, "read"));
  std::string s(fileSize(fd.get(), path), '\0');
  if (!s.empty()) preadAll(fd.get(), s.data(), s.size(), 0, path);
  return s;
}

std::string parentOf(const std::string& path) {
  std::filesystem::path p(path);
  auto parent = p.parent_path();
  return parent.empty() ? std::string(".") : parent.string();
}

void removeTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

Fd::~Fd() { close(); }

Fd& Fd::operator=(Fd&& o) noexcept {
  if (this != &o) { close(); fd_ = o.fd_; o.fd_ = -1; }
  return *this;
}

void Fd::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace velloc::agent::fs
