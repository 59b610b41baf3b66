#include "velloc/agent/ext_fs.h"

#include <ext2fs/ext2fs.h>
extern "C" {
#include <et/com_err.h>  // declares error_message without C linkage of its own
}
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <vector>

#include "fileutil.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/sha256.h"

namespace velloc::agent {

// ---- block sources -------------------------------------------------------------------

void MemorySource::read(uint32_t first, uint32_t count, uint8_t* out) {
  if (uint64_t(first) + count > blocks_) throw AgentError("read past the end of the partition in memory");
  std::memcpy(out, data_ + uint64_t(first) * bs_, size_t(count) * bs_);
}

ImageFileSource::ImageFileSource(const std::string& path, uint32_t blockSize, uint64_t offset, uint64_t bytes)
    : path_(path), offset_(offset), bs_(blockSize) {
  fd_ = fs::openOrThrow(path, O_RDONLY | O_CLOEXEC, "read");
  if (bytes == 0) {
    uint64_t size = fs::fileSize(fd_, path);
    bytes = size > offset ? size - offset : 0;
  }
  blocks_ = uint32_t(std::min<uint64_t>(bytes / blockSize, 0xffffffffu));
}

ImageFileSource::~ImageFileSource() {
  if (fd_ >= 0) ::close(fd_);
}

void ImageFileSource::read(uint32_t first, uint32_t count, uint8_t* out) {
  if (uint64_t(first) + count > blocks_) throw AgentError("read past the end of " + path_);
  fs::preadAll(fd_, out, size_t(count) * bs_, offset_ + uint64_t(first) * bs_, path_);
}

namespace {

// ---- the I/O manager -----------------------------------------------------------------

// One open channel: the library addresses bytes in its own block size (which it changes
// once it has read the super block); they are answered from whole partition blocks.
struct Channel {
  BlockSource* src;
  std::vector<uint8_t> buf;
};

// The source the next channel opened on this thread reads: ext2fs_open2 passes only a
// name to the manager's open.
thread_local BlockSource* opening = nullptr;
// The source's message behind the last failed read on this thread: the library only
// says that a read came up short.
thread_local std::string readError;

io_manager manager();

errcode_t readBytes(io_channel ch, unsigned long long block, int count, void* data) {
  auto* c = static_cast<Channel*>(ch->private_data);
  const uint64_t len = count < 0 ? uint64_t(-int64_t(count)) : uint64_t(count) * uint64_t(ch->block_size);
  const uint64_t off = block * uint64_t(ch->block_size);
  const uint32_t bs = c->src->blockSize();
  const uint64_t first = off / bs, end = (off + len + bs - 1) / bs;
  if (end > c->src->blocks()) return EXT2_ET_SHORT_READ;
  try {
    c->buf.resize(size_t(end - first) * bs);
    c->src->read(uint32_t(first), uint32_t(end - first), c->buf.data());
  } catch (const std::exception& e) {
    readError = e.what();
    return EXT2_ET_SHORT_READ;
  }
  std::memcpy(data, c->buf.data() + (off - first * bs), size_t(len));
  return 0;
}

errcode_t ioOpen(const char* name, int flags, io_channel* out) {
  if (!opening) return EXT2_ET_BAD_DEVICE_NAME;
  if (flags & IO_FLAG_RW) return EROFS;
  auto* ch = new struct_io_channel{};
  ch->magic = EXT2_ET_MAGIC_IO_CHANNEL;
  ch->manager = manager();
  ch->name = new char[std::strlen(name) + 1];
  std::strcpy(ch->name, name);
  ch->block_size = 1024;
  ch->refcount = 1;
  ch->private_data = new Channel{opening, {}};
  *out = ch;
  return 0;
}

errcode_t ioClose(io_channel ch) {
  if (--ch->refcount > 0) return 0;
  delete static_cast<Channel*>(ch->private_data);
  delete[] ch->name;
  delete ch;
  return 0;
}

errcode_t ioSetBlksize(io_channel ch, int blksize) {
  if (blksize <= 0) return EXT2_ET_INVALID_ARGUMENT;
  ch->block_size = blksize;
  return 0;
}

errcode_t ioRead(io_channel ch, unsigned long block, int count, void* data) { return readBytes(ch, block, count, data); }
errcode_t ioWrite(io_channel, unsigned long, int, const void*) { return EROFS; }
errcode_t ioWrite64(io_channel, unsigned long long, int, const void*) { return EROFS; }
errcode_t ioWriteByte(io_channel, unsigned long, int, const void*) { return EROFS; }
errcode_t ioFlush(io_channel) { return 0; }
errcode_t ioSetOption(io_channel, const char*, const char*) { return EXT2_ET_INVALID_ARGUMENT; }

struct_io_manager makeManager() {
  struct_io_manager m{};
  m.magic = EXT2_ET_MAGIC_IO_MANAGER;
  m.name = "velloc block source";
  m.open = ioOpen;
  m.close = ioClose;
  m.set_blksize = ioSetBlksize;
  m.read_blk = ioRead;
  m.write_blk = ioWrite;
  m.flush = ioFlush;
  m.write_byte = ioWriteByte;
  m.set_option = ioSetOption;
  m.read_blk64 = readBytes;
  m.write_blk64 = ioWrite64;
  return m;
}
io_manager manager() {
  static struct_io_manager m = makeManager();
  return &m;
}

// An open file system, read-only, closed with the handle.
class Opened {
 public:
  // 0, or the library's error (with the source's own message in *why when it failed).
  errcode_t open(BlockSource& src, std::string* why) {
    opening = &src;
    readError.clear();
    errcode_t err = ext2fs_open2("velloc-source", nullptr, EXT2_FLAG_64BITS, 0, 0, manager(), &fs_);
    opening = nullptr;
    if (err) {
      fs_ = nullptr;
      *why = std::string(error_message(err)) + (readError.empty() ? "" : " (" + readError + ")");
    }
    return err;
  }
  ~Opened() {
    if (fs_) ext2fs_close_free(&fs_);
  }
  ext2_filsys get() const { return fs_; }
  // The source's message behind a failed read since the open, when there was one.
  std::string sourceError() const { return readError; }

