// The control device under hostile agents: each input is a little program of system calls
// from two processes against a small disk that writers keep writing: open, close and dup
// handles, send any command code with any argument (records built from the input, whose
// pointer fields point at real buffers, at memory that ends at an unmapped page, at the
// transfer buffer, or anywhere), map and unmap the transfer buffer with any length,
// protection and offset, and touch mapped pages. Afterwards everything is closed, the
// unload command drops change tracking, and the stand-in must report no kernel bug and
// hold exactly the objects it held before the input.
//
// Build and run: see fuzz/CMakeLists.txt and `make fuzz`. Seed corpus: fuzz/corpus/, made
// by fuzz/make_corpus.py, which writes the byte format the Input reader below consumes.
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "machine/disk.h"
#include "machine/kernel.h"
#include "machine/modules.h"
#include "machine/process.h"
#include "velloc.h"

namespace {

constexpr uint32_t kPage = 4096;

// The input, consumed from the front: a choice in [lo, hi] takes 1 byte when the range
// fits in one (2 or 4 otherwise; little-endian) and is the value modulo the range size; a
// literal 32-bit word takes 4 bytes. Past the end everything reads as zero.
class Input {
 public:
  Input(const uint8_t* d, size_t n) : d_(d), n_(n) {}
  size_t remaining_bytes() const { return n_ - i_; }
  template <class T> T ConsumeIntegralInRange(T lo, T hi) {
    uint64_t range = uint64_t(hi) - uint64_t(lo);
    uint64_t v = take(range < 0x100 ? 1 : range < 0x10000 ? 2 : 4);
    return T(uint64_t(lo) + (range == UINT64_MAX ? v : v % (range + 1)));
  }
  template <class T> T ConsumeIntegral() { return T(take(sizeof(T) < 4 ? sizeof(T) : 4)); }
  bool ConsumeBool() { return take(1) & 1; }
  template <class T> std::vector<T> ConsumeBytes(size_t n) {
    n = std::min(n, remaining_bytes());
    std::vector<T> out(d_ + i_, d_ + i_ + n);
    i_ += n;
    return out;
  }

 private:
  uint64_t take(size_t bytes) {
    uint64_t v = 0;
    for (size_t k = 0; k < bytes; k++) v |= uint64_t(i_ < n_ ? d_[i_++] : 0) << (8 * k);
    return v;
  }
  const uint8_t* d_;
  size_t n_, i_ = 0;
};

struct Part {
  uint32_t dev = 0, bs = 0, blocks = 0;
  machine::Mount* mnt = nullptr;
};

struct Machine {
  machine::Disk* disk = nullptr;
  Part parts[3];  // two mounted (4096- and 1024-byte blocks), one raw
  int64_t baseline[int(machine::Obj::count)] = {};
};
Machine* g = nullptr;

[[noreturn]] void die(const std::string& why) {
  std::fprintf(stderr, "\n[fuzz] %s\n%s\n", why.c_str(), machine::log_dmesg().c_str());
  std::abort();
}

void boot() {
  g = new Machine;
  if (machine::module_load() != 0) die("module_load failed");
  machine::mknod_char("/dev/velloc", VEL_MAJOR, 0);
  machine::DiskOptions o;
  o.random_completion = true;
  o.max_delay_us = 50;
  std::string err;
  g->disk = machine::disk_attach_memory_partitioned(2 << 20, {{2048, 512}, {2560, 1024}, {3584, 256}}, o, &err);
  if (!g->disk) die("disk_attach: " + err);
  const uint32_t bs[3] = {4096, 1024, 0};
  for (int i = 0; i < 3; i++) {
    Part& p = g->parts[i];
    p.dev = machine::partition_dev(g->disk, i + 1);
    p.bs = bs[i];
    if (!bs[i]) continue;
    p.blocks = uint32_t(machine::partition_sectors(g->disk, i + 1) * 512 / bs[i]);
    p.mnt = machine::fs_mount(p.dev, bs[i], &err);
    if (!p.mnt) die("fs_mount: " + err);
  }
  for (int k = 0; k < int(machine::Obj::count); k++) g->baseline[k] = machine::live(machine::Obj(k));
}

// File-system writers on both mounted partitions while an input runs.
class Writers {
 public:
  explicit Writers(uint64_t seed) {
    for (int i = 0; i < 2; i++)
      t_.emplace_back([this, i, seed] {
        std::mt19937_64 rng(seed + i);
        std::vector<uint8_t> buf(4096);
        const Part& p = g->parts[i];
        while (!stop_) {
          uint64_t off = (rng() % (p.blocks * uint64_t(p.bs) / 512)) * 512;
          size_t len = std::min<uint64_t>(512 * (1 + rng() % 8), p.blocks * uint64_t(p.bs) - off);
          buf[0] = uint8_t(rng());
          machine::fs_write(p.mnt, off, buf.data(), len);
          std::this_thread::sleep_for(std::chrono::microseconds(rng() % 300));
        }
      });
  }
  ~Writers() {
    stop_ = true;
    for (auto& t : t_) t.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> t_;
};

const uint32_t kCommands[] = {doGetBlockSize, doStartBackup,  doSnapShot,        doGetState,
                              doGetAutoMapState, doNoLoadFromAutoMap, doNoStartAutoMap, doLoadBlockMap,
                              doGetAutoMap,   doGetDirtyBlock, doReadBlocks,       doGetVersionMajor,
                              doGetVersionMinor, doSync,     doUnload,           doReserved};

// One input's processes, handles, buffers and mappings.
class Program {
 public:
  explicit Program(Input& in) : in_(in) {
    procs_[0] = machine::process_create("fuzz-a");
    procs_[1] = machine::process_create("fuzz-b");
  }
  ~Program() {
    for (auto* p : procs_) machine::process_destroy(p);  // closes handles, removes mappings
  }

