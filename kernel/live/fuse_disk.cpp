// The FUSE server behind FuseDisk: a flat directory of device files whose reads and
// writes are synchronous bios on the stand-in's block devices.
#define FUSE_USE_VERSION 31
#include "live/fuse_disk.h"

#include <fuse.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <vector>

#include "machine/kernel.h"

namespace machine {

namespace {

constexpr uint64_t kSector = 512;

FuseDisk* self() { return static_cast<FuseDisk*>(fuse_get_context()->private_data); }

// FUSE starts and ends its worker threads as it likes; each one becomes a task of the
// stand-in the first time it carries a request into the block layer.
void enterKernel() {
  thread_local bool adopted = false;
  if (!adopted) {
    adopt_thread("fuse-disk");
    adopted = true;
  }
}

// Unaligned writes read, patch and write back whole sectors; two of them on one sector
// at the same time would undo each other, so they take turns. Aligned requests (all a
// loop device sends) never wait here.
std::mutex g_unalignedWrites;

void* onInit(struct fuse_conn_info* conn, struct fuse_config* cfg) {
  // Every write must reach this server when it is issued: no page cache for the files,
  // no write-back caching in the kernel, no attribute caching that could hide a size.
  cfg->direct_io = 1;
  cfg->kernel_cache = 0;
  cfg->auto_cache = 0;
  cfg->entry_timeout = 0;
  cfg->attr_timeout = 0;
  cfg->negative_timeout = 0;
  conn->want &= ~unsigned(FUSE_CAP_WRITEBACK_CACHE);
  return fuse_get_context()->private_data;
}

int onGetattr(const char* path, struct stat* st, struct fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  const FuseDiskFile* f = self()->find(path);
  if (!f) return -ENOENT;
  st->st_mode = S_IFREG | 0600;
  st->st_nlink = 1;
  st->st_size = off_t(f->bytes);
  st->st_blksize = 4096;
  st->st_blocks = blkcnt_t(f->bytes / 512);
  return 0;
}

int onReaddir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info*,
              enum fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) return -ENOTDIR;
  fill(buf, ".", nullptr, 0, fuse_fill_dir_flags(0));
  fill(buf, "..", nullptr, 0, fuse_fill_dir_flags(0));
  for (const FuseDiskFile& f : self()->files()) fill(buf, f.name.c_str(), nullptr, 0, fuse_fill_dir_flags(0));
  return 0;
}

int onOpen(const char* path, struct fuse_file_info* fi) {
  const FuseDiskFile* f = self()->find(path);
  if (!f) return -ENOENT;
  if (fi->flags & O_TRUNC) return -EPERM;
  fi->direct_io = 1;
  fi->keep_cache = 0;
  fi->fh = uint64_t(f - self()->files().data());
  return 0;
}

const FuseDiskFile* fileOf(struct fuse_file_info* fi) {
  const auto& files = self()->files();
  return fi && fi->fh < files.size() ? &files[fi->fh] : nullptr;
}

int onRead(const char*, char* buf, size_t len, off_t off, struct fuse_file_info* fi) {
  const FuseDiskFile* f = fileOf(fi);
  if (!f) return -EBADF;
  if (off < 0) return -EINVAL;
  return self()->read(*f, buf, len, uint64_t(off));
}

int onWrite(const char*, const char* buf, size_t len, off_t off, struct fuse_file_info* fi) {
  const FuseDiskFile* f = fileOf(fi);
  if (!f) return -EBADF;
  if (off < 0) return -EINVAL;
  return self()->write(*f, buf, len, uint64_t(off));
}

int onFlush(const char*, struct fuse_file_info* fi) {
  const FuseDiskFile* f = fileOf(fi);
  return f ? self()->flush(*f) : -EBADF;
}

int onFsync(const char*, int, struct fuse_file_info* fi) { return onFlush(nullptr, fi); }

// A device has a fixed size: only "truncating" to that size is accepted.
int onTruncate(const char* path, off_t size, struct fuse_file_info*) {
  const FuseDiskFile* f = self()->find(path);
  if (!f) return -ENOENT;
  return size >= 0 && uint64_t(size) == f->bytes ? 0 : -EPERM;
}

struct fuse_operations makeOps() {
  struct fuse_operations ops {};
  ops.init = onInit;
  ops.getattr = onGetattr;
  ops.readdir = onReaddir;
  ops.open = onOpen;
  ops.read = onRead;
  ops.write = onWrite;
  ops.flush = onFlush;
  ops.fsync = onFsync;
  ops.truncate = onTruncate;
  return ops;
}

// Ends a FUSE connection whatever holds it open, through the FUSE control file system
// (mounted here if the host has not mounted it).
void abortConnection(uint64_t connection) {
  const std::string ctl = "/sys/fs/fuse/connections";
  const std::string file = ctl + "/" + std::to_string(connection) + "/abort";
  if (::access(file.c_str(), W_OK) != 0) ::mount("fusectl", ctl.c_str(), "fusectl", 0, nullptr);
  std::ofstream abort(file);
  abort << "1\n";
}

}  // namespace

const FuseDiskFile* FuseDisk::find(const char* path) const {
  if (!path || path[0] != '/') return nullptr;
  for (const FuseDiskFile& f : files_)
    if (f.name == path + 1) return &f;
  return nullptr;
}

std::string FuseDisk::path(int partno) const {
  std::string name = partno == 0 ? diskName_ : diskName_ + std::to_string(partno);
  for (const FuseDiskFile& f : files_)
    if (f.name == name) return dir_ + "/" + name;
  return "";
}