 private:
  ext2_filsys fs_ = nullptr;
};

std::string fsType(ext2_super_block* sb) {
  if (ext2fs_has_feature_extents(sb) || ext2fs_has_feature_flex_bg(sb) || ext2fs_has_feature_64bit(sb) ||
      ext2fs_has_feature_huge_file(sb) || ext2fs_has_feature_dir_nlink(sb))
    return "ext4";
  return ext2fs_has_feature_journal(sb) ? "ext3" : "ext2";
}

// Why the source holds nothing libext2fs could open, from its first bytes; "" when it
// looks like an ext2/3/4 super block.
std::string notExt(BlockSource& src, const std::string& name) {
  const uint32_t bs = src.blockSize();
  const uint32_t n = std::min<uint32_t>((2048 + bs - 1) / bs, src.blocks());
  std::vector<uint8_t> b(size_t(n) * bs);
  try {
    src.read(0, n, b.data());
  } catch (const std::exception& e) {
    return "the start of " + name + " could not be read (" + std::string(e.what()) + ")";
  }
  if (b.size() >= 4 && std::memcmp(b.data(), "XFSB", 4) == 0)
    return name + " holds an XFS file system, whose allocation velloc does not read";
  if (b.size() < 2048 || b[1024 + 56] != 0x53 || b[1024 + 57] != 0xEF)
    return name + " holds no ext2/3/4 file system velloc can read the allocation of";
  return {};
}

}  // namespace

UsedBlocks readUsedBlocks(BlockSource& src, const std::string& name) {
  UsedBlocks u;
  if (src.blocks() == 0) {
    u.reason = name + " is empty";
    return u;
  }
  if ((u.reason = notExt(src, name)) != "") return u;
  Opened fs;
  std::string why;
  if (fs.open(src, &why) != 0) {
    u.reason = "libext2fs cannot open the file system of " + name + ": " + why;
    return u;
  }
  ext2_filsys f = fs.get();
  if (f->blocksize != src.blockSize()) {
    u.reason = "the file system of " + name + " has " + std::to_string(f->blocksize) + "-byte blocks, the partition " +
               std::to_string(src.blockSize());
    return u;
  }
  if (ext2fs_has_feature_journal_needs_recovery(f->super)) {
    u.reason = "the journal of " + name +
               " holds transactions not yet written to their place, so its block bitmaps may miss blocks in use";
    return u;
  }
  if (errcode_t err = ext2fs_read_block_bitmap(f)) {
    std::string readError = fs.sourceError();
    u.reason = "libext2fs cannot read the block bitmaps of " + name + ": " + error_message(err) +
               (readError.empty() ? "" : " (" + readError + ")");
    return u;
  }
  u.type = fsType(f->super);
  u.fsBlocks = ext2fs_blocks_count(f->super);
  u.used = Bitmap(src.blocks(), true);
  const uint64_t end = std::min<uint64_t>(u.fsBlocks, src.blocks());
  for (uint64_t b = f->super->s_first_data_block; b < end; ++b)
    if (!ext2fs_test_block_bitmap2(f->block_map, b)) {
      u.used.clear(uint32_t(b));
      u.fsFreeBlocks++;
    }
  u.known = true;
  return u;
}

// ---- files ---------------------------------------------------------------------------

namespace {

struct Entry {
  ext2_ino_t ino;
  std::string name;
};

int collect(ext2_ino_t, int, struct ext2_dir_entry* d, int, int, char*, void* priv) {
  std::string name(d->name, size_t(ext2fs_dirent_name_len(d)));
  if (name != "." && name != "..") static_cast<std::vector<Entry>*>(priv)->push_back({d->inode, name});
  return 0;
}

[[noreturn]] void cannot(const std::string& what, errcode_t err) {
  throw AgentError("cannot read " + what + " of the file system: " + error_message(err));
}

std::string contents(ext2_filsys fs, ext2_ino_t ino, const std::string& path, bool hash) {
  ext2_file_t file;
  if (errcode_t err = ext2fs_file_open(fs, ino, 0, &file)) cannot(path, err);
  Sha256 h;
  std::string text;
  std::vector<char> buf(1 << 16);
  for (;;) {
    unsigned int got = 0;
    if (errcode_t err = ext2fs_file_read(file, buf.data(), unsigned(buf.size()), &got)) {
      ext2fs_file_close(file);
      cannot(path, err);
    }
    if (got == 0) break;
    if (hash) h.update(buf.data(), got);
    else text.append(buf.data(), got);
  }
  ext2fs_file_close(file);
  return hash ? h.hex() : text;
}

void walk(ext2_filsys fs, ext2_ino_t dir, const std::string& path, std::set<ext2_ino_t>& seen,
          std::map<std::string, std::string>& out) {
  std::vector<Entry> entries;
  if (errcode_t err = ext2fs_dir_iterate2(fs, dir, 0, nullptr, collect, &entries))
    cannot("directory " + (path.empty() ? "/" : path), err);
  for (const Entry& e : entries) {
    std::string p = path + "/" + e.name;
    struct ext2_inode inode;
    if (errcode_t err = ext2fs_read_inode(fs, e.ino, &inode)) cannot("the inode of " + p, err);
    if (LINUX_S_ISDIR(inode.i_mode)) {
      out[p] = "dir";
      // A directory reached twice is a damaged tree; it is listed, not walked again.
      if (seen.insert(e.ino).second) walk(fs, e.ino, p, seen, out);
    } else if (LINUX_S_ISLNK(inode.i_mode)) {
      out[p] = "link:" + (ext2fs_is_fast_symlink(&inode)
                              ? std::string(reinterpret_cast<const char*>(inode.i_block),
                                            strnlen(reinterpret_cast<const char*>(inode.i_block), sizeof inode.i_block))
                              : contents(fs, e.ino, p, false));
    } else if (LINUX_S_ISREG(inode.i_mode)) {
      out[p] = contents(fs, e.ino, p, true);
    }
  }
}

}  // namespace

std::map<std::string, std::string> fileDigests(BlockSource& src) {
  Opened fs;
  std::string why;
  if (fs.open(src, &why) != 0) throw AgentError("libext2fs cannot open the file system: " + why);
  std::map<std::string, std::string> out;
  std::set<ext2_ino_t> seen{EXT2_ROOT_INO};
  walk(fs.get(), EXT2_ROOT_INO, "", seen, out);
  return out;
}

std::string fileDifferences(const std::map<std::string, std::string>& want,
                            const std::map<std::string, std::string>& got, size_t maxList) {
  std::vector<std::string> missing, changed, extra;
  for (const auto& [path, digest] : want) {
    auto it = got.find(path);
    if (it == got.end()) missing.push_back(path);
    else if (it->second != digest) changed.push_back(path);
  }
  for (const auto& [path, digest] : got)
    if (!want.count(path)) extra.push_back(path);
  std::string s;
  auto list = [&](const std::vector<std::string>& v, const char* what) {
    if (v.empty()) return;
    s += (s.empty() ? "" : "; ") + std::to_string(v.size()) + " " + what + ":";
    for (size_t i = 0; i < v.size() && i < maxList; ++i) s += " " + v[i];
    if (v.size() > maxList) s += " ...";
  };
  list(missing, "missing");
  list(changed, "with other contents");
  list(extra, "not there before");
  return s;
}

}  // namespace velloc::agent
