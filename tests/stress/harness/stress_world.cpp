// World: see stress_world.h.
#include "stress_world.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "machine/kernel.h"
#include "stress_run.h"

namespace velloc_stress {

void stamp(Bytes& out, uint64_t tag) {
  for (size_t s = 0; s < out.size() / 512; s++) {
    uint64_t v = (tag * 0x9E3779B97F4A7C15ull) ^ (s * 0xBF58476D1CE4E5B9ull);
    for (size_t i = 0; i < 512; i += 8) {
      uint64_t w = v ^ (i * 0x94D049BB133111EBull);
      std::memcpy(&out[s * 512 + i], &w, 8);
    }
  }
}

WorldSpec WorldSpec::random(uint64_t seed, Rng& rng) {
  WorldSpec w;
  w.seed = seed;
  unsigned nfs = rng.chance(30) ? 2 : 1;
  unsigned nraw = unsigned(rng.range(0, 2));
  static const std::vector<uint32_t> sizes = {1024, 2048, 4096};
  for (unsigned i = 0; i < nfs; i++) {
    FsSpec f;
    f.blockSize = rng.pick(sizes);
    f.sectors = rng.range(2, 6) * 512;  // 0.5 to 1.5 MiB
    f.writers = unsigned(rng.range(1, 3));
    w.fs.push_back(f);
  }
  for (unsigned i = 0; i < nraw; i++) {
    RawSpec r;
    r.sectors = rng.range(1, 4) * 256;  // 128 to 512 KiB
    r.writers = unsigned(rng.range(0, 2));
    r.readers = unsigned(rng.range(0, 1));
    w.raw.push_back(r);
  }
  for (unsigned i = 0; i < nfs; i++) w.order.push_back(int(i));
  for (unsigned i = 0; i < nraw; i++) w.order.push_back(-1 - int(i));
  std::shuffle(w.order.begin(), w.order.end(), rng.engine());
  w.disk.io_threads = unsigned(rng.range(1, 3));
  if (uint64_t t = envU64("VELLOC_STRESS_IO_THREADS", 0)) w.disk.io_threads = unsigned(t);
  w.disk.random_completion = rng.chance(60);
  w.disk.max_delay_us = unsigned(rng.range(0, 150));
  w.disk.seed = rng.next();
  w.disk.merge = rng.chance(70);
  w.writerPauseUs = unsigned(rng.range(100, 1500));
  w.readBackPercent = unsigned(rng.range(0, 20));
  // Drawn apart so that every seed keeps the world it had before these existed.
  Rng extra(seed ^ 0x72617762696full);
  for (FsSpec& f : w.fs) f.rawBios = extra.chance(50);
  return w;
}

std::string WorldSpec::describe() const {
  std::ostringstream o;
  o << "disk[";
  for (int k : order) {
    if (k >= 0)
      o << " fs(bs=" << fs[k].blockSize << ",KiB=" << fs[k].sectors / 2 << ",w=" << fs[k].writers
        << (fs[k].rawBios ? ",raw_bios" : "") << ")";
    else
      o << " raw(KiB=" << raw[-1 - k].sectors / 2 << ",w=" << raw[-1 - k].writers << ",r=" << raw[-1 - k].readers
        << ")";
  }
  o << " ] io_threads=" << disk.io_threads << " random_completion=" << disk.random_completion
    << " delay_us=" << disk.max_delay_us << " merge=" << disk.merge << " pause_us=" << writerPauseUs;
  return o.str();
}

Bytes FsPart::truth(uint32_t e) {
  std::lock_guard<std::mutex> g(mu);
  return e >= 1 && e <= truths.size() ? truths[e - 1] : Bytes();
}

std::set<uint32_t> FsPart::writtenBetween(uint32_t e0, uint32_t e1) {
  std::set<uint32_t> out;
  std::lock_guard<std::mutex> g(mu);
  for (const WriteRec& w : log)
    if (w.e0 >= e0 && w.e1 < e1)
      for (uint32_t b = w.first; b <= w.last; b++) out.insert(b);
  return out;
}

std::string FsPart::writesOf(uint32_t b) {
  std::string out;
  std::lock_guard<std::mutex> g(mu);
  for (const WriteRec& w : log)
    if (w.first <= b && b <= w.last)
      out += "    write of blocks " + std::to_string(w.first) + "-" + std::to_string(w.last) + " between freezes " +
             std::to_string(w.e0) + "/" + std::to_string(w.e1) + ", log records " + std::to_string(w.seq0) + "-" +
             std::to_string(w.seq1) + "\n";
  for (const auto& [id, w] : inFlight)
    if (w.first <= b && b <= w.last)
      out += "    write of blocks " + std::to_string(w.first) + "-" + std::to_string(w.last) + " in flight since freeze " +
             std::to_string(w.e0) + "\n";
  return out;
}

World::World(const WorldSpec& spec, Failures& failures, Figures& figures)
    : spec_(spec), failures_(failures), figures_(figures) {}

World::~World() {
  stopThreads();
  tearDown();
}

bool World::setUp() {
  std::vector<machine::PartitionSpec> parts;
  uint64_t start = 2048;
  for (int k : spec_.order) {
    uint64_t sectors = k >= 0 ? spec_.fs[k].sectors : spec_.raw[-1 - k].sectors;
    parts.push_back({start, sectors});
    start += sectors;
  }
  std::string err;
  disk_ = machine::disk_attach_memory_partitioned((start + 2048) * 512, parts, spec_.disk, &err);
  if (!disk_) {
    failures_.add("disk_attach: " + err);
    return false;
  }
  for (size_t slot = 0; slot < spec_.order.size(); slot++) {
    int k = spec_.order[slot];
    int partno = int(slot) + 1;
    uint64_t startByte = machine::partition_start(disk_, partno) * 512;
    uint64_t bytes = machine::partition_sectors(disk_, partno) * 512;
    if (k >= 0) {
      auto p = std::make_unique<FsPart>();
      p->index = k;
      p->partno = partno;
      p->dev = machine::partition_dev(disk_, partno);
      p->bs = spec_.fs[k].blockSize;
      p->blocks = uint32_t(bytes / p->bs);
      p->startByte = startByte;
      p->disk = disk_;
      p->writers = spec_.fs[k].writers;
      p->shadow.resize(p->bytes());
      p->unknown.assign(p->blocks, 0);
      stamp(p->shadow, spec_.seed * 16 + partno);
      machine::disk_pwrite(disk_, startByte, p->shadow.data(), p->shadow.size());
      p->mnt = machine::fs_mount(p->dev, p->bs, &err);
      if (!p->mnt) {
        failures_.add("fs_mount: " + err);
        return false;
      }
      machine::fs_set_freeze_hook(p->mnt, &World::freezeHook, p.get());
      if (spec_.fs[k].rawBios) {
        p->rawWriter = int(p->writers) - 1;
        machine::fs_set_freeze_backend(p->mnt, {&World::holdRawBios, &World::releaseRawBios, p.get()});
      }
      fs_.push_back(std::move(p));
    } else {
      auto p = std::make_unique<RawPart>();
      p->index = -1 - k;
      p->partno = partno;
      p->dev = machine::partition_dev(disk_, partno);
      p->startByte = startByte;
      p->bytes = bytes;
      p->staticBytes = bytes / 2 / 4096 * 4096;
      p->writers = spec_.raw[p->index].writers;
      p->readers = spec_.raw[p->index].readers;
      p->shadow.resize(bytes);
      stamp(p->shadow, spec_.seed * 16 + partno);
      machine::disk_pwrite(disk_, startByte, p->shadow.data(), p->shadow.size());
      raw_.push_back(std::move(p));
    }
  }
  std::sort(fs_.begin(), fs_.end(), [](auto& a, auto& b) { return a->index < b->index; });
  return true;
}

// Runs while the file system is frozen: no write in flight, none can start.
void World::freezeHook(void* ctx) {
  auto* p = static_cast<FsPart*>(ctx);
  Bytes now(p->bytes());
  int r = machine::disk_pread(p->disk, p->startByte, now.data(), now.size());
  std::lock_guard<std::mutex> g(p->mu);
  if (r != 0) now.clear();  // an empty truth fails every comparison loudly
  p->truths.push_back(std::move(now));
  p->epoch.store(uint32_t(p->truths.size()));
}

// Called by the freeze before the truth is taken and by the thaw, on the snapshot's thread.
int World::holdRawBios(void* ctx) {
  static_cast<FsPart*>(ctx)->rawGate.lock();
  return 0;
}

void World::releaseRawBios(void* ctx) { static_cast<FsPart*>(ctx)->rawGate.unlock(); }

int World::rawBio(FsPart* p, Rng& rng, uint64_t off, Bytes& buf, bool back) {
  // bi_rw: 0 read, 2 read-ahead; 1 write, 3 write with the read-ahead bit.
  unsigned long rw = (back ? 0ul : 1ul) | (rng.chance(50) ? 2ul : 0ul);
  std::shared_lock<std::shared_mutex> g(p->rawGate);
  int r = machine::blk_io(p->dev, rw, off, buf.data(), buf.size());
  (back ? figures_.rawBioReads : figures_.rawBioWrites)++;
  return r;
}

void World::startThreads() {
  uint64_t s = spec_.seed * 1000;
  for (auto& p : fs_)
    for (unsigned t = 0; t < p->writers; t++)
      threads_.emplace_back([this, q = p.get(), t, s] { fsWriter(q, t, s + t, 0); });
  for (auto& p : raw_) {
    for (unsigned t = 0; t < p->writers; t++)
      threads_.emplace_back([this, q = p.get(), t, s] { rawWriter(q, t, s + 100 + t); });
    for (unsigned t = 0; t < p->readers; t++) threads_.emplace_back([this, q = p.get(), t, s] { rawReader(q, s + 200 + t); });
  }
}

void World::startBurst(unsigned writes) {
  uint64_t s = spec_.seed * 1000 + 500 + 10 * bursts_++;
  for (auto& p : fs_)
    for (unsigned t = 0; t < p->writers; t++)
      burst_.emplace_back([this, q = p.get(), t, s, writes] { fsWriter(q, t, s + t, writes); });
}

void World::joinBurst() {
  for (auto& t : burst_)
    if (t.joinable()) t.join();
  burst_.clear();
}

void World::stopThreads() {
  stop_ = true;
  for (auto& t : threads_)
    if (t.joinable()) t.join();
  threads_.clear();
}

// Writes until stopped, or `limit` writes when limit > 0.
void World::fsWriter(FsPart* p, unsigned t, uint64_t seed, unsigned limit) {
  machine::adopt_thread("fswriter");
  Rng rng(seed);
  const bool raw = int(t) == p->rawWriter && limit == 0;
  const uint32_t chunks = (p->blocks + kChunkBlocks - 1) / kChunkBlocks;
  std::vector<uint32_t> mine;
  for (uint32_t c = t; c < chunks; c += p->writers) mine.push_back(c);
  if (mine.empty()) return;
  Bytes buf, back;
  for (unsigned done = 0; limit ? done < limit : !stop_; done++) {
    uint32_t c = mine[rng.next() % mine.size()];
    uint32_t first = c * kChunkBlocks;
    uint32_t inChunk = std::min(kChunkBlocks, p->blocks - first);
    uint32_t b = first + uint32_t(rng.range(0, inChunk - 1));
    uint64_t off, len;
    if (rng.chance(25)) {
      off = uint64_t(b) * p->bs + rng.range(0, p->bs / 512 - 1) * 512;
      len = 512;
    } else {
      uint32_t n = uint32_t(rng.range(1, std::min<uint32_t>(4, first + inChunk - b)));
      off = uint64_t(b) * p->bs;
      len = uint64_t(n) * p->bs;
    }
    buf.resize(len);
    for (size_t i = 0; i < len; i += 8) {
      uint64_t v = rng.next();
      std::memcpy(&buf[i], &v, 8);
    }
    const uint32_t firstBlock = uint32_t(off / p->bs), lastBlock = uint32_t((off + len - 1) / p->bs);
    uint32_t e0;
    uint64_t id, seq0 = machine::log_last_seq();
    {
      std::lock_guard<std::mutex> g(p->mu);
      e0 = p->epoch.load();
      id = p->writesStarted++;
      p->inFlight[id] = {firstBlock, lastBlock, e0, FsPart::kInFlight, seq0, 0};
    }
    int r = raw ? rawBio(p, rng, off, buf, false) : machine::fs_write(p->mnt, off, buf.data(), len);
    uint64_t seq1 = machine::log_last_seq();
    uint32_t e1 = p->epoch.load();
    if (r != 0) {
      if (tolerate_) {
        for (uint64_t b = firstBlock; b <= lastBlock; b++) p->unknown[b] = 1;
        std::lock_guard<std::mutex> g(p->mu);
        p->inFlight.erase(id);
        p->failedLog.push_back({firstBlock, lastBlock, e0, e1, seq0, seq1});
        continue;
      }
      {
        std::lock_guard<std::mutex> g(p->mu);
        p->inFlight.erase(id);
      }
      failures_.add("fs_write at " + std::to_string(off) + " len " + std::to_string(len) + " failed: " +
                    std::to_string(r));
      continue;
    }
    std::memcpy(&p->shadow[off], buf.data(), len);
    if (len % p->bs == 0)
      for (uint64_t b = off / p->bs; b < (off + len) / p->bs; b++) p->unknown[b] = 0;
    {
      std::lock_guard<std::mutex> g(p->mu);
      p->inFlight.erase(id);
      p->log.push_back({firstBlock, lastBlock, e0, e1, seq0, seq1});
    }
    figures_.fsWrites++;
    if (rng.chance(spec_.readBackPercent)) {
      back.resize(len);
      r = raw ? rawBio(p, rng, off, back, true) : machine::fs_read(p->mnt, off, back.data(), len);
      if (r != 0 && tolerate_) continue;
      if (r != 0 || back != buf)
        failures_.add("fs_read after fs_write at " + std::to_string(off) + " gave " +
                      (r ? "error " + std::to_string(r) : std::string("other bytes")));
    }
    if (spec_.writerPauseUs) std::this_thread::sleep_for(std::chrono::microseconds(rng.range(0, spec_.writerPauseUs)));
  }
}

void World::rawWriter(RawPart* p, unsigned t, uint64_t seed) {
  machine::adopt_thread("rawwriter");
  Rng rng(seed);
  const uint64_t unit = 4096;
  std::vector<uint64_t> mine;
  for (uint64_t u = p->staticBytes / unit + t; u < p->bytes / unit; u += p->writers) mine.push_back(u);
  if (mine.empty()) return;
  Bytes buf(unit), back(unit);
  while (!stop_) {
    uint64_t off = mine[rng.next() % mine.size()] * unit;
    for (size_t i = 0; i < unit; i += 8) {
      uint64_t v = rng.next();
      std::memcpy(&buf[i], &v, 8);
    }
    int r = machine::blk_write(p->dev, off, buf.data(), unit);
    if (r != 0) {
      failures_.add("blk_write on raw partition at " + std::to_string(off) + ": " + std::to_string(r));
      continue;
    }
    std::memcpy(&p->shadow[off], buf.data(), unit);
    figures_.rawWrites++;
    r = machine::blk_read(p->dev, off, back.data(), unit);
    if (r != 0 || back != buf) failures_.add("blk_read after blk_write on raw partition at " + std::to_string(off));
    figures_.rawReads++;
    std::this_thread::sleep_for(std::chrono::microseconds(rng.range(0, spec_.writerPauseUs)));
  }
}

void World::rawReader(RawPart* p, uint64_t seed) {
  machine::adopt_thread("rawreader");
  Rng rng(seed);
  if (p->staticBytes < 512) return;
  Bytes buf;
  while (!stop_) {
    uint64_t sectors = p->staticBytes / 512;
    uint64_t first = rng.range(0, sectors - 1);
    uint64_t n = rng.range(1, std::min<uint64_t>(32, sectors - first));
    buf.resize(n * 512);
    int r = machine::blk_read(p->dev, first * 512, buf.data(), buf.size());
    if (r != 0 || std::memcmp(buf.data(), &p->shadow[first * 512], buf.size()) != 0)
      failures_.add("raw read of the untouched half at sector " + std::to_string(first) + " gave " +
                    (r ? "error " + std::to_string(r) : std::string("other bytes")));
    figures_.rawReads++;
    std::this_thread::sleep_for(std::chrono::microseconds(rng.range(0, spec_.writerPauseUs)));
  }
}

void World::checkShadows() {
  for (auto& p : fs_) {
    Bytes now(p->bytes());
    machine::disk_pread(disk_, p->startByte, now.data(), now.size());
    for (uint32_t b = 0; b < p->blocks; b++)
      if (!p->unknown[b] && std::memcmp(&now[uint64_t(b) * p->bs], &p->shadow[uint64_t(b) * p->bs], p->bs) != 0) {
        failures_.add("fs partition " + std::to_string(p->partno) + " block " + std::to_string(b) +
                      " on disk differs from what its writer last wrote (a write was lost or reordered)");
        break;
      }
  }
  for (auto& p : raw_) {
    Bytes now(p->bytes);
    machine::disk_pread(disk_, p->startByte, now.data(), now.size());
    if (now != p->shadow)
      failures_.add("raw partition " + std::to_string(p->partno) + " on disk differs from what its writers wrote");
  }
}

void World::tearDown() {
  stopThreads();
  joinBurst();
  for (auto& p : fs_)
    if (p->mnt) {
      int r = machine::fs_unmount(p->mnt);
      if (r != 0) failures_.add("fs_unmount: " + std::to_string(r));
      p->mnt = nullptr;
    }
  if (disk_) {
    machine::disk_detach(disk_);
    disk_ = nullptr;
  }
}

}  // namespace velloc_stress
