// What an ext2/3/4 file system says about itself, read with e2fsprogs' libext2fs through
// an I/O manager of our own: the library asks for bytes and a BlockSource answers them
// from wherever the partition's blocks are (the snapshot through the device during a
// backup, an image file or bytes in memory when checking one). Nothing here opens a
// file system for writing; a write from the library is refused with EROFS.
//
// Thread safety: each call opens its own file system handle; a BlockSource is used by
// one call at a time.
#pragma once
#include <cstdint>
#include <map>
#include <string>

#include "velloc/agent/bitmap.h"

namespace velloc::agent {

// A partition as an array of blocks.
class BlockSource {
 public:
  virtual ~BlockSource() = default;
  virtual uint32_t blockSize() const = 0;
  virtual uint32_t blocks() const = 0;
  // Reads `count` blocks from `first` (within blocks()) into `out`; throws AgentError.
  virtual void read(uint32_t first, uint32_t count, uint8_t* out) = 0;
};

// Bytes in memory (the partition as it was while frozen).
class MemorySource : public BlockSource {
 public:
  MemorySource(const uint8_t* data, uint64_t bytes, uint32_t blockSize)
      : data_(data), blocks_(uint32_t(bytes / blockSize)), bs_(blockSize) {}
  uint32_t blockSize() const override { return bs_; }
  uint32_t blocks() const override { return blocks_; }
  void read(uint32_t first, uint32_t count, uint8_t* out) override;
 private:
  const uint8_t* data_;
  uint32_t blocks_, bs_;
};

// `bytes` of an image file from byte `offset` (a restored partition, or one partition of
// a disk image). Throws AgentError when the file cannot be opened.
class ImageFileSource : public BlockSource {
 public:
  ImageFileSource(const std::string& path, uint32_t blockSize, uint64_t offset = 0, uint64_t bytes = 0);
  ~ImageFileSource() override;
  uint32_t blockSize() const override { return bs_; }
  uint32_t blocks() const override { return blocks_; }
  void read(uint32_t first, uint32_t count, uint8_t* out) override;
 private:
  std::string path_;
  int fd_ = -1;
  uint64_t offset_;
  uint32_t blocks_ = 0, bs_;
};

// The blocks a file system uses, by partition block.
struct UsedBlocks {
  // False when the file system could not be read: `reason` says why, and every block
  // must be taken as used.
  bool known = false;
  std::string reason;
  std::string type;             // "ext2", "ext3" or "ext4" when known
  Bitmap used;                  // the partition's blocks, set where in use (when known)
  uint64_t fsBlocks = 0;        // blocks of the file system
  uint64_t fsFreeBlocks = 0;    // of those, free in its block bitmap
};

// Reads the allocation state of the file system in `src`; `name` names the partition in
// the reason. In use are every block the block bitmaps mark (data, metadata, journal,
// super blocks, group descriptors and their reserve, bitmaps, inode tables), the blocks
// in front of the first data block (boot block), and every partition block past the end
// of the file system (nothing vouches that those are free). Never throws for what the
// source holds: anything the library will not read, or a journal that still has to be
// replayed (the block bitmaps on the disk would then miss blocks the journal allocates),
// comes back unknown with the reason.
UsedBlocks readUsedBlocks(BlockSource& src, const std::string& name);

// Every directory, symbolic link and regular file of the file system in `src` by path
// ("/dir/file"): "dir", "link:TARGET", or the SHA-256 of a regular file's contents.
// Throws AgentError when the file system or one of its files cannot be read.
std::map<std::string, std::string> fileDigests(BlockSource& src);

// What differs between two listings of fileDigests: "" when `got` holds every path of
// `want` with the same digest and nothing else; otherwise the count and the first paths.
std::string fileDifferences(const std::map<std::string, std::string>& want,
                            const std::map<std::string, std::string>& got, size_t maxList = 5);

}  // namespace velloc::agent
