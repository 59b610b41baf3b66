// The stand-in booted for one seeded run: log, faults and bug count cleared, the module
// loaded, the control device node made, and an agent process. Shut down in reverse: every
// process destroyed (closing its handles and mappings), the module unloaded, and then the
// stand-in must hold no live object and have seen no kernel bug.
//
// Also the small pieces every reliability program shares: a seeded generator, the run's
// failure list (threads add to it, the test thread reports it), and bounded waiting.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "stress_device.h"
#include "velloc_fixture.h"

namespace velloc_stress {

using velloc_test::AgentHandle;
using Bytes = std::vector<uint8_t>;

// Seeded generator with the few draws the harness needs.
class Rng {
 public:
  explicit Rng(uint64_t seed) : g_(seed) {}
  uint64_t next() { return g_(); }
  // Uniform in [lo, hi] (inclusive).
  uint64_t range(uint64_t lo, uint64_t hi) { return lo + (hi > lo ? g_() % (hi - lo + 1) : 0); }
  bool chance(unsigned percent) { return g_() % 100 < percent; }
  template <class T> const T& pick(const std::vector<T>& v) { return v[g_() % v.size()]; }
  std::mt19937_64& engine() { return g_; }

 private:
  std::mt19937_64 g_;
};

// Failures seen by any thread of a run. Threads record; the test thread reports. Thread-safe.
class Failures {
 public:
  void add(const std::string& what) {
    std::lock_guard<std::mutex> g(mu_);
    if (list_.size() < 50) list_.push_back(what);
    count_++;
  }
  bool any() const { return count_.load() != 0; }
  int count() const { return count_.load(); }
  std::string text() const {
    std::lock_guard<std::mutex> g(mu_);
    std::string out;
    for (const auto& s : list_) out += "  " + s + "\n";
    return out;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> list_;
  std::atomic<int> count_{0};
};

// True in a build under AddressSanitizer or ThreadSanitizer: several times slower, so the
// programs scale their default work down (CI runs the full counts in the plain build).
constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    true;
#else
    false;
#endif
constexpr bool kThreadSanitized =
#if defined(__SANITIZE_THREAD__)
    true;
#else
    false;
#endif

// Polls cond every millisecond for at most timeoutMs; true once it held.
bool waitUntil(const std::function<bool()>& cond, unsigned timeoutMs);

// Runs fn on a new thread and waits at most timeoutMs for it. True when it finished; on a
// timeout the thread is detached (the run is then reported as hung and the process should
// end: a detached thread still uses the stand-in).
bool runBounded(const std::function<void()>& fn, unsigned timeoutMs);

// Ends the process when a run hangs, after printing `what` (the seed or failing call that
// replays it), the kernel log and, when gdb is at hand, every thread's stack: a hang cannot
// be recovered from inside the process.
class Watchdog {
 public:
  Watchdog(std::string what, unsigned seconds);
  ~Watchdog();

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread t_;
};

// Figures summed over runs, printed by the programs and copied into docs/reliability.md.
struct Figures {
  // readsRefusedByFailure: reads answered 2 because the session had failed (before or
  // during them); rawBio*: bios of every request kind on backed-up partitions.
  std::atomic<uint64_t> runs{0}, sessions{0}, snapshots{0}, incrementals{0}, blocksVerified{0},
      readCalls{0}, readsRefusedByFailure{0}, fsWrites{0}, rawWrites{0}, rawReads{0}, rawBioWrites{0},
      rawBioReads{0}, errorStates{0}, raceStarts{0}, unloadsMidBackup{0}, dirtyDrained{0},
      failedSnapshots{0}, secondStarts{0};
  std::string line() const;
};

class StressEnv {
 public:
  // Boots: clears log/faults/bugs, loads the module, makes /dev/velloc, creates the agent
  // process. ASSERT-style failures are recorded in `failures`.
  void boot();
  // Destroys every process made through newProcess (closing their handles), unloads the
  // module (which restores every request function it replaced), runs `detach` (unmount and
  // detach the disks: only now is no queue intercepted), and records a failure for anything
  // left live or any kernel bug.
  void shutdown(Failures& failures, const std::function<void()>& detach);

  machine::Process* agentProcess() const { return agent_; }
  machine::Process* newProcess(const std::string& name);
  // A handle of /dev/velloc in p (fd < 0 when refused).
  Dev open(machine::Process* p) { return Dev::open(p); }

 private:
  machine::Process* agent_ = nullptr;
  std::mutex mu_;
  std::vector<machine::Process*> procs_;
};

}  // namespace velloc_stress
