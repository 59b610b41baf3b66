// The shared pieces of `velloc bench`: rows, percentiles, sinks, images, writers, sessions.
#include <fcntl.h>
#include <malloc.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <barrier>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <random>
#include <ctime>

#include "bench_internal.h"
#include "fileutil.h"
#include "machine/kernel.h"
#include "velloc/agent/errors.h"

namespace velloc::bench {

Row ratioRow(std::string id, std::string measure, std::string unit, double value, double baseline,
             std::string goalOp, double goal) {
  Row r;
  r.id = std::move(id);
  r.measure = std::move(measure);
  r.unit = std::move(unit);
  r.value = value;
  r.baseline = baseline;
  r.ratio = baseline != 0 ? value / baseline : 0;
  r.goalOp = std::move(goalOp);
  r.goal = goal;
  return r;
}

bool Row::met() const {
  if (failed || goalOp.empty()) return false;
  double v = goalOnValue ? value : ratio;
  return goalOp == ">=" ? v >= goal : v <= goal;
}

double quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  size_t k = size_t(std::ceil(q * double(v.size())));
  k = std::clamp<size_t>(k, 1, v.size()) - 1;
  std::nth_element(v.begin(), v.begin() + long(k), v.end());
  return v[k];
}

uint64_t heapInUse() {
  struct mallinfo2 mi = mallinfo2();
  return uint64_t(mi.uordblks) + uint64_t(mi.hblkhd);
}

void progress(const Options& o, const std::string& line) {
  if (o.log) *o.log << "velloc bench: " << line << std::endl;
}

// ---- sinks ----------------------------------------------------------------------------

FileSink::FileSink(const std::string& path, uint32_t blockSize)
    : path_(path), fd_(fs::openOrThrow(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, "create")), bs_(blockSize) {}

FileSink::~FileSink() { ::close(fd_); }

void FileSink::write(uint32_t block, const std::vector<Piece>& pieces, uint32_t) {
  std::vector<struct iovec> iov;
  iov.reserve(pieces.size());
  for (const Piece& p : pieces) iov.push_back({const_cast<uint8_t*>(p.data), p.len});
  fs::pwritevAll(fd_, iov.data(), int(iov.size()), uint64_t(block) * bs_, path_);
}

// ---- images and disks -------------------------------------------------------------------

std::string sparseImage(const Options& o, const std::string& name, uint64_t partBytes) {
  std::string path = o.scratch + "/" + name;
  uint64_t sectors = partBytes / 512;
  int rc = machine::image_create(path, (kPartStart + sectors) * 512, {{kPartStart, sectors}});
  if (rc != 0) throw AgentError("cannot create " + path + ": " + fs::errnoText(-rc));
  return path;
}

void fillFile(int fd, uint64_t off, uint64_t len, uint64_t seed) {
  std::vector<uint64_t> chunk(kMiB / 8);
  uint64_t x = seed * 0x9e3779b97f4a7c15ull + 1;
  for (uint64_t done = 0; done < len; done += kMiB) {
    for (auto& w : chunk) {  // xorshift64
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      w = x;
    }
    size_t n = size_t(std::min<uint64_t>(kMiB, len - done));
    fs::pwriteAll(fd, chunk.data(), n, off + done, "image");
  }
}

std::unique_ptr<Host> memoryHost(uint64_t partBytes) {
  uint64_t sectors = partBytes / 512;
  auto host = std::make_unique<Host>((kPartStart + sectors) * 512,
                                     std::vector<machine::PartitionSpec>{{kPartStart, sectors}});
  std::vector<uint8_t> chunk(kMiB, 0x5a);
  for (uint64_t off = 0; off < partBytes; off += kMiB)
    machine::disk_pwrite(host->disk(), kPartStart * 512 + off, chunk.data(), chunk.size());
  return host;
}

// ---- writers ------------------------------------------------------------------------------

namespace {
double threadCpuSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}
}  // namespace

