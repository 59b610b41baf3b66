// Disks, partitions, the I/O engine and mounted file systems of the stand-in.
// Ordinary C++; never included by module code.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

typedef uint32_t __kernel_dev_t;

namespace machine {

struct Disk;   // opaque: a gendisk with its queue, engine and backing store
struct Mount;  // opaque: a mounted file system on one block device

struct DiskOptions {
  unsigned major = 8;
  unsigned first_minor = 0;
  unsigned minors = 16;          // the disk and up to minors-1 partitions
  std::string name = "sda";
  unsigned io_threads = 2;       // engine worker threads
  bool random_completion = false;  // complete bios in random order with random delays
  unsigned max_delay_us = 200;
  uint64_t seed = 1;
  bool merge = true;             // may merge adjacent bios
};

// Attaches a disk backed by an image file (opened read-write and locked against every
// other open file until detached: a second attach, here or in another process, fails
// naming the holder) / by memory (zero-filled).
// The partition table is read from the MBR (primary partitions); no table: whole-disk
// device only. Null with a message in *err on failure.
Disk* disk_attach_image(const std::string& path, const DiskOptions& o, std::string* err = nullptr);
Disk* disk_attach_memory(uint64_t bytes, const DiskOptions& o, std::string* err = nullptr);
// Same, with a memory disk whose MBR is written first from the given partition list
// (entry i is partition i+1; an entry of 0 sectors leaves that slot empty).
struct PartitionSpec { uint64_t start_sector; uint64_t sectors; uint8_t type = 0x83; };
Disk* disk_attach_memory_partitioned(uint64_t bytes, const std::vector<PartitionSpec>& parts,
                                     const DiskOptions& o, std::string* err = nullptr);
// Waits for in-flight I/O, stops the engine and frees the disk. Mounts must be gone.
void disk_detach(Disk* d);

__kernel_dev_t disk_dev(Disk* d);                   // the whole-disk device
__kernel_dev_t partition_dev(Disk* d, int partno);  // 1-based; 0 when absent
int partition_count(Disk* d);
uint64_t partition_start(Disk* d, int partno);      // sectors; partno 0 = whole disk
uint64_t partition_sectors(Disk* d, int partno);
uint64_t disk_sectors(Disk* d);

// Direct access to the backing bytes, bypassing the block layer (test set-up and oracle).
int disk_pread(Disk* d, uint64_t byte_off, void* buf, size_t len);
int disk_pwrite(Disk* d, uint64_t byte_off, const void* buf, size_t len);

// Injected I/O errors for sectors [first, first+count) of the whole disk.
enum class Dir { read, write, both };
void disk_inject_error(Disk* d, uint64_t first_sector, uint64_t count, Dir dir);
void disk_clear_errors(Disk* d);
void disk_set_random_completion(Disk* d, bool on, unsigned max_delay_us, uint64_t seed);
// Bios the engine has completed / merged into the transfer of the bio before them, since attach.
uint64_t disk_completed_bios(Disk* d);
uint64_t disk_merged_bios(Disk* d);
// How often a burst of bios left plugged armed the plug timer, since attach.
uint64_t disk_plug_timer_arms(Disk* d);

// Synchronous raw I/O through generic_make_request on a device (not held by a freeze).
// len and byte_off are multiples of 512. 0, or a negative errno (-EIO).
int blk_read(__kernel_dev_t dev, uint64_t byte_off, void* buf, size_t len);
int blk_write(__kernel_dev_t dev, uint64_t byte_off, const void* buf, size_t len);
// The same with the bios' bi_rw given: 0 read, 1 write, 2 read-ahead, 3 write with the
// read-ahead bit (a write whenever bit 0 is set). buf is read from or filled accordingly.
int blk_io(__kernel_dev_t dev, unsigned long rw, uint64_t byte_off, void* buf, size_t len);
int blk_flush(__kernel_dev_t dev);

// ---- file systems -------------------------------------------------------------------
// Mounts the device. block_size 0: read s_blocksize from the on-disk super block (ext2/3/4,
// XFS); null with *err when none is found. Otherwise a test file system of that size.
Mount* fs_mount(__kernel_dev_t dev, unsigned block_size = 0, std::string* err = nullptr);
// Waits for writers in flight, refuses (-EBUSY) while frozen, then unmounts.
int fs_unmount(Mount* m);
unsigned fs_block_size(Mount* m);
// Writes and reads through the mount: held while the file system is frozen, counted in
// flight until their bios complete. byte_off and len multiples of 512. 0 or -errno.
int fs_write(Mount* m, uint64_t byte_off, const void* buf, size_t len);
// A write kept in the mount as a dirty buffer (fs_read sees it, the disk does not) until
// fsync_bdev, a freeze or the unmount writes it back. 0 or -errno.
int fs_write_delayed(Mount* m, uint64_t byte_off, const void* buf, size_t len);
int fs_read(Mount* m, uint64_t byte_off, void* buf, size_t len);
// Make freeze_bdev fail (return null) on this mount, for tests.
void fs_set_unfreezable(Mount* m, bool on);
bool fs_frozen(Mount* m);
// Called while frozen, after in-flight writes drained (the oracle takes its truth here).
void fs_set_freeze_hook(Mount* m, void (*hook)(void* ctx), void* ctx);
// A file system that lives outside the stand-in (a real one mounted on the host over
// this device): freeze_bdev calls `freeze` once the stand-in's own writers have drained
// and before the flush and the freeze hook, and fails (returns null) when it returns
// non-zero; thaw_bdev calls `thaw` first. Null functions remove the backend.
struct FreezeBackend {
  int (*freeze)(void* ctx) = nullptr;
  void (*thaw)(void* ctx) = nullptr;
  void* ctx = nullptr;
};
void fs_set_freeze_backend(Mount* m, const FreezeBackend& b);

// ---- image helpers --------------------------------------------------------------------
// Creates an image file of `bytes` with an MBR listing the partitions. 0 or -errno.
int image_create(const std::string& path, uint64_t bytes, const std::vector<PartitionSpec>& parts);
bool have_mkfs_ext4();
// Puts ext4 with the given block size on a partition of an image file (mkfs.ext4 -F -E
// offset=...), optionally filled from a directory (-d). 0, or non-zero with *err.
int image_mkfs_ext4(const std::string& path, uint64_t start_sector, uint64_t sectors,
                    unsigned block_size, const std::string& from_dir = "", std::string* err = nullptr);

}  // namespace machine
