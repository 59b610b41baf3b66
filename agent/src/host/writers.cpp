// Writer threads that keep a file system busy with blocks that describe themselves.
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "machine/kernel.h"
#include "velloc/agent/host.h"

namespace velloc::agent {

namespace {
constexpr uint32_t kMagic = 0x42574c56;  // "VLWB"
constexpr size_t kHeader = 24;           // magic, block, seq (8), writer, checksum

uint64_t mix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

uint32_t checksum(const uint8_t* p, size_t n) {  // FNV-1a
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
  return h;
}

void put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
uint32_t get32(const uint8_t* p) { uint32_t v; std::memcpy(&v, p, 4); return v; }
}  // namespace

void fillBlock(uint8_t* dst, uint32_t bs, uint32_t block, uint64_t seq, uint32_t writer) {
  uint64_t s = mix(uint64_t(block) << 32 ^ seq);
  for (size_t off = kHeader; off + 8 <= bs; off += 8) {
    s = mix(s);
    std::memcpy(dst + off, &s, 8);
  }
  put32(dst, kMagic);
  put32(dst + 4, block);
  std::memcpy(dst + 8, &seq, 8);
  put32(dst + 16, writer);
  put32(dst + 20, checksum(dst + kHeader, bs - kHeader) ^ block ^ uint32_t(seq));
}

BlockTag readTag(const uint8_t* p, uint32_t bs) {
  BlockTag t;
  if (bs < kHeader || get32(p) != kMagic) return t;
  t.block = get32(p + 4);
  std::memcpy(&t.seq, p + 8, 8);
  t.writer = get32(p + 16);
  t.valid = get32(p + 20) == (checksum(p + kHeader, bs - kHeader) ^ t.block ^ uint32_t(t.seq));
  return t;
}

Writers::Writers(machine::Mount* m, uint32_t blockSize, std::vector<uint32_t> blocks, unsigned threads,
                 uint64_t seed, unsigned pauseMicros)
    : m_(m), bs_(blockSize), blocks_(std::move(blocks)), n_(threads), seed_(seed), pause_(pauseMicros) {}

Writers::~Writers() { stop(); }

void Writers::start() {
  if (!threads_.empty() || blocks_.empty()) return;
  stop_ = false;
  for (unsigned i = 0; i < n_; ++i) threads_.emplace_back([this, i] { run(i); });
}

void Writers::stop() {
  stop_ = true;
  for (auto& t : threads_) t.join();
  threads_.clear();
}

// Writer `id` owns the blocks at positions id, id + n, id + 2n, ... of the list, so no
// two writers race on one block and each block's last write is well defined.
void Writers::run(unsigned id) {
  machine::adopt_thread("writer");
  std::mt19937_64 rng(seed_ * 1000003 + id);
  std::vector<uint32_t> mine;
  for (size_t i = id; i < blocks_.size(); i += n_) mine.push_back(blocks_[i]);
  if (mine.empty()) return;
  std::vector<uint8_t> buf(bs_);
  while (!stop_.load(std::memory_order_relaxed)) {
    if (paused_.load(std::memory_order_relaxed)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    uint32_t b = mine[rng() % mine.size()];
    uint64_t seq = ++seq_;
    fillBlock(buf.data(), bs_, b, seq, id);
    int rc = machine::fs_write(m_, uint64_t(b) * bs_, buf.data(), bs_);
    if (rc != 0) {
      if (errors_++ == 0) {
        std::lock_guard lk(mu_);
        firstError_ = "write of block " + std::to_string(b) + " failed: error " + std::to_string(rc);
      }
    } else {
      writes_++;
    }
    if (pause_) std::this_thread::sleep_for(std::chrono::microseconds(pause_));
  }
}

}  // namespace velloc::agent