WriteRun runWriters(machine::Mount* m, const std::vector<std::vector<uint32_t>>& perThread) {
  const size_t n = perThread.size();
  std::vector<std::vector<double>> lat(n);
  std::vector<uint64_t> errs(n, 0);
  std::vector<Clock::time_point> ends(n);
  std::vector<double> cpu(n, 0);
  Clock::time_point start;
  // Every thread is bound and has its buffer before the clock starts.
  std::barrier sync(std::ptrdiff_t(n + 1));
  std::vector<std::thread> ts;
  for (size_t i = 0; i < n; ++i)
    ts.emplace_back([&, i] {
      machine::adopt_thread("bench-writer");
      std::vector<uint8_t> buf(kBlock);
      for (size_t k = 0; k < buf.size(); ++k) buf[k] = uint8_t(k * 7 + i);
      lat[i].reserve(perThread[i].size());
      sync.arrive_and_wait();
      double c0 = threadCpuSeconds();
      for (uint32_t b : perThread[i]) {
        buf[0]++;
        auto t0 = Clock::now();
        int rc = machine::fs_write(m, uint64_t(b) * kBlock, buf.data(), kBlock);
        lat[i].push_back(secondsSince(t0));
        if (rc != 0) errs[i]++;
      }
      ends[i] = Clock::now();
      cpu[i] = threadCpuSeconds() - c0;
    });
  start = Clock::now();
  sync.arrive_and_wait();
  for (auto& t : ts) t.join();
  WriteRun r;
  Clock::time_point last = start;
  for (size_t i = 0; i < n; ++i) {
    last = std::max(last, ends[i]);
    r.writes += perThread[i].size();
    r.errors += errs[i];
    r.cpuSeconds += cpu[i];
    r.latencies.insert(r.latencies.end(), lat[i].begin(), lat[i].end());
  }
  r.seconds = std::chrono::duration<double>(last - start).count();
  return r;
}

BackgroundWriters::BackgroundWriters(machine::Mount* m, std::vector<uint32_t> blocks, unsigned threads,
                                     unsigned pauseMicros, uint64_t seed)
    : m_(m), blocks_(std::move(blocks)), n_(threads), pause_(pauseMicros), seed_(seed) {}

BackgroundWriters::~BackgroundWriters() { stop(); }

void BackgroundWriters::start() {
  if (!threads_.empty() || blocks_.empty()) return;
  stop_ = false;
  for (unsigned i = 0; i < n_; ++i)
    threads_.emplace_back([this, i] {
      machine::adopt_thread("bench-writer");
      std::mt19937_64 rng(seed_ * 7919 + i);
      std::vector<uint8_t> buf(kBlock, uint8_t(i));
      while (!stop_.load(std::memory_order_relaxed)) {
        uint32_t b = blocks_[rng() % blocks_.size()];
        buf[0]++;
        if (machine::fs_write(m_, uint64_t(b) * kBlock, buf.data(), kBlock) == 0) writes_++;
        else errors_++;
        if (pause_) std::this_thread::sleep_for(std::chrono::microseconds(pause_));
      }
    });
}

void BackgroundWriters::stop() {
  stop_ = true;
  for (auto& t : threads_) t.join();
  threads_.clear();
}

// ---- sessions ------------------------------------------------------------------------------

std::unique_ptr<Device> openSnapshot(AgentProcess& proc, const Target& t, uint32_t cacheBlocks, bool track,
                                     const AMSessionKey* key) {
  auto dev = std::make_unique<Device>(proc);
  int rc = 0;
  auto check = [&](const char* what) {
    if (rc != 0) throw AgentError(resultMessage(what, rc, t.name), rc);
  };
  if (!track) {
    rc = dev->noStartAutoMap();
    check("doNoStartAutoMap");
  } else if (!key) {
    rc = dev->noLoadFromAutoMap();
    check("doNoLoadFromAutoMap");
  }
  rc = dev->startBackup(t.major, t.minor, t.totalBlocks, cacheBlocks);
  check("doStartBackup");
  rc = dev->snapShot(key);
  check("doSnapShot");
  State st{};
  rc = dev->getState(&st);
  check("doGetState");
  if (st.state != stateSnapshotComplete)
    throw AgentError("the snapshot of " + t.name + " was not taken (state " + stateName(st.state) + ")");
  return dev;
}

RoundResult fullRound(AgentProcess& proc, const Target& t, BackupOptions bo, BlockSink* sink) {
  KeyKeeper keys;
  bo.wantIncremental = false;
  struct Borrowed : BlockSink {
    BlockSink* s;
    explicit Borrowed(BlockSink* x) : s(x) {}
    void write(uint32_t b, const std::vector<Piece>& p, uint32_t c) override { s->write(b, p, c); }
  };
  return backupRound(proc, t, keys, bo, [&](const RoundPlan&) { return std::make_unique<Borrowed>(sink); });
}

}  // namespace velloc::bench
