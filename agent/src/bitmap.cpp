#include "velloc/agent/bitmap.h"

#include <bit>
#include <cstring>

namespace velloc::agent {

namespace {
// 64 bits starting at block 64*w, little-endian so bit i is block 64*w + i.
uint64_t word(const std::vector<uint8_t>& b, size_t w) {
  uint64_t v = 0;
  size_t off = w * 8;
  size_t n = off + 8 <= b.size() ? 8 : b.size() - off;
  std::memcpy(&v, b.data() + off, n);
  return v;
}
}  // namespace

Bitmap::Bitmap(uint32_t size, bool set) : size_(size), bytes_((uint64_t(size) + 7) / 8, set ? 0xff : 0) {
  if (set && (size & 7)) bytes_.back() = uint8_t((1u << (size & 7)) - 1);
}

void Bitmap::intersect(const Bitmap& other) {
  for (size_t i = 0; i < bytes_.size(); ++i) bytes_[i] &= i < other.bytes_.size() ? other.bytes_[i] : 0;
}

Bitmap Bitmap::fromBytes(uint32_t size, std::vector<uint8_t> bytes) {
  Bitmap m;
  m.size_ = size;
  bytes.resize((uint64_t(size) + 7) / 8);
  m.bytes_ = std::move(bytes);
  if (size & 7) m.bytes_.back() &= uint8_t((1u << (size & 7)) - 1);
  return m;
}

uint64_t Bitmap::count() const {
  uint64_t c = 0;
  size_t words = (bytes_.size() + 7) / 8;
  for (size_t w = 0; w < words; ++w) c += std::popcount(word(bytes_, w));
  return c;
}

void Bitmap::buildRank() {
  size_t words = (bytes_.size() + 7) / 8;
  rank_.assign(words + 1, 0);
  for (size_t w = 0; w < words; ++w) rank_[w + 1] = rank_[w] + std::popcount(word(bytes_, w));
}

uint64_t Bitmap::rank(uint32_t n) const {
  size_t w = n >> 6;
  uint64_t below = (n & 63) ? word(bytes_, w) & ((uint64_t(1) << (n & 63)) - 1) : 0;
  return rank_[w] + std::popcount(below);
}

uint32_t Bitmap::nextSet(uint32_t from) const {
  size_t words = (bytes_.size() + 7) / 8;
  for (size_t w = from >> 6; w < words; ++w) {
    uint64_t v = word(bytes_, w);
    if (w == (from >> 6)) v &= ~uint64_t(0) << (from & 63);
    if (v) {
      uint64_t n = w * 64 + std::countr_zero(v);
      return n < size_ ? uint32_t(n) : size_;
    }
  }
  return size_;
}

void Bitmap::forEachRun(uint32_t maxRun, const std::function<bool(uint32_t, uint32_t)>& fn) const {
  uint32_t n = nextSet(0);
  while (n < size_) {
    uint32_t len = 0;
    while (uint64_t(n) + len < size_ && len < maxRun && test(n + len)) ++len;
    if (!fn(n, len)) return;
    n = nextSet(n + len);
  }
}

}  // namespace velloc::agent
