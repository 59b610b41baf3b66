// Image files for disks: exclusive ownership, vectored transfers at an offset, size, sync.
#include "block_host.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <vector>

namespace blkhost {

namespace {

// The process holding an open-file-description lock on the file `st` describes, as
// "process PID (command line)", or "" when it cannot be seen (another user's process).
// The kernel reports no owner for such locks (they belong to an open file, not a
// process), so the holder is found by the lock line in the fdinfo of its descriptors.
std::string lock_holder(const struct stat& st) {
  char id[64];
  snprintf(id, sizeof id, " %02x:%02x:%llu ", major(st.st_dev), minor(st.st_dev), (unsigned long long)st.st_ino);
  DIR* procs = opendir("/proc");
  if (!procs) return "";
  std::string found;
  while (struct dirent* p = readdir(procs)) {
    char* end = nullptr;
    long pid = strtol(p->d_name, &end, 10);
    if (pid <= 0 || *end) continue;
    std::string base = std::string("/proc/") + p->d_name;
    DIR* fds = opendir((base + "/fdinfo").c_str());
    if (!fds) continue;
    while (struct dirent* f = readdir(fds)) {
      if (f->d_name[0] == '.') continue;
      std::ifstream info(base + "/fdinfo/" + f->d_name);
      for (std::string line; std::getline(info, line);) {
        if (line.rfind("lock:", 0) == 0 && line.find("OFDLCK") != std::string::npos &&
            (line + " ").find(id) != std::string::npos) {
          std::ifstream cmd(base + "/cmdline");
          std::string args((std::istreambuf_iterator<char>(cmd)), std::istreambuf_iterator<char>());
          std::replace(args.begin(), args.end(), '\0', ' ');
          while (!args.empty() && args.back() == ' ') args.pop_back();
          found = "process " + std::to_string(pid) + (args.empty() ? "" : " (" + args + ")");
          break;
        }
      }
      if (!found.empty()) break;
    }
    closedir(fds);
    if (!found.empty()) break;
  }
  closedir(procs);
  return found;
}

}  // namespace

int file_open(const std::string& path, bool create, std::string* err) {
  int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
  int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) {
    int e = errno;
    if (err) *err = "cannot open " + path + ": " + strerror(e);
    return -e;
  }
  // The disk owns its image as a kernel owns its disks: a write lock on the whole file,
  // held by this open file (not the process, so a second open in the same process is
  // refused too) until it is closed. A second owner writing underneath would change
  // blocks that change tracking never sees.
  struct flock lk {};
  lk.l_type = F_WRLCK;
  lk.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_SETLK, &lk) != 0) {
    int e = errno;
    std::string holder;
    struct stat st;
    if ((e == EAGAIN || e == EACCES) && ::fstat(fd, &st) == 0) holder = lock_holder(st);
    ::close(fd);
    if (e == EAGAIN || e == EACCES) {
      if (err)
        *err = "image " + path + " is in use by " + (holder.empty() ? "another process" : holder) +
               ", which holds its lock; stop it or detach the image there first";
      return -EBUSY;
    }
    if (err) *err = "cannot lock " + path + ": " + strerror(e);
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
