// Small POSIX file helpers for the agent's own files; every failure throws AgentError
// with the path and the system's reason.
#pragma once
#include <cstdint>
#include <string>

struct iovec;

namespace velloc::agent::fs {

std::string errnoText(int e);
// Opens; throws "cannot <what> PATH: reason".
int openOrThrow(const std::string& path, int flags, const std::string& what, int mode = 0644);
void pwriteAll(int fd, const void* buf, size_t len, uint64_t off, const std::string& path);
// Writes the pieces back to back from `off` (pwritev, resuming after short writes).
void pwritevAll(int fd, const struct iovec* iov, int n, uint64_t off, const std::string& path);
// Reads exactly len bytes; throws when the file is shorter.
void preadAll(int fd, void* buf, size_t len, uint64_t off, const std::string& path);
void fsyncOrThrow(int fd, const std::string& path);
void renameOrThrow(const std::string& from, const std::string& to);
uint64_t fileSize(int fd, const std::string& path);
bool exists(const std::string& path);
// Writes a whole file through a partial name in the same directory (flushed), renames it
// into place and flushes the directory, so a crash leaves the old file or the new one.
void writeFileAtomic(const std::string& path, const void* data, size_t len, int mode = 0644);
// Flushes a directory's entries (after a rename or unlink in it).
void fsyncDir(const std::string& dir);
std::string readFile(const std::string& path);  // throws
std::string parentOf(const std::string& path);
// Removes a directory tree we created (ignores errors).
void removeTree(const std::string& path);

// Owns a descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd();
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd& operator=(Fd&& o) noexcept;
  int get() const { return fd_; }
  void close();
 private:
  int fd_ = -1;
};

}  // namespace velloc::agent::fs
