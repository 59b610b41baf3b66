// Mounting: the block size from the on-disk super block (ext2/3/4, XFS) or as given, the
// table of mounted devices, get_super/drop_super.
#include <linux/errno.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "fs_internal.h"

using machine::Mount;

namespace {

// Mounted file systems by device number. Guarded by g_mounts_lock.
std::unordered_map<dev_t, Mount*>& mounts() {
  static auto* map = new std::unordered_map<dev_t, Mount*>;
  return *map;
}
vk::RawLock g_mounts_lock;

uint32_t le32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
uint32_t be32(const unsigned char* p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

// Block size of the file system whose first bytes are `head`, or 0 with *what set.
unsigned on_disk_block_size(const unsigned char* head, size_t len, std::string* what) {
  if (len >= 8 && memcmp(head, "XFSB", 4) == 0) {
    uint32_t bs = be32(head + 4);
    if (bs < 512 || bs > 65536) {
      *what = "XFS super block with a bad block size";
      return 0;
    }
    return bs;
  }
  if (len >= 1082 && head[1080] == 0x53 && head[1081] == 0xEF) {
    uint32_t log = le32(head + 1048);
    if (log > 6) {
      *what = "ext super block with a bad block size";
      return 0;
    }
    return 1024u << log;
  }
  *what = "no ext2/3/4 or XFS super block found";
  return 0;
}

void set_err(std::string* err, const std::string& msg) {
  if (err) *err = msg;
}

}  // namespace

namespace machine {

// Mounts the device: reads its super block for the block size unless one is given.
// Returns the mount, or null with *err (no such device, nothing recognised, read error,
// already mounted). May sleep.
Mount* fs_mount(__kernel_dev_t dev, unsigned block_size, std::string* err) {
  struct block_device* bdev = bdget(dev);
  if (!bdev) {
    set_err(err, "out of memory");
    return nullptr;
  }
  if (!bdev->bd_disk) {
    set_err(err, "no such device " + std::to_string(MAJOR(dev)) + ":" + std::to_string(MINOR(dev)));
    bdput(bdev);
    return nullptr;
  }
  if (block_size == 0) {
    sector_t sectors = bdev->bd_part ? bdev->bd_part->nr_sects : get_capacity(bdev->bd_disk);
    size_t len = (size_t)std::min<sector_t>(8, sectors) * 512;
    unsigned char head[4096] = {0};
    int rc = vkblk::submit_and_wait(bdev, READ, 0, head, len);
    std::string what;
    if (rc == 0) block_size = on_disk_block_size(head, len, &what);
    if (rc != 0 || block_size == 0) {
      set_err(err, rc ? "cannot read the super block: error " + std::to_string(rc) : what);
      bdput(bdev);
      return nullptr;
    }
  }
  auto* m = new Mount;
  m->dev = dev;
  m->bdev = bdev;
  init_waitqueue_head(&m->thaw_wq);
  init_waitqueue_head(&m->drain_wq);
  m->sb.s_dev = dev;
  m->sb.s_blocksize = block_size;
  unsigned char bits = 0;
  while (bits < 31 && (2u << bits) <= block_size) bits++;
  m->sb.s_blocksize_bits = bits;
  m->sb.s_bdev = bdev;
  m->sb.s_fs_info = m;
  {
    vk::RawGuard g(&g_mounts_lock);
    if (!mounts().emplace(dev, m).second) {
      set_err(err, "device is already mounted");
      delete m;
      bdput(bdev);
      return nullptr;
    }
    bdev->bd_super = &m->sb;
  }
  return m;
}

// Unmounts once the writers in flight are done. -EBUSY while frozen or while a super
// block reference (get_super) is held. May sleep.
int fs_unmount(Mount* m) {
  {
    vk::RawGuard g(&m->gate);
    if (m->frozen) return -EBUSY;
    __atomic_store_n(&m->closing, 1, __ATOMIC_SEQ_CST);
  }
  wake_up_all(&m->thaw_wq);
  wait_event(m->drain_wq, m->inflight.load() == 0);
  vkfs::write_back(m);
  {
    vk::RawGuard g(&g_mounts_lock);
    if (atomic_read(&m->sb.s_active) > 0) {
      vk::RawGuard g2(&m->gate);
      __atomic_store_n(&m->closing, 0, __ATOMIC_SEQ_CST);
      return -EBUSY;
    }
    mounts().erase(m->dev);
    m->bdev->bd_super = nullptr;
  }
  bdput(m->bdev);
  delete m;
  return 0;
}

unsigned fs_block_size(Mount* m) { return (unsigned)m->sb.s_blocksize; }

void fs_set_unfreezable(Mount* m, bool on) { m->unfreezable.store(on); }

bool fs_frozen(Mount* m) { return vkfs::frozen(m); }

void fs_set_freeze_hook(Mount* m, void (*hook)(void* ctx), void* ctx) {
  vk::RawGuard g(&m->gate);
  m->hook = hook;
  m->hook_ctx = ctx;
}

void fs_set_freeze_backend(Mount* m, const FreezeBackend& b) {
  vk::RawGuard g(&m->gate);
  m->backend = b;
}

}  // namespace machine

// The super block of the file system mounted on bdev with a reference, or null. May sleep.
// Released with drop_super.
struct super_block* get_super(struct block_device* bdev) {
  might_sleep();
  if (!bdev) return nullptr;
  vk::RawGuard g(&g_mounts_lock);
  auto it = mounts().find(bdev->bd_dev);
  if (it == mounts().end() || it->second->bdev != bdev || vkfs::closing(it->second)) return nullptr;
  atomic_inc(&it->second->sb.s_active);
  vkblk::account(machine::Obj::super_ref, 1);
  return &it->second->sb;
}

void drop_super(struct super_block* sb) {
  if (!sb) return;
  if (atomic_dec_return(&sb->s_active) < 0) {
    atomic_inc(&sb->s_active);
    kernel_warn(__FILE__, __LINE__, __func__, "drop_super without a reference");
    return;
  }
  vkblk::account(machine::Obj::super_ref, -1);
}
