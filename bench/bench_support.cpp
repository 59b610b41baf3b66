#include "bench_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <linux/mm.h>

#include <machine/disk.h>
#include <machine/kernel.h>

#include "velloc.h"

namespace bench_support {

namespace {
double threadCPU() {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

int endIO(struct bio* bio, unsigned int, int) {
  if (bio->bi_size) return 1;
  auto* w = static_cast<RunWriter*>(bio->bi_private);
  if (!bio_flagged(bio, BIO_UPTODATE)) __atomic_add_fetch(&w->errors, 1, __ATOMIC_SEQ_CST);
  bio_put(bio);
  if (__atomic_sub_fetch(&w->pending, 1, __ATOMIC_SEQ_CST) == 0) complete(&w->done);
  return 0;
}
}  // namespace

std::string envPath(const char* var, const char* fallback) {
  const char* p = getenv(var);
  return p ? p : fallback;
}

bool prepareImage(const std::string& path, uint64_t bytes, uint64_t partStartSector, uint64_t dataOff,
                  const std::function<uint64_t(uint64_t)>& word) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || (uint64_t)st.st_size != bytes) {
    if (partStartSector) {
      if (machine::image_create(path, bytes, {{partStartSector, (bytes - partStartSector * 512) / 512}}) != 0)
        return false;
    }
    int fd = open(path.c_str(), O_RDWR | O_CREAT | (partStartSector ? 0 : O_TRUNC), 0644);
    if (fd < 0) return false;
    std::vector<unsigned char> chunk(1 << 20);
    for (uint64_t off = 0; off < bytes - dataOff; off += chunk.size()) {
      for (size_t i = 0; i < chunk.size(); i += 8) {
        uint64_t w = word(off + i);
        memcpy(&chunk[i], &w, 8);
      }
      if (pwrite(fd, chunk.data(), chunk.size(), (off_t)(dataOff + off)) != (ssize_t)chunk.size()) {
        close(fd);
        return false;
      }
    }
    close(fd);
  }
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  std::vector<unsigned char> buf(1 << 20);
  for (uint64_t off = dataOff; off < bytes; off += buf.size())
    if (pread(fd, buf.data(), buf.size(), (off_t)off) != (ssize_t)buf.size()) {
      close(fd);
      return false;
    }
  close(fd);
  return true;
}

RunWriter::RunWriter(struct block_device* b) : bdev(b), pages(kRun) {
  for (unsigned i = 0; i < kRun; i++) {
    pages[i] = alloc_page(GFP_KERNEL);
    memset(page_address(pages[i]), (int)i, kBlock);
  }
  init_completion(&done);
}

RunWriter::~RunWriter() {
  for (struct page* p : pages) __free_page(p);
}

double RunWriter::run(const uint32_t* blocks) {
  auto t0 = std::chrono::steady_clock::now();
  pending = kRun;
  errors = 0;
  double c0 = threadCPU();
  for (unsigned i = 0; i < kRun; i++) {
    struct bio* bio = bio_alloc(GFP_NOIO, 1);
    bio->bi_bdev = bdev;
    bio->bi_sector = (uint64_t)blocks[i] * (kBlock / 512);
    bio->bi_rw = WRITE;
    bio->bi_io_vec[0] = {pages[i], kBlock, 0};
    bio->bi_vcnt = 1;
    bio->bi_size = kBlock;
    bio->bi_end_io = endIO;
    bio->bi_private = this;
    generic_make_request(bio);
  }
  submitCPU = threadCPU() - c0;
  wait_for_completion(&done);
  double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return __atomic_load_n(&errors, __ATOMIC_SEQ_CST) == 0 ? t : -1.0;
}

double RunWriter::runFrom(uint64_t first) {
  std::vector<uint32_t> blocks(kRun);
  for (unsigned i = 0; i < kRun; i++) blocks[i] = uint32_t(first + i);
  return run(blocks.data());
}

void setQueueFunction(request_queue_t* q, make_request_fn* fn) {
  unsigned long flags;
  spin_lock_irqsave(q->queue_lock, flags);
  q->make_request_fn = fn;
  spin_unlock_irqrestore(q->queue_lock, flags);
}

Agent::Agent(const char* name) {
  machine::mknod_char("/dev/velloc", VEL_MAJOR, 0);
  proc = machine::process_create(name);
  machine::process_enter(proc);
  fd = machine::sys_open(proc, "/dev/velloc");
  rec = machine::user_alloc(proc, 4096);
}

void Agent::close() {
  if (!proc) return;
  machine::process_leave();
  machine::process_destroy(proc);
  proc = nullptr;
}

long Agent::ioctl(unsigned cmd, const void* r, size_t len) {
  if (len) machine::user_write(proc, rec, r, len);
  return machine::sys_ioctl(proc, fd, cmd, rec);
}

}  // namespace bench_support