  void run() {
    for (int step = 0; step < 48 && in_.remaining_bytes() > 0; step++) {
      switch (in_.ConsumeIntegralInRange<int>(0, 9)) {
        case 0: case 1: open(); break;
        case 2: close(); break;
        case 3: case 4: case 5: ioctl(); break;
        case 6: mmap(); break;
        case 7: munmap(); break;
        case 8: touch(); break;
        case 9: dup(); break;
      }
    }
  }

 private:
  struct Fd { int proc, fd; };
  struct Area { int proc; uint32_t addr; uint32_t len; };

  int pickProc() { return in_.ConsumeBool() ? 1 : 0; }

  void open() {
    int p = pickProc();
    int fd = machine::sys_open(procs_[p], "/dev/velloc");
    if (fd >= 0) fds_.push_back({p, fd});
  }

  Fd* pickFd() {
    if (fds_.empty()) return nullptr;
    return &fds_[in_.ConsumeIntegralInRange<size_t>(0, fds_.size() - 1)];
  }

  void close() {
    if (fds_.empty()) return;
    size_t i = in_.ConsumeIntegralInRange<size_t>(0, fds_.size() - 1);
    machine::sys_close(procs_[fds_[i].proc], fds_[i].fd);
    fds_.erase(fds_.begin() + long(i));
  }

  void dup() {
    if (Fd* f = pickFd()) {
      int fd = machine::sys_dup(procs_[f->proc], f->fd);
      if (fd >= 0) fds_.push_back({f->proc, fd});
    }
  }

  // Fresh memory of len bytes, filled from the input with raw bytes (at most 64) or with
  // argument words (so records can point to records); with `hole`, the bytes end right
  // before an unmapped page. Its address.
  uint32_t buffer(int p, uint32_t len, bool hole, int depth) {
    uint32_t body = (std::max<uint32_t>(len, 1) + kPage - 1) / kPage * kPage;
    uint32_t a = machine::user_alloc(procs_[p], body + (hole ? kPage : 0));
    if (!a) return 0;
    if (hole) machine::user_protect(procs_[p], a + body, kPage, false, false);
    areas_.push_back({p, a, body});
    uint32_t at = hole ? a + body - len : a;
    std::vector<uint8_t> fill;
    if (in_.ConsumeBool()) {
      size_t n = in_.ConsumeIntegralInRange<size_t>(0, 4);
      for (size_t i = 0; i < n; i++) {
        uint32_t w = word(p, depth + 1);
        fill.insert(fill.end(), reinterpret_cast<uint8_t*>(&w), reinterpret_cast<uint8_t*>(&w) + 4);
      }
    } else {
      fill = in_.ConsumeBytes<uint8_t>(std::min<uint32_t>(len, 64));
    }
    fill.resize(std::min<size_t>(fill.size(), len));
    if (!fill.empty()) machine::user_write(procs_[p], at, fill.data(), fill.size());
    return at;
  }

  // A 32-bit argument word: literal, a small number, a value the module cares about, or
  // an address (a fresh buffer, one ending at a hole, a mapping, or a wild one).
  uint32_t word(int p, int depth) {
    switch (in_.ConsumeIntegralInRange<int>(0, 5)) {
      case 0: return in_.ConsumeIntegral<uint32_t>();
      case 1: return in_.ConsumeIntegralInRange<uint32_t>(0, 300);
      case 2: {
        const Part& part = g->parts[in_.ConsumeIntegralInRange<int>(0, 2)];
        const uint32_t v[] = {part.dev >> 20, part.dev & 0xFFFFF, part.blocks, part.blocks + 1, part.bs,
                              VEL_KEY_LEN, sizeof(State), sizeof(AutoMapState), 0xFFFFFFFFu, 0x80000000u};
        return v[in_.ConsumeIntegralInRange<size_t>(0, sizeof v / sizeof v[0] - 1)];
      }
      case 3: {
        uint32_t len = in_.ConsumeIntegralInRange<uint32_t>(0, 9000);
        bool hole = in_.ConsumeBool();
        return depth < 2 ? buffer(p, len, hole, depth) : len;
      }
      case 4:
        if (!maps_.empty()) {
          const Area& m = maps_[in_.ConsumeIntegralInRange<size_t>(0, maps_.size() - 1)];
          return m.addr + (in_.ConsumeBool() ? 0 : in_.ConsumeIntegralInRange<uint32_t>(0, m.len));
        }
        return 0;
      default: return in_.ConsumeBool() ? 0xC0000000u - in_.ConsumeIntegralInRange<uint32_t>(0, 64) : 0;
    }
  }

