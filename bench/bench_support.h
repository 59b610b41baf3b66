// What the Google Benchmark programs of bench/ share: the image files they keep between
// runs (made once, then read into the page cache so that every side of a ratio reads
// memory), the writer that sends runs of one-block write bios and waits for them, the
// swap of a queue's request function, and an agent process with a handle of the control
// device.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <linux/bio.h>
#include <linux/blkdev.h>
#include <linux/completion.h>

#include <machine/process.h>

namespace bench_support {

constexpr unsigned kRun = 256;    // bios (or blocks) per run
constexpr unsigned kBlock = 4096;  // bytes per bio and per file-system block

// The value of environment variable `var`, or `fallback` when it is not set.
std::string envPath(const char* var, const char* fallback);

// Makes `path` of `bytes` bytes unless it has that size already: an MBR with one
// partition at `partStartSector` when that is not 0, and [dataOff, bytes) filled with
// 8-byte words word(offset from dataOff) so that reads are of real data. Then reads
// [dataOff, bytes) once, so that the page cache holds it. False on any failure.
bool prepareImage(const std::string& path, uint64_t bytes, uint64_t partStartSector, uint64_t dataOff,
                  const std::function<uint64_t(uint64_t)>& word);

// Sends runs of kRun one-block write bios (to the given partition blocks) and waits for
// all of them to complete.
struct RunWriter {
  struct block_device* bdev;
  std::vector<struct page*> pages;  // one per bio, page i filled with byte i
  int pending = 0;                  // atomically changed by the completions
  int errors = 0;
  struct completion done;
  double submitCPU = 0;  // seconds of this thread's CPU spent submitting the last run

  explicit RunWriter(struct block_device* b);
  ~RunWriter();
  // One run; returns the seconds it took, or a negative value on an I/O error.
  double run(const uint32_t* blocks);
  // One run of kRun consecutive blocks from `first`.
  double runFrom(uint64_t first);
};

// Replaces the queue's request function as the registry does, under its queue_lock.
void setQueueFunction(request_queue_t* q, make_request_fn* fn);

// An agent: one process with one open handle of the control device, entered by the
// calling thread, and a page of its memory for command records.
struct Agent {
  machine::Process* proc = nullptr;
  int fd = -1;
  uint32_t rec = 0;

  explicit Agent(const char* name);
  ~Agent() { close(); }
  // Leaves and destroys the process, which closes the handle (the session's close and
  // its statistics). Once.
  void close();
  // Places the record (len bytes) in the agent's memory and sends the command.
  long ioctl(unsigned cmd, const void* r, size_t len);
};

}  // namespace bench_support
