// Helpers for the snapshot, transfer-buffer, block-read and close tests: an agent's view of a
// backup (map the buffer, read ranges of blocks, fetch the key and change map), the
// partition's bytes as the truth, file-system writers that keep writing, and a freeze hook
// that takes the truth while the snapshot holds the file system frozen.
//
// Include after velloc_fixture.h: the module's headers redirect dev_t to the kernel's form.
#pragma once

#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "velloc_fixture.h"

#include "vellib.h"

namespace velloc_test {

using Bytes = std::vector<uint8_t>;

// ---- the partition ---------------------------------------------------------------------

struct Part {
  TestDisk disk;
  int partno = 1;
  uint32_t dev = 0;
  uint32_t bs = 0;          // file-system block size
  uint32_t blocks = 0;      // blocks of bs bytes
  machine::Mount* mnt = nullptr;
  uint64_t startByte() const { return disk.start(partno) * 512; }
  uint64_t bytes() const { return uint64_t(blocks) * bs; }
};

// Every block gets distinct bytes (block number, seed and position), written directly.
inline void stampPartition(const Part& p, uint32_t seed) {
  Bytes buf(p.bytes());
  for (uint32_t b = 0; b < p.blocks; ++b)
    for (uint32_t i = 0; i < p.bs; i += 4) {
      uint32_t v = (b * 2654435761u) ^ (seed * 40503u) ^ i;
      std::memcpy(&buf[uint64_t(b) * p.bs + i], &v, 4);
    }
  ASSERT_EQ(0, machine::disk_pwrite(p.disk.disk, p.startByte(), buf.data(), buf.size()));
}

// The partition's bytes now, bypassing the block layer.
inline Bytes partitionBytes(const Part& p) {
  Bytes out(p.bytes());
  EXPECT_EQ(0, machine::disk_pread(p.disk.disk, p.startByte(), out.data(), out.size()));
  return out;
}

inline Bytes blockOf(const Bytes& image, uint32_t bs, uint32_t n) {
  return Bytes(image.begin() + uint64_t(n) * bs, image.begin() + uint64_t(n + 1) * bs);
}

// Writes `len` bytes of `fill` through the mounted file system at byte `off` of the partition.
inline int fsFill(const Part& p, uint64_t off, size_t len, uint8_t fill) {
  Bytes buf(len, fill);
  return machine::fs_write(p.mnt, off, buf.data(), len);
}

// ---- the agent ---------------------------------------------------------------------------

// Maps `len` bytes of the transfer buffer as an agent must: read-only, private, offset 0.
// The address, or the negative result (-code / -errno).
inline int64_t mapBuffer(AgentHandle& h, size_t len, int prot = PROT_READ, bool shared = false,
                         uint64_t offset = 0) {
  return machine::sys_mmap(h.proc, len, prot, shared, h.fd, offset);
}

// Command records placed once in the agent's memory and rewritten for every call, so long
// loops of commands do not keep taking fresh memory (the fixture's typed commands place
// each record anew).
struct Scratch {
  AgentHandle* h = nullptr;
  uint32_t rec = 0, ans = 0;
  explicit Scratch(AgentHandle& a) : h(&a), rec(a.alloc(64)), ans(a.alloc(64)) {}
  long readBlocks(uint32_t start, uint32_t n, uint32_t data) {
    ReadBlocks r{start, n, data};
    h->write(rec, &r, sizeof r);
    return h->ioctl(doReadBlocks, rec);
  }
  long getDirtyBlock(uint32_t* out) {
    DirtyBlock d{ans};
    h->write(rec, &d, sizeof d);
    long r = h->ioctl(doGetDirtyBlock, rec);
    if (r == 0) h->read(ans, out, sizeof *out);
    return r;
  }
};

// Reads blocks [start, start+n) in chunks of at most `chunk` blocks into `out` (n * bs bytes).
// The first non-zero ioctl result, or 0.
inline long readRange(Scratch& s, uint32_t buf, uint32_t chunk, uint32_t bs, uint32_t start, uint32_t n,
                      uint8_t* out) {
  long first = 0;
  for (uint32_t done = 0; done < n;) {
    uint32_t k = std::min(chunk, n - done);
    long r = s.readBlocks(start + done, k, buf);
    if (r != 0 && first == 0) first = r;
    if (r == 0 || r == velErrReadError) {
      if (s.h->readMapped(buf, out + uint64_t(done) * bs, size_t(k) * bs) != 0) return -1;
    }
    done += k;
  }
  return first;
}

inline AutoMapState autoMapState(AgentHandle& h) {
  AutoMapState s{};
  EXPECT_EQ(0, h.getAutoMapState(&s));
  return s;
}

// The blocks set in an agent-format bitmap.
inline std::set<uint32_t> bitsOf(const Bytes& map, uint32_t mapLen) {
  std::set<uint32_t> out;
  for (uint32_t n = 0; n < mapLen; ++n)
    if (map[n / 8] & (1u << (n % 8))) out.insert(n);
  return out;
}

inline Bytes bitmapOf(const std::set<uint32_t>& blocks, uint32_t mapLen) {
  Bytes map((mapLen + 7) / 8, 0);
  for (uint32_t n : blocks) map[n / 8] |= uint8_t(1u << (n % 8));
  return map;
}

// ---- module internals (inspection only) -------------------------------------------------

inline request_queue_t* queueOf(uint32_t dev) {
  struct block_device* bdev = bdget(dev);
  request_queue_t* q = bdev && bdev->bd_disk ? bdev->bd_disk->queue : nullptr;
  if (bdev) bdput(bdev);
  return q;
}

inline make_request_fn* queueFn(uint32_t dev) {
  request_queue_t* q = queueOf(dev);
  return q ? q->make_request_fn : nullptr;
}

// The running backup's record (the active session).
inline Backup* activeBackup() { return activeSession; }

// ---- file-system writers ---------------------------------------------------------------

// Threads that keep writing random runs (whole blocks and single sectors) through the
// mounted file system until stopped; every write's range is recorded.
class Writers {
 public:
  Writers(const Part& p, int threads, uint64_t seed, unsigned pauseUs = 50) : p_(p) {
    for (int t = 0; t < threads; ++t)
      threads_.emplace_back([this, t, seed, pauseUs] { run(seed * 7919 + t, pauseUs); });
  }
  ~Writers() { stop(); }
  void stop() {
    stop_ = true;
    for (auto& t : threads_)
      if (t.joinable()) t.join();
  }
  uint64_t writes() const { return writes_; }
  int failures() const { return failures_; }