  void ioctl() {
    Fd* f = pickFd();
    if (!f) return;
    const int p = f->proc;
    uint32_t cmd = in_.ConsumeIntegralInRange<int>(0, 7) != 0
                       ? kCommands[in_.ConsumeIntegralInRange<size_t>(0, sizeof kCommands / 4 - 1)]
                       : in_.ConsumeIntegral<uint32_t>();
    unsigned long arg = 0;
    switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
      case 0: arg = 0; break;
      case 1: arg = word(p, 0); break;
      default: {  // a record of words, possibly ending at a hole
        size_t n = in_.ConsumeIntegralInRange<size_t>(0, 6);
        std::vector<uint32_t> rec(n);
        for (auto& w : rec) w = word(p, 0);
        bool hole = in_.ConsumeBool();
        uint32_t body = (std::max<uint32_t>(uint32_t(n * 4), 1) + kPage - 1) / kPage * kPage;
        uint32_t a = machine::user_alloc(procs_[p], body + (hole ? kPage : 0));
        if (a) {
          areas_.push_back({p, a, body});
          if (hole) machine::user_protect(procs_[p], a + body, kPage, false, false);
          arg = hole ? a + body - n * 4 : a;
          if (n) machine::user_write(procs_[p], uint32_t(arg), rec.data(), n * 4);
        }
      }
    }
    // doUnload also ends change tracking the other handles rely on: fine, it is an
    // agent's right.
    machine::sys_ioctl(procs_[p], f->fd, cmd, arg);
  }

  void mmap() {
    Fd* f = pickFd();
    if (!f) return;
    size_t len = in_.ConsumeBool() ? size_t(in_.ConsumeIntegralInRange<uint32_t>(0, 300)) * kPage
                                   : in_.ConsumeIntegral<uint32_t>() % (8u << 20);
    int prot = in_.ConsumeIntegralInRange<int>(0, 3);  // PROT_READ / PROT_WRITE bits
    bool shared = in_.ConsumeBool();
    uint64_t offset = in_.ConsumeBool() ? 0 : uint64_t(in_.ConsumeIntegralInRange<uint32_t>(0, 4)) * kPage;
    int64_t a = machine::sys_mmap(procs_[f->proc], len, prot, shared, f->fd, offset);
    if (a > 0) maps_.push_back({f->proc, uint32_t(a), uint32_t(len)});
  }

  void munmap() {
    if (maps_.empty()) return;
    size_t i = in_.ConsumeIntegralInRange<size_t>(0, maps_.size() - 1);
    machine::sys_munmap(procs_[maps_[i].proc], maps_[i].addr, maps_[i].len);
    maps_.erase(maps_.begin() + long(i));
  }

  void touch() {
    if (maps_.empty()) return;
    const Area& m = maps_[in_.ConsumeIntegralInRange<size_t>(0, maps_.size() - 1)];
    uint32_t off = in_.ConsumeIntegralInRange<uint32_t>(0, m.len + kPage);
    uint8_t buf[64];
    machine::user_read(procs_[m.proc], m.addr + off, buf, sizeof buf);
  }

  Input& in_;
  machine::Process* procs_[2];
  std::vector<Fd> fds_;
  std::vector<Area> maps_, areas_;
};

// After an input: nothing of the module may be left but change tracking, which the unload
// command then drops; the stand-in must count exactly what it counted after boot.
bool liveAtBaseline() {
  for (int k = 0; k < int(machine::Obj::count); k++)
    if (machine::live(machine::Obj(k)) != g->baseline[k]) return false;
  return true;
}

void checkClean() {
  if (machine::kernel_bug_count() != 0) die("kernel bug");
  if (!machine::kthreads_wait_idle(5000)) die("a kernel thread is still running after every handle closed");
  if (liveAtBaseline()) return;  // (walking every change-tracking slot is slow: only when needed)
  machine::Process* p = machine::process_create("fuzz-check");
  int fd = machine::sys_open(p, "/dev/velloc");
  if (fd < 0) die("the device no longer opens: " + std::to_string(fd));
  if (machine::sys_ioctl(p, fd, doUnload, 0) != 0) die("doUnload failed");
  machine::sys_close(p, fd);
  machine::process_destroy(p);
  if (machine::kernel_bug_count() != 0) die("kernel bug");
  for (int k = 0; k < int(machine::Obj::count); k++)
    if (machine::live(machine::Obj(k)) != g->baseline[k])
      die(std::string("live ") + machine::obj_name(machine::Obj(k)) + " objects: " +
          std::to_string(machine::live(machine::Obj(k))) + ", after boot " + std::to_string(g->baseline[k]) + "\n" +
          machine::live_report());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  boot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  machine::log_clear();
  Input in(data, size);
  {
    Writers writers(size);
    Program prog(in);
    prog.run();
  }
  checkClean();
  return 0;
}
