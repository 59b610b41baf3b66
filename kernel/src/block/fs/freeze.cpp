// File-system writers and the freeze: writes pass a gate that a freeze closes; the freeze
// waits for the writes already past it, flushes the disk and runs its hook; the thaw
// opens the gate again.
#include <linux/errno.h>

#include <algorithm>
#include <cstring>

#include "fs_internal.h"

using machine::Mount;

namespace {

// Lets a writer through the gate, sleeping while the file system is frozen. -ENODEV once
// the mount is closing. May sleep.
int enter_writer(Mount* m) {
  for (;;) {
    {
      vk::RawGuard g(&m->gate);
      if (m->closing) return -ENODEV;
      if (!m->frozen) {
        m->inflight.fetch_add(1);
        return 0;
      }
    }
    wait_event(m->thaw_wq, !vkfs::frozen(m) || vkfs::closing(m));
  }
}

void leave_writer(Mount* m) {
  if (m->inflight.fetch_sub(1) == 1) wake_up_all(&m->drain_wq);
}

// Freezes the file system outside the stand-in, if the mount has one. It is called
// without the gate held: the backend's file system writes through this very device
// while it freezes, and those writes must not wait for anything the freezer holds.
// False when the backend refuses.
bool freeze_backend(Mount* m) {
  machine::FreezeBackend b;
  {
    vk::RawGuard g(&m->gate);
    b = m->backend;
  }
  if (!b.freeze) return true;
  if (b.freeze(b.ctx) != 0) return false;
  vk::RawGuard g(&m->gate);
  m->backend_frozen = true;
  return true;
}

void thaw_backend(Mount* m) {
  machine::FreezeBackend b;
  {
    vk::RawGuard g(&m->gate);
    if (!m->backend_frozen) return;
    m->backend_frozen = false;
    b = m->backend;
  }
  if (b.thaw) b.thaw(b.ctx);
}

int disk_flush(struct block_device* bdev) {
  machine::Disk* d = vkblk::bdev_disk(bdev);
  return d ? vkblk::engine_flush(d) : 0;
}

}  // namespace

// The mount's delayed writes to the disk (fs_internal.h).
int vkfs::write_back(Mount* m) {
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> dirty;
  {
    vk::RawGuard g(&m->gate);
    dirty.swap(m->dirty);
  }
  int rc = 0;
  for (auto& [off, bytes] : dirty) {
    int r = vkblk::submit_and_wait(m->bdev, WRITE, off >> 9, bytes.data(), bytes.size());
    if (r && !rc) rc = r;
  }
  return rc;
}

namespace machine {

// A file-system write: held while frozen, in flight until its bios complete. 0 or -errno.
// May sleep.
int fs_write(Mount* m, uint64_t byte_off, const void* buf, size_t len) {
  might_sleep();
  if (byte_off % 512 || len % 512) return -EINVAL;
  int rc = enter_writer(m);
  if (rc) return rc;
  rc = vkblk::submit_and_wait(m->bdev, WRITE, byte_off >> 9, const_cast<void*>(buf), len);
  leave_writer(m);
  return rc;
}

// A delayed write: kept in the mount, as a file system's dirty buffers, until fsync_bdev,
// a freeze or the unmount writes it back. Never held by a freeze. 0 or -errno.
int fs_write_delayed(Mount* m, uint64_t byte_off, const void* buf, size_t len) {
  if (byte_off % 512 || len % 512) return -EINVAL;
  const auto* bytes = static_cast<const uint8_t*>(buf);
  vk::RawGuard g(&m->gate);
  if (m->closing) return -ENODEV;
  m->dirty.emplace_back(byte_off, std::vector<uint8_t>(bytes, bytes + len));
  return 0;
}

// A file-system read: never held by a freeze; sees the delayed writes. 0 or -errno.
// May sleep.
int fs_read(Mount* m, uint64_t byte_off, void* buf, size_t len) {
  might_sleep();
  if (byte_off % 512 || len % 512) return -EINVAL;
  if (vkfs::closing(m)) return -ENODEV;
  int rc = vkblk::submit_and_wait(m->bdev, READ, byte_off >> 9, buf, len);
  vk::RawGuard g(&m->gate);
  for (const auto& [off, bytes] : m->dirty) {
    uint64_t from = std::max(off, byte_off), to = std::min(off + bytes.size(), byte_off + len);
    if (from < to) std::memcpy(static_cast<uint8_t*>(buf) + (from - byte_off), bytes.data() + (from - off), to - from);
  }
  return rc;
}

}  // namespace machine

