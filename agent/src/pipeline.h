// Two transfer buffers in flight: the device fills one while the sink writes out the
// other, so a backup runs at the pace of the slower side rather than the sum of both.
// Without overlap one buffer is filled and written in turn on the calling thread.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

#include "velloc/agent/read_runs.h"
#include "velloc/agent/backup.h"
#include "velloc/agent/device.h"

namespace velloc::agent {

class Pipeline {
 public:
  // `onReadError(rc, first, count)` turns a failed read into an exception.
  Pipeline(Device& dev, BlockSink& sink, uint32_t blockSize, bool overlap,
           std::function<void(int, uint32_t, uint32_t)> onReadError);
  // Joins the writer thread (after finish() or when unwinding from an error).
  ~Pipeline();

  // Reads the run's blocks into a free buffer and queues its wanted pieces for the
  // sink. Blocks while both buffers are busy. Rethrows a sink failure of an earlier
  // buffer.
  void read(const ReadRun& run);
  // Waits until every queued buffer is written; rethrows a sink failure.
  void finish();

 private:
  struct Job {
    int buf;
    uint32_t first, count;
    std::vector<std::pair<uint32_t, uint32_t>> wanted;  // (offset, blocks) written out
  };
  void writerLoop();
  void writeOut(const Job& j);

  Device& dev_;
  BlockSink& sink_;
  uint32_t bs_;
  bool overlap_;
  std::function<void(int, uint32_t, uint32_t)> onReadError_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Job> queue_;     // filled buffers waiting for the sink (under mu_)
  bool busy_[2] = {false, false};
  bool closing_ = false;
  std::exception_ptr error_;  // first sink failure (under mu_)
  std::thread writer_;
};

}  // namespace velloc::agent
