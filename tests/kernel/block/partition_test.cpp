// Partition tables, device numbers and the remapping of a partition's bio to its disk.
#include <unistd.h>

#include "block_test_util.h"

using namespace blktest;

namespace {

class Partitions : public BlockTest {
 protected:
  // p1: sectors [2048, 6144), p2: [6144, 8192), no p3, p4: [10000, 10100).
  machine::Disk* attach(unsigned major = 8, unsigned first_minor = 0, unsigned minors = 16) {
    machine::DiskOptions o;
    o.major = major;
    o.first_minor = first_minor;
    o.minors = minors;
    std::string err;
    machine::Disk* d = machine::disk_attach_memory_partitioned(
        16 << 20, {{2048, 4096}, {6144, 2048}, {0, 0, 0}, {10000, 100}}, o, &err);
    EXPECT_NE(d, nullptr) << err;
    return d;
  }
};

// Records what the queue's function receives, then hands the bio to the disk.
std::atomic<int> g_seen{0};
std::atomic<sector_t> g_sector{0};
std::atomic<struct block_device*> g_bdev{nullptr};
make_request_fn* g_real = nullptr;
int recorder(request_queue_t* q, struct bio* bio) {
  g_seen++;
  g_sector = bio->bi_sector;
  g_bdev = bio->bi_bdev;
  return g_real(q, bio);
}

void set_slot(request_queue_t* q, make_request_fn* fn) {
  unsigned long flags;
  spin_lock_irqsave(q->queue_lock, flags);
  q->make_request_fn = fn;
  spin_unlock_irqrestore(q->queue_lock, flags);
}

TEST_F(Partitions, MbrPrimaryPartitionsBecomeDevices) {
  machine::Disk* d = attach();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(machine::partition_count(d), 4);
  EXPECT_EQ(machine::partition_dev(d, 1), MKDEV(8, 1));
  EXPECT_EQ(machine::partition_dev(d, 3), 0u);
  EXPECT_EQ(machine::partition_start(d, 2), 6144u);
  EXPECT_EQ(machine::partition_sectors(d, 4), 100u);
  EXPECT_EQ(machine::disk_sectors(d), 32768u);
  {
    Bdev whole(MKDEV(8, 0)), p1(MKDEV(8, 1)), p3(MKDEV(8, 3)), p4(MKDEV(8, 4));
    ASSERT_NE(p1->bd_disk, nullptr);
    struct gendisk* gd = p1->bd_disk;
    EXPECT_EQ(gd->first_minor, 0);
    EXPECT_EQ(gd->minors, 16);
    EXPECT_EQ(get_capacity(gd), 32768u);
    EXPECT_EQ(p1->bd_contains, whole.b);
    EXPECT_EQ(whole->bd_contains, whole.b);
    EXPECT_EQ(whole->bd_part, nullptr);
    EXPECT_EQ(p1->bd_part->start_sect, 2048u);
    EXPECT_EQ(p1->bd_part->nr_sects, 4096u);
    EXPECT_EQ(gd->part[0], p1->bd_part);
    EXPECT_EQ(gd->part[2], nullptr);
    EXPECT_EQ(gd->part[3]->start_sect, 10000u);
    EXPECT_EQ(p3->bd_disk, nullptr);  // no third partition: a device nobody owns
    EXPECT_EQ(p4->bd_part->partno, 4);
    char name[BDEVNAME_SIZE];
    EXPECT_STREQ(bdevname(p4, name), "sda4");
    EXPECT_STREQ(bdevname(p3, name), "unknown-block(8,3)");
    EXPECT_EQ(bdget(MKDEV(8, 1)), p1.b);  // one block_device per number
    bdput(p1.b);
  }
  machine::disk_detach(d);
}

TEST_F(Partitions, WholeDiskWithoutTableAndMinorsAbove255) {
  machine::DiskOptions o;
  o.major = 300;
  o.first_minor = 256;
  o.minors = 8;
  o.name = "vdq";
  machine::Disk* whole = machine::disk_attach_memory(1 << 20, o);
  ASSERT_NE(whole, nullptr);
  EXPECT_EQ(machine::partition_count(whole), 0);
  EXPECT_EQ(machine::disk_dev(whole), MKDEV(300, 256));
  {
    Bdev b(MKDEV(300, 256));
    EXPECT_EQ(b->bd_contains, b.b);
    EXPECT_EQ(b->bd_part, nullptr);
    EXPECT_EQ(get_capacity(b->bd_disk), 2048u);
  }
  machine::disk_detach(whole);

  machine::Disk* d = attach(300, 256, 8);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(machine::partition_dev(d, 2), MKDEV(300, 258));
  {
    Bdev p2(MKDEV(300, 258));
    ASSERT_NE(p2->bd_disk, nullptr);
    EXPECT_EQ(p2->bd_disk->first_minor, 256);
    EXPECT_EQ(p2->bd_part->start_sect, 6144u);
  }
  // The same numbers cannot be attached twice.
  std::string err;
  machine::DiskOptions again;
  again.major = 300;
  again.first_minor = 258;
  again.minors = 1;
  EXPECT_EQ(machine::disk_attach_memory(1 << 20, again, &err), nullptr);
  EXPECT_NE(err.find("already attached"), std::string::npos);
  machine::disk_detach(d);
}

TEST_F(Partitions, FewerMinorsThanPartitionsAndBadTables) {
  machine::Disk* d = attach(8, 32, 3);  // room for two partitions only
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(machine::partition_count(d), 2);
  machine::disk_detach(d);
  // An image's table is read at attach: a boot sector with a bad boot flag is no table.
  char path[] = "/tmp/kblock-mbr-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_EQ(machine::image_create(path, 1 << 20, {{8, 8}}), 0);
  machine::DiskOptions o;
  machine::Disk* m = machine::disk_attach_image(path, o);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(machine::partition_count(m), 1);
  unsigned char boot[512];
  machine::disk_pread(m, 0, boot, 512);
  boot[446] = 0x12;
  machine::disk_pwrite(m, 0, boot, 512);
  machine::disk_detach(m);
  m = machine::disk_attach_image(path, o);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(machine::partition_count(m), 0);
  machine::disk_detach(m);
  unlink(path);
  std::string err;
  EXPECT_EQ(machine::disk_attach_memory_partitioned(1 << 20, {{2000, 100}}, o, &err), nullptr);  // past the end
  EXPECT_EQ(machine::disk_attach_memory_partitioned(1 << 20, {{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}}, o, &err),
            nullptr);
  o.major = 0;
  EXPECT_EQ(machine::disk_attach_memory(1 << 20, o, &err), nullptr);
}

TEST_F(Partitions, RemapAtThePartitionEdges) {
  machine::Disk* d = attach();
  ASSERT_NE(d, nullptr);
  Bdev whole(MKDEV(8, 0)), p1(MKDEV(8, 1));
  request_queue_t* q = bdev_get_queue(whole);
  g_real = q->make_request_fn;
  set_slot(q, recorder);
  Pages pg(2);
  fill_pattern(pg.data(0), 4096, 1);

  // First sector of the partition: absolute sector, whole-disk device.
  BioResult r0;
  g_seen = 0;
  EXPECT_EQ(submit_wait(make_bio(p1, WRITE, 0, pg, 0, 1, &r0), &r0), 0);
  EXPECT_EQ(g_seen.load(), 1);
  EXPECT_EQ(g_sector.load(), 2048u);
  EXPECT_EQ(g_bdev.load(), whole.b);
  std::vector<unsigned char> raw(4096);
  machine::disk_pread(d, 2048 * 512, raw.data(), 4096);
  EXPECT_EQ(memcmp(raw.data(), pg.data(0), 4096), 0);

  // The last sector of the partition is reachable, one more is not.
  struct bio* last = bio_alloc(GFP_NOIO, 1);
  BioResult r1;
  last->bi_bdev = p1;
  last->bi_sector = 4095;
  last->bi_rw = WRITE;
  bio_add_page(last, pg.p[1], 512, 0);
  last->bi_end_io = result_end_io;
  last->bi_private = &r1;
  fill_pattern(pg.data(1), 512, 9);
  EXPECT_EQ(submit_wait(last, &r1), 0);
  EXPECT_EQ(g_sector.load(), 2048u + 4095u);
  machine::disk_pread(d, (2048 + 4095) * 512, raw.data(), 512);
  EXPECT_EQ(memcmp(raw.data(), pg.data(1), 512), 0);

  g_seen = 0;
  BioResult r2;
  uint64_t log0 = machine::log_last_seq();
  EXPECT_EQ(submit_wait(make_bio(p1, READ, 4095, pg, 0, 1, &r2), &r2), -EIO);  // 7 sectors past the end
  EXPECT_EQ(r2.uptodate.load(), 0);
  EXPECT_EQ(r2.size_left.load(), 0u);
  EXPECT_EQ(g_seen.load(), 0);  // never reached the queue
  EXPECT_EQ(machine::log_count("attempt to access beyond end of device", log0), 1);

  // A whole-disk bio before the partition is not remapped.
  BioResult r3;
  EXPECT_EQ(submit_wait(make_bio(whole, READ, 2040, pg, 0, 1, &r3), &r3), 0);
  EXPECT_EQ(g_sector.load(), 2040u);
  BioResult r4;
  EXPECT_EQ(submit_wait(make_bio(whole, READ, 32768 - 4, pg, 0, 1, &r4), &r4), -EIO);

  set_slot(q, g_real);
  machine::disk_detach(d);
}

// A request function that points the bio at another disk and asks for resubmission.
std::atomic<struct block_device*> g_target{nullptr};
int redirect(request_queue_t* q, struct bio* bio) {
  bio->bi_bdev = g_target.load();
  return 1;
}

TEST_F(Partitions, NonZeroAnswerResubmitsToTheFunctionNowInTheSlot) {
  machine::Disk* a = attach();
  machine::DiskOptions o;
  o.major = 9;
  machine::Disk* b = machine::disk_attach_memory_partitioned(16 << 20, {{4096, 4096}}, o);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  Bdev a1(MKDEV(8, 1)), b1(MKDEV(9, 1));
  g_target = b1.b;
  request_queue_t* qa = bdev_get_queue(a1);
  make_request_fn* real = qa->make_request_fn;
  set_slot(qa, redirect);
  Pages pg(1);
  fill_pattern(pg.data(0), 4096, 3);
  BioResult r;
  EXPECT_EQ(submit_wait(make_bio(a1, WRITE, 8, pg, 0, 1, &r), &r), 0);
  std::vector<unsigned char> raw(4096);
  machine::disk_pread(b, (4096 + 2048 + 8) * 512, raw.data(), 4096);  // remapped twice: a1, then b1
  EXPECT_EQ(memcmp(raw.data(), pg.data(0), 4096), 0) << "expected at b's partition start + a's start + 8";
  set_slot(qa, real);
  machine::disk_detach(a);
  machine::disk_detach(b);
}

// Threads submit through a partition while another keeps swapping the queue's function:
// every bio is completed exactly once and lands at its remapped place.
TEST_F(Partitions, SlotSwappedUnderQueueLockWhileThreadsSubmit) {
  machine::Disk* d = attach();
  ASSERT_NE(d, nullptr);
  Bdev p2(MKDEV(8, 2));
  request_queue_t* q = bdev_get_queue(p2);
  g_real = q->make_request_fn;
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    for (int i = 0; !stop.load(); i++) set_slot(q, i % 2 ? g_real : recorder);
  });
  std::vector<std::thread> ts;
  std::atomic<int> bad{0};
  for (int t = 0; t < 4; t++) {
    ts.emplace_back([&, t] {
      Pages pg(32);
      std::vector<BioResult> rs(32);
      for (int i = 0; i < 32; i++) {
        fill_pattern(pg.data(i), 4096, t * 64 + i);
        generic_make_request(make_bio(p2, WRITE, (t * 32 + i) * 8, pg, i, 1, &rs[i]));
      }
      for (auto& r : rs)
        if (!wait_for([&] { return r.done.load() != 0; }) || r.err) bad++;
    });
  }
  for (auto& t : ts) t.join();
  stop = true;
  swapper.join();
  set_slot(q, g_real);
  EXPECT_EQ(bad.load(), 0);
  std::vector<unsigned char> raw(4096), expect(4096);
  for (int k = 0; k < 128; k++) {
    machine::disk_pread(d, (6144 + k * 8) * 512, raw.data(), 4096);
    fill_pattern(expect.data(), 4096, (k / 32) * 64 + k % 32);
    ASSERT_EQ(raw, expect) << k;
  }
  machine::disk_detach(d);
}

TEST_F(Partitions, DevicesWithoutDiskEndBiosWithEio) {
  Pages pg(1);
  {
    Bdev nobody(MKDEV(99, 5));
    ASSERT_NE(nobody.b, nullptr);
    EXPECT_EQ(nobody->bd_disk, nullptr);
    EXPECT_EQ(bdev_get_queue(nobody), nullptr);
    BioResult r;
    EXPECT_EQ(submit_wait(make_bio(nobody, READ, 0, pg, 0, 1, &r), &r), -EIO);
  }
  // A reference kept across detach stays valid and loses its disk.
  machine::Disk* d = attach();
  Bdev kept(MKDEV(8, 1));
  EXPECT_NE(kept->bd_disk, nullptr);
  machine::disk_detach(d);
  EXPECT_EQ(kept->bd_disk, nullptr);
  EXPECT_EQ(get_super(kept), nullptr);
  BioResult r;
  EXPECT_EQ(submit_wait(make_bio(kept, READ, 0, pg, 0, 1, &r), &r), -EIO);
}

}  // namespace
