// A set of block numbers in the device's map layout: block n is bit (n % 8), least
// significant first, of byte n / 8. The same bytes are loaded into the module as the
// block map, come back from it as the change map, and are stored in backup directories.
// Not thread-safe: one owner at a time.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

namespace velloc::agent {

class Bitmap {
 public:
  Bitmap() = default;
  // An all-clear (or all-set) map of `size` blocks; the bits past `size` in the last
  // byte stay clear either way.
  explicit Bitmap(uint32_t size, bool set = false);
  // Takes the device's bytes as they are; `bytes` must hold (size + 7) / 8 bytes.
  static Bitmap fromBytes(uint32_t size, std::vector<uint8_t> bytes);

  uint32_t size() const { return size_; }
  size_t numBytes() const { return bytes_.size(); }
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  uint8_t* data() { return bytes_.data(); }

  bool test(uint32_t n) const { return n < size_ && (bytes_[n >> 3] >> (n & 7)) & 1; }
  void set(uint32_t n) { if (n < size_) bytes_[n >> 3] |= uint8_t(1u << (n & 7)); }
  void clear(uint32_t n) { if (n < size_) bytes_[n >> 3] &= uint8_t(~(1u << (n & 7))); }

  // Keeps only the blocks also set in `other` (of the same size).
  void intersect(const Bitmap& other);

  // Number of set bits below `size` (bits past it are ignored).
  uint64_t count() const;
  // Number of set bits below block n: the position of block n among the set blocks.
  // Needs buildRank() after the last change; O(1) then.
  void buildRank();
  uint64_t rank(uint32_t n) const;

  // Calls fn(first, count) for each run of consecutive set blocks, cut into pieces of at
  // most maxRun blocks, in ascending order. Stops early when fn returns false.
  void forEachRun(uint32_t maxRun, const std::function<bool(uint32_t, uint32_t)>& fn) const;
  // First set block at or after `from`, or size() when none.
  uint32_t nextSet(uint32_t from) const;

 private:
  uint32_t size_ = 0;
  std::vector<uint8_t> bytes_;
  std::vector<uint64_t> rank_;  // set bits before each 64-block word
};

}  // namespace velloc::agent
