// The standard scenario: see fault_scenario.h.
#include "fault_scenario.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "machine/kernel.h"
#include "stress_agent.h"

namespace velloc_fault {

namespace {

bool working(uint32_t s) { return s <= stateMapLoaded; }
// States the design names (3 and 11 are never assigned; 7 only while closing).
bool named(uint32_t s) { return s <= 2 || (s >= 4 && s <= 6) || (s >= 8 && s <= 10) || s == 12 || s == 13; }
// Error states the write path enters by itself when one of its calls fails.
bool writePathError(uint32_t s) { return s == stateCacheReadError || s == stateCacheExhausted || s == stateQueueOutOfMemory; }

class Scenario {
 public:
  Scenario(StressEnv& env, World& world, Failures& failures, ScenarioFigures& figures)
      : env_(env), world_(world), p_(*world.fs()[0]), failures_(failures), fig_(figures) {}

  void run() {
    round(false);
    round(true);
    unloadFromAnotherHandle();
  }

 private:
  void fail(const std::string& what) { failures_.add(step_ + ": " + what); }

  // Result check: r must be one of `allowed`.
  bool expect(long r, std::initializer_list<long> allowed) {
    fig_.commands++;
    if (r != 0) fig_.failedCommands++;
    for (long a : allowed)
      if (r == a) return true;
    fail("answered " + std::to_string(r));
    return false;
  }

  // The session state now; `ok` false when the query itself failed (a copy fault).
  uint32_t state(Dev& h, bool* ok = nullptr) {
    State s{};
    long r = h.getState(&s);
    expect(r, {0, velErrCopyFromUser, velErrCopyToUser});
    if (ok) *ok = r == 0;
    if (r != 0) return 0xFFFFFFFFu;
    if (!named(s.state)) fail("state " + std::to_string(s.state) + " is not one the design names");
    return s.state;
  }

  // A state the query could not tell is accepted as anything.
  bool stateIs(uint32_t s, std::initializer_list<uint32_t> allowed) {
    if (s == 0xFFFFFFFFu) return true;
    for (uint32_t a : allowed)
      if (s == a) return true;
    return false;
  }

  void round(bool incremental) {
    const std::string name = incremental ? "incremental" : "full";
    step_ = name + " open";
    Dev h = env_.open(env_.agentProcess());
    if (h.fd < 0) {
      // velOpen refuses with a negative errno when its record cannot be allocated.
      if (h.fd != -12 && h.fd != -22) fail("open gave " + std::to_string(h.fd));
      if (h.scratch) machine::user_free(h.proc, h.scratch);
      return;
    }
    step_ = name + " start";
    long r = h.startBackup(p_.dev, p_.blocks, p_.blocks);
    // 2: unusable device or record; 5: no memory; 6: record not readable; negative: the
    // worker thread could not be created.
    if (!expect(r, {0, velErrInvalid, velErrNoMemory, velErrCopyFromUser, -12, -11})) r = -1;
    uint32_t s = state(h);
    if (r == 0 && !stateIs(s, {stateStarted})) fail("state " + std::to_string(s) + " after a start that succeeded");
    if (r != 0 && !stateIs(s, {stateIdle, stateStarting}))
      fail("state " + std::to_string(s) + " after a failed start");
    const bool started = r == 0;

    step_ = name + " mmap";
    uint32_t buf = 0, bufBlocks = 0;
    size_t bufBytes = 0;
    if (started) {
      State st{};
      if (h.getState(&st) == 0 && st.mmapSize > 0) {
        bufBytes = std::min<size_t>(size_t(st.mmapSize), 8 * 4096);  // several reads per round
        int64_t a = machine::sys_mmap(h.proc, bufBytes, PROT_READ, false, h.fd, 0);
        if (a > 0) {
          buf = uint32_t(a);
          bufBlocks = std::min<uint32_t>(256, uint32_t(bufBytes / p_.bs));
        } else if (a != -velErrNoMemory && a != -12) {
          fail("mmap gave " + std::to_string(a));
        }
      }
    }

    step_ = name + " snapshot";
    AMSessionKey key = key_;
    world_.startBurst(3);
    uint32_t e = p_.epoch.load();
    r = h.snapShot(key);
    expect(r, {0, velErrInvalid, velErrNoMemory, velErrCopyFromUser});
    world_.joinBurst();
    s = state(h);
    uint32_t k = p_.epoch.load();
    bool snapped = false;
    if (r == 0 && started) {
      // 0 without a freeze is the key mismatch: nothing done, still started.
      if (k == e + 1)
        snapped = true;
      else if (k != e || !stateIs(s, {stateStarted}))
        fail("snapshot answered 0, froze " + std::to_string(k - e) + " times, state " + std::to_string(s));
      if (snapped && !stateIs(s, {stateSnapshotComplete}) && !writePathError(s))
        fail("state " + std::to_string(s) + " after a snapshot that succeeded");
    } else if (started && !stateIs(s, {stateStarted})) {
      fail("state " + std::to_string(s) + " after a failed snapshot");
    }

    step_ = name + " automap state";
    AutoMapState ams{};
    long ra = h.getAutoMapState(&ams);
    expect(ra, {0, velErrCopyFromUser, velErrCopyToUser});

    std::vector<char> want(p_.blocks, 1);
    if (incremental && snapped) {
      step_ = name + " change map";
      std::vector<uint8_t> cm;
      r = h.getAutoMap(&cm, ams.mapLen, ams.mapSize);
      expect(r, {0, velErrInvalid, velErrCopyFromUser, velErrCopyToUser});
      if (r == 0 && ra == 0 && lastEpoch_ > 0) {
        const Bytes prev = p_.truth(lastEpoch_), now = p_.truth(k);
        for (uint32_t b = 0; b < p_.blocks; b++) {
          bool in = (cm[b / 8] >> (b % 8)) & 1;
          want[b] = in;
          if (!in && std::memcmp(&prev[uint64_t(b) * p_.bs], &now[uint64_t(b) * p_.bs], p_.bs) != 0) {
            fail("block " + std::to_string(b) + " changed since the last snapshot but is not in the change map");
            break;
          }
        }
      }
    }
    if (snapped && ra == 0) {
      key_ = ams.amsKey;
      lastEpoch_ = k;
    }

    step_ = name + " load map";
    world_.startBurst(3);
    std::vector<uint8_t> bitmap((p_.blocks + 7) / 8, 0);
    for (uint32_t b = 0; b < p_.blocks; b++)
      if (want[b]) bitmap[b / 8] |= uint8_t(1u << (b % 8));
    r = h.loadBlockMap(bitmap, p_.blocks);
    expect(r, {0, velErrInvalid, velErrRefused, velErrNoMemory, velErrCopyFromUser});
    s = state(h);
    if (r == 0 && !stateIs(s, {stateMapLoaded}) && !writePathError(s))
      fail("state " + std::to_string(s) + " after a map load that succeeded");
    if (r != 0 && snapped && stateIs(s, {stateMapLoaded})) fail("a map load that failed left stateMapLoaded");

    step_ = name + " reads";
    if (buf) readAll(h, buf, bufBlocks, want, snapped ? p_.truth(k) : Bytes());
    world_.joinBurst();

    step_ = name + " close";
    if (buf && machine::sys_munmap(h.proc, buf, bufBytes) != 0) fail("munmap failed");
    if (h.close() != 0) fail("close failed");
  }

