// Random 4 KiB writes by fio in the host's real ext4 on a live-mounted partition, with
// no backup running against the same while backups run back to back; the ratio is the
// cost of copy-on-write to a real file system's writers. Also the freeze timings of the
// statistics block of those backups. Needs root, /dev/fuse, a free loop device and fio:
// skipped with the reason otherwise.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "machine/disk.h"
#include "velloc/agent/backup.h"
#include "velloc/agent/device.h"
#include "velloc/agent/host.h"
#include "velloc/agent/image_builder.h"
#include "velloc/agent/live_mount.h"

namespace {

using namespace velloc::agent;

constexpr double kSeconds = 6;

class Discard : public BlockSink {
 public:
  void write(uint32_t, const std::vector<Piece>&, uint32_t) override {}
};

// IOPS of `seconds` of random 4 KiB direct writes to a 64 MiB file in `dir`; 0 on failure.
double fioIops(const std::string& dir, double seconds, std::string* err) {
  std::string out, e;
  int rc = runTool({"fio", "--name=live-bench", "--directory=" + dir, "--filename=bench.dat", "--rw=randwrite",
                    "--bs=4k", "--size=64M", "--direct=1", "--ioengine=psync", "--time_based",
                    "--runtime=" + std::to_string(int(seconds)), "--output-format=json"},
                   &out, &e);
  if (rc != 0) {
    *err = "fio failed: " + e;
    return 0;
  }
  try {
    auto j = nlohmann::json::parse(out.substr(out.find('{')));
    return j["jobs"][0]["write"]["iops"].get<double>();
  } catch (const std::exception& x) {
    *err = std::string("cannot read fio's report: ") + x.what();
    return 0;
  }
}

void BM_LiveRandomWrites(benchmark::State& state) {
  std::string why = liveMachineProblems();
  if (why.empty() && !haveTool("fio")) why = "fio not found";
  if (!why.empty()) {
    state.SkipWithError(("velloc live needs root, /dev/fuse and a free loop device: " + why).c_str());
    return;
  }
  char tmpl[] = "/tmp/velloc-live-bench-XXXXXX";
  std::string scratch = ::mkdtemp(tmpl) ? tmpl : "";
  const std::string image = scratch + "/disk.img", mnt = scratch + "/mnt";
  std::filesystem::create_directories(mnt);
  const uint64_t bytes = 256ull << 20, start = 2048, sectors = bytes / 512 - start;
  std::string err;
  if (machine::image_create(image, bytes, {{start, sectors}}) != 0 ||
      machine::image_mkfs_ext4(image, start, sectors, 4096, "", &err) != 0) {
    state.SkipWithError(("cannot make the image: " + err).c_str());
    return;
  }
  for (auto _ : state) {
    Host host(image);
    LiveMount live(host, 1, mnt);
    // The first run lays the file out; the figures come from the runs after it.
    fioIops(mnt, 2, &err);
    double before = fioIops(mnt, kSeconds, &err);

    AgentProcess proc;
    Target target = describeTarget(proc, host.major(1), host.minor(1), host.devName(1));
    std::atomic<bool> stop{false};
    std::vector<double> toFreeze, frozen;
    int rounds = 0;
    std::string backupError;
    std::thread backups([&] {
      KeyKeeper keys;
      BackupOptions o;
      o.wantIncremental = false;  // every round copies the whole partition
      while (!stop) {
        uint64_t seq = logSeq();
        try {
          backupRound(proc, target, keys, o, [](const RoundPlan&) { return std::make_unique<Discard>(); });
        } catch (const std::exception& e) {
          backupError = e.what();
          return;
        }
        SessionStats st = lastSessionStats(seq);
        toFreeze.push_back(st.seconds("time to freeze in seconds"));
        frozen.push_back(st.seconds("time frozen in seconds"));
        rounds++;
      }
    });
    double during = fioIops(mnt, kSeconds, &err);
    stop = true;
    backups.join();
    double after = fioIops(mnt, kSeconds, &err);
    if (!backupError.empty() || before <= 0 || during <= 0 || after <= 0) {
      state.SkipWithError((backupError.empty() ? err : backupError).c_str());
      break;
    }
    double baseline = (before + after) / 2;
    state.counters["iops_no_backup"] = baseline;
    state.counters["iops_during_backup"] = during;
    state.counters["ratio_during_vs_none"] = during / baseline;
    state.counters["backup_rounds"] = rounds;
    auto mean = [](const std::vector<double>& v) {
      double s = 0;
      for (double x : v) s += x;
      return v.empty() ? 0 : s / double(v.size());
    };
    state.counters["time_to_freeze_mean_s"] = mean(toFreeze);
    state.counters["time_to_freeze_max_s"] = toFreeze.empty() ? 0 : *std::max_element(toFreeze.begin(), toFreeze.end());
    state.counters["time_frozen_mean_s"] = mean(frozen);
    state.counters["time_frozen_max_s"] = frozen.empty() ? 0 : *std::max_element(frozen.begin(), frozen.end());
    // Back-to-back rounds freeze the file system often: the share of the window it spent
    // frozen explains much of the ratio by itself.
    double frozenTotal = 0;
    for (double f : frozen) frozenTotal += f;
    state.counters["frozen_share_of_window"] = frozenTotal / kSeconds;
  }
  std::filesystem::remove(image);
  ::rmdir(mnt.c_str());
  ::rmdir(scratch.c_str());
}

BENCHMARK(BM_LiveRandomWrites)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
