// The point-in-time truth: the partition's bytes while its file system is frozen.
#include <chrono>

#include "velloc/agent/errors.h"
#include "velloc/agent/host.h"

namespace velloc::agent {

FreezeOracle::FreezeOracle(Host& host, int partno) : host_(host), partno_(partno), mount_(host.mounted(partno)) {
  if (!mount_) throw AgentError("internal error: the oracle needs partition " + std::to_string(partno) + " mounted");
  machine::fs_set_freeze_hook(mount_, &FreezeOracle::hook, this);
}

FreezeOracle::~FreezeOracle() { machine::fs_set_freeze_hook(mount_, nullptr, nullptr); }

// Runs on the snapshot's thread inside the freeze: nothing can write the partition now.
void FreezeOracle::hook(void* ctx) {
  auto* self = static_cast<FreezeOracle*>(ctx);
  auto t0 = std::chrono::steady_clock::now();
  uint64_t bytes = self->host_.sectors(self->partno_) * 512;
  uint64_t off = self->host_.startSector(self->partno_) * 512;
  std::lock_guard lk(self->mu_);
  self->truth_.resize(bytes);
  self->failed_ = machine::disk_pread(self->host_.disk(), off, self->truth_.data(), bytes) != 0;
  self->freezes_++;
  self->lastSeconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::vector<uint8_t> FreezeOracle::take() {
  std::lock_guard lk(mu_);
  if (failed_) throw AgentError("the oracle could not read the partition while it was frozen");
  freezes_ = 0;
  return std::move(truth_);
}

}  // namespace velloc::agent