// Reads [off, off+len) clipped to the device; a range off sector boundaries goes through
// a bounce buffer of whole sectors. Returns the bytes read or -errno.
int FuseDisk::read(const FuseDiskFile& f, char* buf, size_t len, uint64_t off) {
  enterKernel();
  if (off >= f.bytes) return 0;
  len = size_t(std::min<uint64_t>(len, f.bytes - off));
  int rc;
  if (off % kSector == 0 && len % kSector == 0) {
    rc = blk_read(f.dev, off, buf, len);
  } else {
    counters_.unaligned++;
    uint64_t first = off / kSector * kSector;
    uint64_t end = (off + len + kSector - 1) / kSector * kSector;
    std::vector<char> bounce(end - first);
    rc = blk_read(f.dev, first, bounce.data(), bounce.size());
    if (rc == 0) std::memcpy(buf, bounce.data() + (off - first), len);
  }
  if (rc) {
    counters_.errors++;
    return rc;
  }
  counters_.reads++;
  counters_.bytesRead += len;
  return int(len);
}

// Writes [off, off+len) clipped to the device (-ENOSPC at or past its end). A range off
// sector boundaries reads its first and last sectors, patches them and writes whole
// sectors. Returns the bytes written or -errno.
int FuseDisk::write(const FuseDiskFile& f, const char* buf, size_t len, uint64_t off) {
  enterKernel();
  if (len == 0) return 0;
  if (off >= f.bytes) return -ENOSPC;
  len = size_t(std::min<uint64_t>(len, f.bytes - off));
  int rc;
  if (off % kSector == 0 && len % kSector == 0) {
    rc = blk_write(f.dev, off, buf, len);
  } else {
    counters_.unaligned++;
    std::lock_guard lk(g_unalignedWrites);
    uint64_t first = off / kSector * kSector;
    uint64_t end = (off + len + kSector - 1) / kSector * kSector;
    std::vector<char> bounce(end - first);
    rc = blk_read(f.dev, first, bounce.data(), kSector);
    if (rc == 0 && end - first > kSector) rc = blk_read(f.dev, end - kSector, bounce.data() + (end - kSector - first), kSector);
    if (rc == 0) {
      std::memcpy(bounce.data() + (off - first), buf, len);
      rc = blk_write(f.dev, first, bounce.data(), bounce.size());
    }
  }
  if (rc) {
    counters_.errors++;
    return rc;
  }
  counters_.writes++;
  counters_.bytesWritten += len;
  return int(len);
}

int FuseDisk::flush(const FuseDiskFile& f) {
  enterKernel();
  counters_.flushes++;
  int rc = blk_flush(f.dev);
  if (rc) counters_.errors++;
  return rc;
}

std::unique_ptr<FuseDisk> FuseDisk::serve(Disk* d, const std::string& diskName, const std::string& dir,
                                          std::string* err) {
  auto set = [err](const std::string& m) {
    if (err) *err = m;
  };
  std::unique_ptr<FuseDisk> s(new FuseDisk);
  s->dir_ = dir;
  s->diskName_ = diskName;
  s->files_.push_back({diskName, disk_dev(d), disk_sectors(d) * kSector});
  for (int n = 1; n <= partition_count(d); ++n)
    if (__kernel_dev_t dev = partition_dev(d, n))
      s->files_.push_back({diskName + std::to_string(n), dev, partition_sectors(d, n) * kSector});

  static const struct fuse_operations ops = makeOps();
  // No "allow_other": only root (the mounter) opens these files, and it needs no option.
  std::vector<std::string> argv = {"velloc-fuse-disk", "-o", "fsname=velloc,subtype=velloc-disk"};
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  struct fuse_args args = FUSE_ARGS_INIT(int(cargv.size()), cargv.data());
  s->fuse_ = fuse_new(&args, &ops, sizeof ops, s.get());
  fuse_opt_free_args(&args);
  if (!s->fuse_) {
    set("FUSE refused to start a file system (see the messages above)");
    return nullptr;
  }
  if (fuse_mount(s->fuse_, dir.c_str()) != 0) {
    fuse_destroy(s->fuse_);
    s->fuse_ = nullptr;
    set("cannot mount FUSE at " + dir + " (is /dev/fuse there, and are we root?)");
    return nullptr;
  }
  FuseDisk* raw = s.get();
  s->loop_ = std::thread([raw] {
    fuse_loop_mt(raw->fuse_, 0);
    raw->loopDone_ = true;
  });
  // Only now: a stat of the mount point is itself a request to this server.
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) s->connection_ = minor(st.st_dev);
  return s;
}

FuseDisk::~FuseDisk() { stop(); }

void FuseDisk::stop() {
  if (!fuse_) return;
  fuse_exit(fuse_);
  // The server's threads sit in reads of the session's descriptor, which fuse_unmount
  // closes: unmount from here first, so that the kernel ends those reads as the
  // connection goes, and close the descriptor only once the threads are gone. The
  // connection ends when nobody holds a file open; a holder that is left over (a loop
  // device not detached) would keep the threads reading forever, so it is aborted after
  // a grace period.
  ::umount2(dir_.c_str(), MNT_DETACH);
  auto waitLoop = [this](int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!loopDone_ && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  };
  waitLoop(5);
  if (!loopDone_ && connection_) abortConnection(connection_);
  waitLoop(5);
  bool closed = false;
  if (!loopDone_) {
    fuse_unmount(fuse_);  // last resort: closing the descriptor ends the reads
    closed = true;
  }
  if (loop_.joinable()) loop_.join();
  if (!closed) fuse_unmount(fuse_);
  fuse_destroy(fuse_);
  fuse_ = nullptr;
}

}  // namespace machine
