// Image files for disks: vectored transfers at an offset, size, sync.
#include "block_host.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace blkhost {

int file_open(const std::string& path, bool create, std::string* err) {
  int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
  int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) {
    int e = errno;
    if (err) *err = "cannot open " + path + ": " + strerror(e);
    return -e;
  }
  return fd;
}

void file_close(int fd) {
  if (fd >= 0) ::close(fd);
}

int64_t file_size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -errno;
  return st.st_size;
}

int file_resize(int fd, uint64_t bytes) {
  return ::ftruncate(fd, (off_t)bytes) == 0 ? 0 : -errno;
}

int max_segs() { return IOV_MAX; }

// One vectored transfer of the whole segment list, resumed after short transfers.
static int transfer(int fd, const Seg* segs, int nsegs, uint64_t off, bool write) {
  struct iovec local[64];
  std::vector<struct iovec> heap;
  struct iovec* iov = local;
  if (nsegs > 64) {
    heap.resize(nsegs);
    iov = heap.data();
  }
  for (int i = 0; i < nsegs; i++) iov[i] = {segs[i].base, segs[i].len};
  int first = 0;
  while (first < nsegs) {
    int n = std::min(nsegs - first, IOV_MAX);
    ssize_t done = write ? ::pwritev(fd, iov + first, n, (off_t)off) : ::preadv(fd, iov + first, n, (off_t)off);
    if (done < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    if (done == 0) {
      size_t left = 0;
      for (int i = first; i < first + n; i++) left += iov[i].iov_len;
      if (left == 0) {
        first += n;
        continue;
      }
      return -EIO;  // the file ends before the range does
    }
    off += (uint64_t)done;
    while (done > 0 && first < nsegs) {
      if ((size_t)done >= iov[first].iov_len) {
        done -= (ssize_t)iov[first].iov_len;
        first++;
      } else {
        iov[first].iov_base = (char*)iov[first].iov_base + done;
        iov[first].iov_len -= (size_t)done;
        done = 0;
      }
    }
    while (first < nsegs && iov[first].iov_len == 0) first++;
  }
  return 0;
}

int file_readv(int fd, const Seg* segs, int nsegs, uint64_t off) { return transfer(fd, segs, nsegs, off, false); }
int file_writev(int fd, const Seg* segs, int nsegs, uint64_t off) { return transfer(fd, segs, nsegs, off, true); }

int file_sync(int fd) {
  return ::fdatasync(fd) == 0 ? 0 : -errno;
}

}  // namespace blkhost
