// StressAgent: see stress_agent.h.
#include "stress_agent.h"
#include "stress_change_oracle.h"

#include <sys/mman.h>

#include <algorithm>
#include <barrier>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "machine/kernel.h"
#include "machine/process.h"
#include "stress_trace.h"

namespace velloc_stress {

namespace {

constexpr uint32_t kMaxReadBlocks = 256;

bool workingState(uint32_t s) { return s <= stateMapLoaded; }

// A start sent again on the handle that runs the backup is refused as on a handle that is
// not idle and leaves the session as it was.
constexpr bool kSecondStartRefused = true;

std::string str(uint64_t v) { return std::to_string(v); }

std::vector<uint8_t> bitmapOf(const std::vector<char>& set) {
  std::vector<uint8_t> map((set.size() + 7) / 8, 0);
  for (size_t n = 0; n < set.size(); n++)
    if (set[n]) map[n / 8] |= uint8_t(1u << (n % 8));
  return map;
}

// Contiguous read runs covering every wanted block, in block order: a run may span up to
// `gap` unwanted blocks and holds at most maxRun blocks.
std::vector<std::pair<uint32_t, uint32_t>> runsOf(const std::vector<char>& want, uint32_t maxRun, unsigned gap) {
  std::vector<std::pair<uint32_t, uint32_t>> runs;
  const uint32_t size = uint32_t(want.size());
  uint32_t b = 0;
  while (b < size) {
    if (!want[b]) {
      b++;
      continue;
    }
    uint32_t start = b, end = b + 1, skipped = 0;  // [start, end)
    for (uint32_t c = end; c < size && c - start < maxRun; c++) {
      if (want[c]) {
        end = c + 1;
        skipped = 0;
      } else if (++skipped > gap) {
        break;
      }
    }
    runs.push_back({start, end - start});
    b = end;
  }
  return runs;
}

}  // namespace

SessionPlan SessionPlan::random(Rng& rng, World& world) {
  SessionPlan s;
  s.part = int(rng.range(0, world.fs().size() - 1));
  const FsPart& p = *world.fs()[s.part];
  unsigned c = unsigned(rng.range(0, 99));
  s.cacheLimit = c < 75 ? p.blocks : c < 92 ? uint32_t(rng.range(1, p.blocks / 8)) : uint32_t(rng.range(0, 4));
  s.noStartAutoMap = rng.chance(6);
  s.noLoadFromAutoMap = rng.chance(6);
  s.wrongKeyFirst = rng.chance(12);
  s.mode = SessionPlan::Mode(rng.range(0, 3));
  s.drain = rng.chance(50);
  s.order = SessionPlan::Order(rng.range(0, 2));
  static const std::vector<uint32_t> runs = {1, 2, 7, 16, 64, 255, 256};
  // Small runs over a whole partition would make thousands of commands: keep a session's
  // reads to a few hundred.
  s.maxRun = std::max<uint32_t>(rng.pick(runs), p.blocks / 150);
  s.gap = unsigned(rng.range(0, 3));
  s.mapPercent = rng.chance(70) ? 100 : unsigned(rng.range(1, 100));
  s.twoMappings = rng.chance(25);
  s.unloadAtRead = rng.chance(10) ? int(rng.range(0, 6)) : -1;
  s.raceHandles = rng.chance(15) ? int(rng.range(1, 3)) : 0;
  s.closeBeforeUnmap = rng.chance(30);
  s.syncMid = rng.chance(10);
  s.reread = rng.chance(30);
  s.toggleCompletion = rng.chance(15);
  return s;
}

void SessionPlan::addFailureScenarios(Rng& extra) {
  failFreezeFirst = !wrongKeyFirst && extra.chance(10);
  retryWithKey = extra.chance(50);
  failMidRead = extra.chance(8);
  if (failMidRead) cacheLimit = uint32_t(extra.range(2, 24));
  secondStart = kSecondStartRefused && extra.chance(8);
}

std::string SessionPlan::describe() const {
  static const char* const modes[] = {"NoMap", "MapAll", "MapChanged", "MapSubset"};
  static const char* const orders[] = {"seq", "rev", "shuffled"};
  std::ostringstream o;
  o << "part=" << part << " cache=" << cacheLimit << " mode=" << modes[int(mode)] << " drain=" << drain
    << " order=" << orders[int(order)] << " run=" << maxRun << " gap=" << gap << " map%=" << mapPercent
    << " two=" << twoMappings << " noStart=" << noStartAutoMap << " noLoad=" << noLoadFromAutoMap
    << " wrongKey=" << wrongKeyFirst << " unloadAt=" << unloadAtRead << " race=" << raceHandles
    << " closeFirst=" << closeBeforeUnmap << " sync=" << syncMid << " reread=" << reread
    << " failFreeze=" << failFreezeFirst << (failFreezeFirst ? retryWithKey ? "(key)" : "(no key)" : "")
    << " failMidRead=" << failMidRead << " secondStart=" << secondStart;
  return o.str();
}

StressAgent::StressAgent(StressEnv& env, World& world, Failures& failures, Figures& figures, uint64_t seed)
    : env_(env), world_(world), failures_(failures), figures_(figures), rng_(seed), track_(world.fs().size()) {}

void StressAgent::fail(const std::string& what) { failures_.add(where_ + ": " + what); }

// Reads blocks [start, start+n) into mapping m and checks them: blocks marked in `pending`
// (or all, with verifyAll) must equal the truth; a checked pending block is unmarked.
// False on a result or state the design does not give; `dead` when the session has died
// in an error state (later reads are refused).
bool StressAgent::readAndCheck(Dev& h, FsPart& p, const Mapping& m, uint32_t start, uint32_t n,
                               const Bytes& truth, std::vector<char>& pending, bool verifyAll, bool& dead) {
  long r = h.readBlocks(start, n, m.addr);
  figures_.readCalls++;
  State st{};
  if (h.getState(&st) != 0) {
    fail("doGetState failed after a read");
    return false;
  }
  if (r != 0) {
    if (r == velErrInvalid && !workingState(st.state)) {
      figures_.readsRefusedByFailure++;
      dead = true;
      return true;
    }
    fail("read of " + str(n) + " blocks at " + str(start) + " gave " + std::to_string(r) + " in state " +
         str(st.state));
    return false;
  }
  // Result 0 vouches for every block, even when the session failed just after the read.
  if (!workingState(st.state)) dead = true;
  Bytes got(size_t(n) * p.bs);
  if (machine::user_read(h.proc, m.addr, got.data(), got.size()) != 0) {
    fail("transfer buffer not readable after a read");
    return false;
  }
  for (uint32_t i = 0; i < n; i++) {
    uint32_t b = start + i;
    if (!verifyAll && !pending[b]) continue;
    if (std::memcmp(&got[size_t(i) * p.bs], &truth[uint64_t(b) * p.bs], p.bs) != 0) {
      bool isShadow = std::memcmp(&got[size_t(i) * p.bs], &p.shadow[uint64_t(b) * p.bs], p.bs) == 0;
      fail("WRONG DATA: block " + str(b) + " (read of " + str(n) + " at " + str(start) + ", state " +
           str(st.state) + ") differs from the frozen partition" + (isShadow ? " and equals the current disk" : ""));
      return false;
    }
    pending[b] = 0;
    figures_.blocksVerified++;
  }
  return true;
}

void StressAgent::runSession(const SessionPlan& planIn) {
  SessionPlan plan = planIn;
  const int no = ++sessionNo_;
  where_ = "session " + std::to_string(no) + " [" + plan.describe() + "]";
  figures_.sessions++;
  const bool verbose = traceOn();
  if (verbose) std::printf("[stress] %s\n", where_.c_str());
  trace("session %d: %s", no, plan.describe().c_str());

  if (plan.toggleCompletion)
    machine::disk_set_random_completion(world_.disk(), rng_.chance(50), unsigned(rng_.range(0, 300)), rng_.next());

  // ---- start, possibly racing other handles ----
  Dev h = env_.open(env_.agentProcess());
  if (h.fd < 0) return fail("open: " + std::to_string(h.fd));
  if (plan.noStartAutoMap && h.noStartAutoMap() != 0) return fail("doNoStartAutoMap failed");
  if (plan.noLoadFromAutoMap && h.noLoadFromAutoMap() != 0) return fail("doNoLoadFromAutoMap failed");

  std::vector<Dev> racers;
  std::vector<int> racerPart;
  int winner = -1;  // -1: h; else index into racers
  if (plan.raceHandles > 0) {
    figures_.raceStarts++;
    for (int i = 0; i < plan.raceHandles; i++) {
      racers.push_back(env_.open(env_.newProcess("racer")));
      racerPart.push_back(int(rng_.range(0, world_.fs().size() - 1)));
      if (racers.back().fd < 0) return fail("open of a racing handle failed");
    }
    std::vector<long> results(racers.size() + 1, -999);
    std::barrier sync(ptrdiff_t(racers.size() + 1));
    std::vector<std::thread> ts;
    for (size_t i = 0; i <= racers.size(); i++) {
      ts.emplace_back([&, i] {
        Dev& x = i == 0 ? h : racers[i - 1];
        FsPart& q = *world_.fs()[i == 0 ? plan.part : racerPart[i - 1]];
        machine::process_enter(x.proc);
        sync.arrive_and_wait();
        StartBackup rec{q.dev >> 20, q.dev & 0xFFFFF, q.blocks, i == 0 ? plan.cacheLimit : q.blocks};
        results[i] = x.ioctlRecord(doStartBackup, &rec, sizeof rec);
        machine::process_leave();
      });
    }
    for (auto& t : ts) t.join();
    int wins = 0;
    for (size_t i = 0; i < results.size(); i++) {
      if (results[i] == 0) {
        wins++;
        winner = int(i) - 1;
      } else if (results[i] != velErrOtherBackupOpen) {
        return fail("a racing start gave " + std::to_string(results[i]));
      }
    }
    if (wins != 1) return fail(std::to_string(wins) + " of the racing starts succeeded");
    if (winner >= 0) {
      // The racer's session is the one this round backs up; this handle lost.
      std::swap(h, racers[winner]);
      plan.part = racerPart[winner];
      racerPart[winner] = -1;
      plan.cacheLimit = world_.fs()[plan.part]->blocks;
      plan.noStartAutoMap = plan.noLoadFromAutoMap = false;  // set on the losing handle
      where_ = "session " + std::to_string(no) + " [" + plan.describe() + "]";
    }
    for (auto& x : racers) {
      uint32_t s = x.state();
      if (s != stateOtherBackupOpen) return fail("a refused start left state " + str(s));
    }
  } else {
    FsPart& q = *world_.fs()[plan.part];
    long r = h.startBackup(q.dev, q.blocks, plan.cacheLimit);
    if (r != 0) return fail("doStartBackup gave " + std::to_string(r));
  }
  FsPart& p = *world_.fs()[plan.part];
  Tracking& tr = track_[plan.part];
  trace("session %d: started on part %d", no, plan.part);
  limitedCache_ = plan.cacheLimit < p.blocks;

  State st{};
  h.getState(&st);
  if (st.state != stateStarted || st.major != p.dev >> 20 || st.minor != (p.dev & 0xFFFFF) ||
      uint32_t(st.blockSize) != p.bs || st.mmapSize <= 0)
    return fail("state after start: state=" + str(st.state) + " bs=" + std::to_string(st.blockSize) +
                " mmap=" + std::to_string(st.mmapSize));

  // ---- transfer buffers ----
  const uint32_t maxPages = uint32_t(st.mmapSize) / 4096;
  std::vector<Mapping> maps;
  for (int i = 0; i < (plan.twoMappings ? 2 : 1); i++) {
    uint32_t pages = std::max<uint32_t>(1, maxPages * (i == 0 ? plan.mapPercent : rng_.range(1, 100)) / 100);
    int64_t a = machine::sys_mmap(h.proc, size_t(pages) * 4096, PROT_READ, false, h.fd, 0);
    if (a <= 0) return fail("mmap of " + str(pages) + " pages gave " + std::to_string(a));
    maps.push_back({uint32_t(a), size_t(pages) * 4096, std::min(kMaxReadBlocks, pages * 4096 / p.bs)});
  }

  // ---- snapshot ----
  AutoMapState before{};
  if (h.getAutoMapState(&before) != 0) return fail("doGetAutoMapState failed");
  const bool inSync = before.state == amsInSync;
  const bool keyMatches = std::memcmp(&before.amsKey, &tr.key, sizeof tr.key) == 0;
  if (tr.expectInSync && (!inSync || !keyMatches))
    return fail(std::string("change tracking of the partition was lost with no reason: state ") + str(before.state) +
                (keyMatches ? "" : ", key changed"));
  if (plan.wrongKeyFirst) {
    AMSessionKey wrong = tr.key;
    wrong.key[rng_.range(0, VEL_KEY_LEN - 1)] ^= uint8_t(rng_.range(1, 255));
    uint32_t e = p.epoch.load();
    long r = h.snapShot(wrong);
    if (r != 0) return fail("snapshot with a wrong key gave " + std::to_string(r));
    uint32_t s = h.state();
    if (inSync && !plan.noStartAutoMap && !plan.noLoadFromAutoMap) {
      if (s != stateStarted || p.epoch.load() != e) return fail("a wrong key did not leave the session started");
      AutoMapState again{};
      h.getAutoMapState(&again);
      if (again.state != amsInSync || std::memcmp(&again.amsKey, &before.amsKey, sizeof again.amsKey) != 0)
        return fail("a key mismatch changed the change tracking");
    } else if (s != stateSnapshotComplete && !(limitedCache_ && s == stateCacheExhausted)) {
      return fail("snapshot without a usable automap left state " + str(s));
    }
  }
  // After the switch the session may die at any moment when its cache is limited; it is
  // then in stateCacheExhausted for good, its change tracking out of sync.
  auto snapOk = [&](uint32_t s) { return s == stateSnapshotComplete || (limitedCache_ && s == stateCacheExhausted); };
  AMSessionKey present = tr.key;
  const bool mismatch = inSync && !keyMatches && !plan.noStartAutoMap && !plan.noLoadFromAutoMap;
  if (plan.failFreezeFirst && h.state() == stateStarted && !mismatch) {
    figures_.failedSnapshots++;
    const uint32_t e = p.epoch.load();
    machine::fs_set_unfreezable(p.mnt, true);
    long r = h.snapShot(tr.key);
    machine::fs_set_unfreezable(p.mnt, false);
    uint32_t s = h.state();
    if (r != velErrInvalid || s != stateStarted || p.epoch.load() != e)
      return fail("a snapshot that could not freeze gave " + std::to_string(r) + " in state " + str(s));
    // The attempt may have drawn a new key. Retried with it, the change map must still hold
    // every write since the last snapshot; retried without it, the backup is full.
    if (plan.retryWithKey) {
      AutoMapState now{};
      if (h.getAutoMapState(&now) != 0) return fail("doGetAutoMapState failed after a failed snapshot");
      present = now.amsKey;
    } else {
      if (h.noLoadFromAutoMap() != 0) return fail("doNoLoadFromAutoMap failed");
      plan.noLoadFromAutoMap = true;
    }
  }
  uint32_t k;
  if (h.state() == stateStarted) {
    uint32_t e = p.epoch.load();
    long r = h.snapShot(present);
    if (r != 0) return fail("snapshot gave " + std::to_string(r));
    k = p.epoch.load();
    if (k != e + 1) return fail("the snapshot did not freeze the file system exactly once");
  } else {
    k = p.epoch.load();
  }
  if (!snapOk(h.state())) return fail("state after snapshot " + str(h.state()));
  figures_.snapshots++;
  const Bytes truth = p.truth(k);
  if (truth.size() != p.bytes()) return fail("no truth for freeze " + str(k));

  AutoMapState after{};
  if (h.getAutoMapState(&after) != 0) return fail("doGetAutoMapState failed after the snapshot");
  bool diedEarly = !workingState(h.state());  // read after `after`: an error before it shows here
  if (plan.noStartAutoMap) {
    if (after.state != 0 || after.mapLen != 0) return fail("noStartAutoMap left change tracking on");
  } else if (std::memcmp(&after.amsKey, &tr.key, sizeof tr.key) == 0 || after.mapLen != p.blocks ||
             (!diedEarly && after.state != amsInSync)) {
    return fail("change tracking after the snapshot: state " + str(after.state) + " mapLen " + str(after.mapLen) +
                " (the key must change)");
  }

  // ---- incremental? ----
  const bool expectIncr = inSync && keyMatches && !plan.noStartAutoMap && !plan.noLoadFromAutoMap && tr.lastEpoch > 0;
  std::vector<char> changed(p.blocks, 0);
  bool incremental = false;
  if (!plan.noStartAutoMap) {
    std::vector<uint8_t> cm;
    long r = h.getAutoMap(&cm, after.mapLen, after.mapSize);
    incremental = r == 0;
    if (r != 0 && r != velErrInvalid) return fail("doGetAutoMap gave " + std::to_string(r));
    diedEarly = diedEarly || !workingState(h.state());
    // A session that died before fetching cannot fetch: only a fetched map says anything.
    if (incremental != expectIncr && !(diedEarly && !incremental))
      return fail(std::string("snapshot was ") + (incremental ? "incremental" : "full") + ", expected " +
                  (expectIncr ? "incremental" : "full") + " (tracking in sync " + str(inSync) + ", key matches " +
                  str(keyMatches) + ")");
    if (incremental) {
      figures_.incrementals++;
      for (uint32_t b = 0; b < p.blocks; b++) changed[b] = (cm[b / 8] >> (b % 8)) & 1;
      const Bytes prev = p.truth(tr.lastEpoch);
      for (uint32_t b = 0; b < p.blocks; b++)
        if (!changed[b] && std::memcmp(&prev[uint64_t(b) * p.bs], &truth[uint64_t(b) * p.bs], p.bs) != 0)
          return fail("block " + str(b) + " changed between freezes " + str(tr.lastEpoch) + " and " + str(k) +
                      " but is not in the change map\n" + p.writesOf(b));
      for (uint32_t b : p.writtenBetween(tr.lastEpoch, k))
        if (!changed[b])
          return fail("block " + str(b) + " was written between freezes " + str(tr.lastEpoch) + " and " + str(k) +
                      " but is not in the change map\n" + p.writesOf(b));
      if (std::string over = changeMapOverReports(p, tr.lastEpoch, k, changed); !over.empty()) return fail(over);
    }
  }
  if (verbose)
    std::printf("[stress]   freeze %u of part %d: %s, tracking before: state %u key %s\n", k, plan.part,
                incremental ? "incremental" : "full", before.state, keyMatches ? "matches" : "differs");
  trace("session %d: freeze %u of part %d, %s", no, k, plan.part, incremental ? "incremental" : "full");
  tr.key = after.amsKey;
  tr.lastEpoch = plan.noStartAutoMap ? 0 : k;
  tr.expectInSync = !plan.noStartAutoMap && !diedEarly;

  // ---- what to read ----
  std::vector<char> want(p.blocks, 0);
  bool loadMap = plan.mode != SessionPlan::Mode::NoMap;
  for (uint32_t b = 0; b < p.blocks; b++) {
    switch (plan.mode) {
      case SessionPlan::Mode::NoMap:
      case SessionPlan::Mode::MapAll: want[b] = 1; break;
      case SessionPlan::Mode::MapChanged: want[b] = incremental ? changed[b] : 1; break;
      case SessionPlan::Mode::MapSubset: want[b] = rng_.chance(50); break;
    }
  }
  bool dead = false;
  if (loadMap) {
    // Map lengths other than the partition's are legal: blocks beyond are not in the map.
    long r = h.loadBlockMap(bitmapOf(want), p.blocks);
    uint32_t s = h.state();
    if (r == 0) {
      if (s != stateMapLoaded && workingState(s)) return fail("state after loading the map " + str(s));
    } else if (r == velErrInvalid && !workingState(s)) {
      dead = true;
    } else {
      return fail("doLoadBlockMap gave " + std::to_string(r) + " in state " + str(s));
    }
    if (!workingState(s)) dead = true;
  }
  if (plan.secondStart && !dead) {
    // A stray start must not end the running backup.
    figures_.secondStarts++;
    const uint32_t s0 = h.state();
    long r = h.startBackup(p.dev, p.blocks, plan.cacheLimit);
    uint32_t s = h.state();
    if (r != velErrNotIdle || (s != s0 && !(limitedCache_ && s == stateCacheExhausted)))
      return fail("a second start on the running handle gave " + std::to_string(r) + " and state " + str(s));
  }

  std::vector<std::pair<uint32_t, uint32_t>> runs;
  std::vector<char> pending = want;
  {
    uint32_t cap = maps[0].blocks;
    for (auto& m : maps) cap = std::min(cap, m.blocks);
    runs = runsOf(want, std::max<uint32_t>(1, std::min(plan.maxRun, cap)), plan.gap);
    if (plan.order == SessionPlan::Order::Reverse) std::reverse(runs.begin(), runs.end());
    if (plan.order == SessionPlan::Order::Shuffled) std::shuffle(runs.begin(), runs.end(), rng_.engine());
    if (plan.reread && !loadMap && !runs.empty())
      for (int i = 0; i < 4; i++) runs.push_back(runs[rng_.range(0, runs.size() - 1)]);
  }

  std::thread unloader;
  std::atomic<bool> unloadOk{true};
  auto startUnload = [&] {
    figures_.unloadsMidBackup++;
    machine::Process* up = env_.newProcess("unloader");
    unloader = std::thread([up, this, &unloadOk] {
      Dev u = env_.open(up);
      machine::process_enter(up);
      long r = u.fd >= 0 ? u.unload() : -1;
      if (r != 0) unloadOk = false;
      if (u.fd >= 0) u.close();
      machine::process_leave();
    });
    for (auto& t : track_) t.expectInSync = false;
  };

  // ---- reads ----
  size_t ri = 0;
  for (; ri < runs.size() && !dead; ri++) {
    if (int(ri) == plan.unloadAtRead) startUnload();
    if (plan.syncMid && ri == runs.size() / 2 && h.sync() != 0) return fail("doSync failed");
    const Mapping& m = maps[ri % maps.size()];
    if (!readAndCheck(h, p, m, runs[ri].first, runs[ri].second, truth, pending, !loadMap, dead)) break;
    if (!plan.drain || !loadMap || dead) continue;
    for (int guard = 0;; guard++) {
      if (guard > 4 * int(p.blocks) + 100) {
        fail("the dirty-block query never ran dry");
        break;
      }
      uint32_t d = 0;
      long r = h.getDirtyBlock(&d);
      if (r != 0) {
        uint32_t s = h.state();
        if (r == velErrInvalid && !workingState(s)) {
          dead = true;
          break;
        }
        fail("doGetDirtyBlock gave " + std::to_string(r) + " in state " + str(s));
        break;
      }
      if (d == VEL_NO_DIRTY_BLOCK) break;
      if (d >= p.blocks) {
        fail("doGetDirtyBlock named block " + str(d) + " beyond the partition");
        break;
      }
      figures_.dirtyDrained++;
      // A block not pending any more was read already; reading it again frees the copy.
      if (!readAndCheck(h, p, m, d, 1, truth, pending, false, dead)) break;
    }
    if (failures_.any()) break;
  }
  if (plan.unloadAtRead >= 0 && !unloader.joinable() && !dead && !failures_.any()) startUnload();
  if (unloader.joinable()) {
    unloader.join();
    if (!unloadOk) fail("doUnload from another handle failed");
  }

  // ---- end state ----
  uint32_t endState = h.state();
  if (!workingState(endState)) {
    figures_.errorStates++;
    if (!(endState == stateCacheExhausted && limitedCache_))
      fail("session ended in state " + str(endState) + " which nothing in this run can cause");
  } else {
    for (uint32_t b = 0; b < p.blocks && !failures_.any(); b++)
      if (loadMap && pending[b] && !dead) {
        fail("block " + str(b) + " of the map was never delivered");
        break;
      }
  }
  if (!workingState(endState) || dead || limitedCache_) {
    // (A session with a limited cache may still die between this look and its close.)
    // A failed session puts the partition's change tracking out of sync; its close may stop
    // the tracking of every partition on the queue.
    for (auto& t : track_) t.expectInSync = false;
  } else if (plan.noStartAutoMap) {
    // Its close hands the queue back and may stop the other partitions' tracking.
    for (auto& t : track_) t.expectInSync = false;
  }

  if (verbose) std::printf("[stress]   end state %u%s\n", endState, dead ? " (dead)" : "");
  trace("session %d: closing in state %u", no, endState);
  // ---- close ----
  // Closing the descriptor first defers the release to the last munmap, as in the kernel.
  if (plan.closeBeforeUnmap && h.close() != 0) fail("close failed");
  for (auto& m : maps)
    if (machine::sys_munmap(h.proc, m.addr, m.bytes) != 0) fail("munmap failed");
  if (!plan.closeBeforeUnmap && h.close() != 0) fail("close failed");
  trace("session %d: closed", no);
  // The refused handles: the slot is free now, but their sessions are not idle.
  for (size_t i = 0; i < racers.size(); i++) {
    FsPart& q = *world_.fs()[racerPart[i] < 0 ? plan.part : racerPart[i]];
    long r = racers[i].startBackup(q.dev, q.blocks, q.blocks);
    if (r != velErrNotIdle) fail("a refused handle's second start gave " + std::to_string(r) + ", expected 11");
    if (racers[i].close() != 0) fail("close of a refused handle failed");
  }
}

}  // namespace velloc_stress