  // Reads the wanted blocks in runs of a buffer, draining dirty blocks after each run.
  void readAll(Dev& h, uint32_t buf, uint32_t bufBlocks, const std::vector<char>& want, const Bytes& truth) {
    std::vector<char> pending = want, readOnce(p_.blocks, 0);
    Bytes got;
    auto readRun = [&](uint32_t start, uint32_t n) -> bool {
      long r = h.readBlocks(start, n, buf);
      expect(r, {0, velErrInvalid, velErrCopyFromUser, velErrReadError});
      uint32_t s = state(h);
      if (r == velErrInvalid) return s == 0xFFFFFFFFu || working(s);  // refused: go on while working
      if (r != 0 && r != velErrReadError) return true;
      if (!working(s) || truth.empty()) return false;  // died meanwhile: nothing promised
      got.resize(size_t(n) * p_.bs);
      machine::user_read(h.proc, buf, got.data(), got.size());
      for (uint32_t i = 0; i < n; i++) {
        uint32_t b = start + i;
        bool first = !readOnce[b];
        readOnce[b] = 1;
        if (!pending[b] || !first) continue;
        const uint8_t* g = &got[size_t(i) * p_.bs];
        bool ok = std::memcmp(g, &truth[uint64_t(b) * p_.bs], p_.bs) == 0;
        // A failed disk read leaves zeros (12); anything else must be the frozen bytes.
        if (!ok && r == velErrReadError) ok = std::all_of(g, g + p_.bs, [](uint8_t c) { return c == 0; });
        if (!ok) {
          fail("WRONG DATA: block " + std::to_string(b) + " differs from the frozen partition (result " +
               std::to_string(r) + ")");
          return false;
        }
        pending[b] = 0;
        fig_.blocksVerified++;
      }
      return true;
    };
    for (uint32_t b = 0; b < p_.blocks;) {
      if (!want[b]) {
        b++;
        continue;
      }
      uint32_t n = std::min(bufBlocks, p_.blocks - b);
      if (!readRun(b, n) || failures_.any()) return;
      b += n;
      for (int guard = 0; guard < int(p_.blocks) + 10; guard++) {
        uint32_t d = 0;
        long r = h.getDirtyBlock(&d);
        expect(r, {0, velErrInvalid, velErrCopyFromUser, -14});
        if (r != 0 || d == VEL_NO_DIRTY_BLOCK || d >= p_.blocks) break;
        if (!readRun(d, 1) || failures_.any()) return;
      }
    }
  }

  void unloadFromAnotherHandle() {
    step_ = "unload";
    Dev u = env_.open(env_.newProcess("unloader"));
    if (u.fd < 0) return;
    expect(u.unload(), {0});
    if (u.close() != 0) fail("close failed");
  }

  StressEnv& env_;
  World& world_;
  FsPart& p_;
  Failures& failures_;
  ScenarioFigures& fig_;
  std::string step_;
  AMSessionKey key_{};
  uint32_t lastEpoch_ = 0;
};

}  // namespace

void runScenario(StressEnv& env, World& world, Failures& failures, ScenarioFigures& figures) {
  Scenario(env, world, failures, figures).run();
}

void runCleanBackup(StressEnv& env, World& world, Failures& failures, Figures& figures) {
  StressAgent agent(env, world, failures, figures, 99);
  SessionPlan plan;
  plan.part = 0;
  plan.cacheLimit = world.fs()[0]->blocks;
  plan.noLoadFromAutoMap = true;  // whatever tracking the faults left, this one is full
  plan.mode = SessionPlan::Mode::NoMap;
  plan.maxRun = 256;
  world.startBurst(3);
  agent.runSession(plan);
  world.joinBurst();
}

}  // namespace velloc_fault
