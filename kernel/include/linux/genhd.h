#ifndef _VK_LINUX_GENHD_H
#define _VK_LINUX_GENHD_H
#include <linux/types.h>
#include <linux/kdev_t.h>

struct request_queue;

struct hd_struct {
  sector_t start_sect; /* first sector of the partition on its disk */
  sector_t nr_sects;   /* length in sectors */
  int partno;          /* 1.. */
};

struct gendisk {
  int major;
  int first_minor;
  int minors;                 /* device numbers the disk owns: the disk and minors-1 partitions */
  char disk_name[32];
  struct hd_struct **part;    /* [minors-1]; part[i] is minor first_minor+1+i, null if absent */
  struct request_queue *queue;
  void *private_data;         /* stand-in's disk record */
  sector_t capacity;          /* sectors of 512 bytes */
};
static inline sector_t get_capacity(struct gendisk *disk) { return disk->capacity; }
#endif