// Freezes the file system on bdev: one freeze at a time per device (a second waits for the
// thaw); new writes are held, those in flight are waited for, a file system outside the
// stand-in is frozen through the mount's backend, the disk is flushed and the freeze
// hook runs. Returns the super block with a reference (thaw_bdev drops it), or
// null when nothing is mounted or the mount (or its backend) refuses to freeze; the device stays claimed
// either way until thaw_bdev. May sleep.
struct super_block* freeze_bdev(struct block_device* bdev) {
  might_sleep();
  if (!bdev) return nullptr;
  down(&vkblk::node_of(bdev)->mount_sem);
  struct super_block* sb = get_super(bdev);
  if (!sb) {
    disk_flush(bdev);
    return nullptr;
  }
  auto* m = static_cast<Mount*>(sb->s_fs_info);
  if (m->unfreezable.load()) {
    drop_super(sb);
    return nullptr;
  }
  {
    vk::RawGuard g(&m->gate);
    __atomic_store_n(&m->frozen, 1, __ATOMIC_SEQ_CST);
    sb->s_frozen = 1;
  }
  wait_event(m->drain_wq, m->inflight.load() == 0);
  if (!freeze_backend(m)) {
    {
      vk::RawGuard g(&m->gate);
      __atomic_store_n(&m->frozen, 0, __ATOMIC_SEQ_CST);
      sb->s_frozen = 0;
    }
    wake_up_all(&m->thaw_wq);
    drop_super(sb);
    return nullptr;
  }
  vkfs::write_back(m);
  disk_flush(bdev);
  void (*hook)(void*);
  void* ctx;
  {
    vk::RawGuard g(&m->gate);
    hook = m->hook;
    ctx = m->hook_ctx;
  }
  if (hook) hook(ctx);
  return sb;
}

// Releases the writers held by freeze_bdev, drops its super-block reference and the
// device claim. sb may be null (a freeze that failed). Never sleeps in the stand-in; a
// freeze backend's thaw blocks the host thread until the real file system is thawed.
void thaw_bdev(struct block_device* bdev, struct super_block* sb) {
  if (sb) {
    auto* m = static_cast<Mount*>(sb->s_fs_info);
    thaw_backend(m);
    {
      vk::RawGuard g(&m->gate);
      __atomic_store_n(&m->frozen, 0, __ATOMIC_SEQ_CST);
      sb->s_frozen = 0;
    }
    wake_up_all(&m->thaw_wq);
    drop_super(sb);
  }
  if (!bdev) return;
  struct semaphore* claim = &vkblk::node_of(bdev)->mount_sem;
  if (down_trylock(claim) == 0) {
    // Nothing held it: a thaw without a freeze. Put it back as it was.
    up(claim);
    kernel_warn(__FILE__, __LINE__, __func__, "thaw_bdev without freeze_bdev");
    return;
  }
  up(claim);
}

// Writes back the delayed writes of the file system mounted on bdev and flushes the disk.
// Returns 0 or the first -errno. May sleep.
int fsync_bdev(struct block_device* bdev) {
  might_sleep();
  if (!bdev) return 0;
  int rc = 0;
  if (struct super_block* sb = get_super(bdev)) {
    rc = vkfs::write_back(static_cast<Mount*>(sb->s_fs_info));
    drop_super(sb);
  }
  int flushed = disk_flush(bdev);
  return rc ? rc : flushed;
}