 private:
  void run(uint64_t seed, unsigned pauseUs) {
    std::mt19937_64 rng(seed);
    Bytes buf;
    while (!stop_) {
      uint64_t off, len;
      if (rng() % 4 == 0) {  // one sector somewhere inside a block
        off = (rng() % (p_.bytes() / 512)) * 512;
        len = 512;
      } else {
        uint32_t n = 1 + rng() % 3;
        uint32_t b = rng() % (p_.blocks - n + 1);
        off = uint64_t(b) * p_.bs;
        len = uint64_t(n) * p_.bs;
      }
      buf.resize(len);
      for (auto& c : buf) c = uint8_t(rng());
      if (machine::fs_write(p_.mnt, off, buf.data(), len) != 0) ++failures_;
      ++writes_;
      if (pauseUs) std::this_thread::sleep_for(std::chrono::microseconds(rng() % (2 * pauseUs + 1)));
    }
  }
  Part p_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> writes_{0};
  std::atomic<int> failures_{0};
  std::vector<std::thread> threads_;
};

// Takes the partition's bytes each time the file system is frozen (the snapshot's switch
// happens inside that freeze, with no write in flight).
struct FreezeTruth {
  const Part* p = nullptr;
  std::mutex mu;
  std::vector<Bytes> truths;
  static void hook(void* ctx) {
    auto* self = static_cast<FreezeTruth*>(ctx);
    Bytes b = partitionBytes(*self->p);
    std::lock_guard<std::mutex> g(self->mu);
    self->truths.push_back(std::move(b));
  }
  void install(const Part& part) {
    p = &part;
    machine::fs_set_freeze_hook(part.mnt, &FreezeTruth::hook, this);
  }
  size_t count() {
    std::lock_guard<std::mutex> g(mu);
    return truths.size();
  }
  Bytes last() {
    std::lock_guard<std::mutex> g(mu);
    return truths.empty() ? Bytes() : truths.back();
  }
};

// Statistics lines of the log (after `mark`), without the "printStats: " prefix.
inline std::vector<std::string> statsLines(const std::vector<std::string>& texts) {
  std::vector<std::string> out;
  for (const std::string& t : texts)
    if (t.rfind("printStats: ", 0) == 0) out.push_back(t.substr(12));
  return out;
}

}  // namespace velloc_test
