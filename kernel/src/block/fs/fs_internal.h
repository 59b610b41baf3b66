// Mounted file systems of the stand-in: one super block per mounted device, and the gate
// that file-system writers pass so that a freeze can hold them.
#pragma once
#include <cstdint>
#include <utility>
#include <vector>

#include "src/block/block/block_internal.h"

// Thread-safety: `gate` orders the freeze against writers entering (`frozen`, `closing`
// and the increment of `inflight` change under it; `frozen` and `closing` are read with
// atomics by sleepers); `inflight` is atomic; `hook`/`hook_ctx`/`backend`/`dirty` are under `gate`.
struct machine::Mount {
  struct super_block sb {};
  dev_t dev = 0;
  struct block_device* bdev = nullptr;  // the mount's own bdget reference
  vk::RawLock gate;
  int frozen = 0;                       // 1 from freeze_bdev to thaw_bdev
  int closing = 0;                      // 1 once fs_unmount has started
  std::atomic<int> inflight{0};         // fs_write calls past the gate
  std::atomic<bool> unfreezable{false};
  wait_queue_head_t thaw_wq{};          // writers held by a freeze
  wait_queue_head_t drain_wq{};         // a freeze waiting for writers in flight
  void (*hook)(void*) = nullptr;
  void* hook_ctx = nullptr;
  machine::FreezeBackend backend;       // under `gate`
  bool backend_frozen = false;          // backend.freeze succeeded; under `gate`
  // Delayed writes not on the disk yet, oldest first, as (byte offset, bytes); under `gate`.
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> dirty;
};

namespace vkfs {
inline bool frozen(machine::Mount* m) { return __atomic_load_n(&m->frozen, __ATOMIC_SEQ_CST) != 0; }
inline bool closing(machine::Mount* m) { return __atomic_load_n(&m->closing, __ATOMIC_SEQ_CST) != 0; }
// Writes the mount's delayed writes to the disk, oldest first (fs_write_delayed). 0 or the
// first -errno (the rest are still written). May sleep.
int write_back(machine::Mount* m);
}  // namespace vkfs
