// StressEnv and the shared pieces: see stress_env.h.
#include "stress_env.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "machine/kernel.h"
#include "machine/modules.h"
#include "machine/process.h"

namespace velloc_stress {

bool waitUntil(const std::function<bool()>& cond, unsigned timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool runBounded(const std::function<void()>& fn, unsigned timeoutMs) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread t([fn, done] {
    fn();
    done->store(true);
  });
  if (!waitUntil([&] { return done->load(); }, timeoutMs)) {
    t.detach();
    return false;
  }
  t.join();
  return true;
}

namespace {
void dumpThreads() {
  std::string cmd = "command -v gdb >/dev/null && gdb -p " + std::to_string(getpid()) +
                    " -batch -ex 'thread apply all bt 30' 1>&2 2>/dev/null";
  int rc = std::system(cmd.c_str());
  (void)rc;
}
}  // namespace

Watchdog::Watchdog(std::string what, unsigned seconds) {
  t_ = std::thread([this, what, seconds] {
    std::unique_lock<std::mutex> l(mu_);
    if (!cv_.wait_for(l, std::chrono::seconds(seconds), [this] { return done_; })) {
      std::fprintf(stderr, "\n[reliability] %s HUNG for %u s\n%s\n", what.c_str(), seconds,
                   machine::log_dmesg().c_str());
      dumpThreads();
      std::abort();
    }
  });
}

Watchdog::~Watchdog() {
  {
    std::lock_guard<std::mutex> g(mu_);
    done_ = true;
  }
  cv_.notify_all();
  t_.join();
}

std::string Figures::line() const {
  std::ostringstream o;
  o << "runs=" << runs << " sessions=" << sessions << " snapshots=" << snapshots
    << " incrementals=" << incrementals << " blocks_verified=" << blocksVerified
    << " read_calls=" << readCalls << " reads_refused_by_failure=" << readsRefusedByFailure
    << " fs_writes=" << fsWrites << " raw_writes=" << rawWrites << " raw_reads=" << rawReads
    << " raw_bio_writes=" << rawBioWrites << " raw_bio_reads=" << rawBioReads
    << " error_states=" << errorStates << " start_races=" << raceStarts
    << " unloads_mid_backup=" << unloadsMidBackup << " dirty_drained=" << dirtyDrained
    << " failed_snapshots=" << failedSnapshots << " second_starts=" << secondStarts;
  return o.str();
}

void StressEnv::boot() {
  machine::log_clear();
  machine::fault_reset();
  machine::fault_set_filter([] { return true; });
  machine::kernel_bug_reset();
  if (machine::module_loaded()) machine::module_unload();
  int r = machine::module_load();
  if (r != 0) ADD_FAILURE() << "module_load: " << r << "\n" << machine::log_dmesg();
  r = machine::mknod_char(velloc_test::kDevicePath, velloc_test::kDeviceMajor, 0);
  if (r != 0 && r != -EEXIST) ADD_FAILURE() << "mknod_char: " << r;
  agent_ = newProcess("agent");
  machine::process_enter(agent_);
}

void StressEnv::shutdown(Failures& failures, const std::function<void()>& detach) {
  machine::fault_reset();
  machine::fault_set_filter([] { return true; });
  if (machine::process_current() != nullptr) machine::process_leave();
  {
    std::lock_guard<std::mutex> g(mu_);
    for (machine::Process* p : procs_) machine::process_destroy(p);
    procs_.clear();
  }
  agent_ = nullptr;
  if (machine::module_loaded()) {
    int r = machine::module_unload();
    if (r != 0) failures.add("module_unload: " + std::to_string(r) + " (a reference is still held)");
  }
  if (detach) detach();
  if (!machine::nothing_live()) failures.add("objects left live after unload: " + machine::live_report());
  if (machine::kernel_bug_count() != 0)
    failures.add("kernel bugs: " + std::to_string(machine::kernel_bug_count()) + "\n" + machine::log_dmesg());
}

machine::Process* StressEnv::newProcess(const std::string& name) {
  machine::Process* p = machine::process_create(name);
  std::lock_guard<std::mutex> g(mu_);
  procs_.push_back(p);
  return p;
}


}  // namespace velloc_stress
