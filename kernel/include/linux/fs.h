/* Files, character devices, block devices and super blocks. */
#ifndef _VK_LINUX_FS_H
#define _VK_LINUX_FS_H
#include <linux/kernel.h>
#include <linux/kdev_t.h>
#include <linux/list.h>
#include <linux/mutex.h>
#include <linux/rwsem.h>
#include <linux/wait.h>
#include <asm/atomic.h>
#include <asm/semaphore.h>

struct poll_table_struct;
struct vm_area_struct;
struct module;
struct gendisk;
struct hd_struct;
struct super_block;

struct inode {
  dev_t i_rdev;  /* device number of a device node */
  unsigned int i_mode;
};

struct file {
  const struct file_operations *f_op;
  struct inode *f_inode;   /* the device node opened */
  unsigned int f_flags;
  unsigned int f_mode;
  loff_t f_pos;
  atomic_t f_count;        /* descriptors + mappings; release runs when it reaches 0 */
  void *private_data;      /* the driver's per-handle record */
};

#define FMODE_READ 1
#define FMODE_WRITE 2
/* Another reference to an open file (a descriptor or a mapping). */
static inline void get_file(struct file *f) { atomic_inc(&f->f_count); }
/* Drops a reference; the last one runs the driver's release, drops the module reference
 * taken at open and frees the file. May sleep. */
void fput(struct file *f);

struct file_operations {
  struct module *owner;
  loff_t (*llseek)(struct file *, loff_t, int);
  ssize_t (*read)(struct file *, char __user *, size_t, loff_t *);
  ssize_t (*write)(struct file *, const char __user *, size_t, loff_t *);
  unsigned int (*poll)(struct file *, struct poll_table_struct *);
  int (*ioctl)(struct inode *, struct file *, unsigned int, unsigned long);
  long (*unlocked_ioctl)(struct file *, unsigned int, unsigned long);
  int (*mmap)(struct file *, struct vm_area_struct *);
  int (*open)(struct inode *, struct file *);
  int (*release)(struct inode *, struct file *);
};

/* 0 when registered (major given), the major when major was 0, or a negative errno
 * (-EBUSY when the major is taken, -EINVAL when it is out of range). */
int register_chrdev(unsigned int major, const char *name, const struct file_operations *fops);
int unregister_chrdev(unsigned int major, const char *name);

struct block_device {
  dev_t bd_dev;                      /* this device (whole disk or partition) */
  struct mutex bd_mutex;             /* open/close and geometry changes */
  struct block_device *bd_contains;  /* the whole-disk device (itself for a disk) */
  struct hd_struct *bd_part;         /* null for a whole disk */
  struct gendisk *bd_disk;
  struct super_block *bd_super;      /* mounted file system, if any */
  atomic_t bd_count;                 /* bdget references */
};

struct super_block {
  dev_t s_dev;
  unsigned long s_blocksize;         /* bytes */
  unsigned char s_blocksize_bits;
  struct block_device *s_bdev;
  volatile int s_frozen;             /* 0 thawed, otherwise frozen */
  atomic_t s_active;                 /* get_super references */
  void *s_fs_info;                   /* stand-in's mount record */
};

/* Takes a reference to the block device of a device number (a node of an attached disk or
 * partition, or a device that does not exist yet), like the kernel's bdget. Null only when
 * no memory. Drop it with bdput. */
struct block_device *bdget(dev_t dev);
void bdput(struct block_device *bdev);
/* The super block of the file system mounted on bdev, with a reference; null when none. */
struct super_block *get_super(struct block_device *bdev);
void drop_super(struct super_block *sb);
/* Writes back dirty data of the file system on bdev and flushes the disk. May sleep. */
int fsync_bdev(struct block_device *bdev);
/* Holds new file-system writes, waits for those in flight, syncs, and returns the super
 * block (null when nothing is mounted or it could not be frozen). One freeze per device at
 * a time: a second waits. The device stays claimed until thaw_bdev, also when null was
 * returned, so every freeze_bdev is followed by thaw_bdev(bdev, result). May sleep. */
struct super_block *freeze_bdev(struct block_device *bdev);
void thaw_bdev(struct block_device *bdev, struct super_block *sb);
const char *bdevname(struct block_device *bdev, char *buf);
#define BDEVNAME_SIZE 32
#endif
