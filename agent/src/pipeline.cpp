#include "pipeline.h"

#include <algorithm>
#include <vector>

#include "velloc/agent/errors.h"

namespace velloc::agent {

Pipeline::Pipeline(Device& dev, BlockSink& sink, uint32_t blockSize, bool overlap,
                   std::function<void(int, uint32_t, uint32_t)> onReadError)
    : dev_(dev), sink_(sink), bs_(blockSize), overlap_(overlap && dev.bufferCount() >= 2),
      onReadError_(std::move(onReadError)) {
  if (overlap_) writer_ = std::thread([this] { writerLoop(); });
}

Pipeline::~Pipeline() {
  {
    std::lock_guard lk(mu_);
    closing_ = true;
  }
  cv_.notify_all();
  if (writer_.joinable()) writer_.join();
}

void Pipeline::writeOut(const Job& j) {
  std::vector<Piece> pieces;
  for (auto [offset, blocks] : j.wanted) {
    // The buffer is seen page by page: a piece never crosses a 4096-byte boundary.
    size_t off = size_t(offset) * bs_, end = off + size_t(blocks) * bs_;
    pieces.clear();
    while (off < end) {
      size_t n = std::min<size_t>(4096 - off % 4096, end - off);
      const uint8_t* view = dev_.bufferView(j.buf, off, n);
      if (!view) throw AgentError("the transfer buffer could not be read (bus error in the agent's mapping)");
      pieces.push_back(Piece{view, n});
      off += n;
    }
    sink_.write(j.first + offset, pieces, blocks);
  }
}

void Pipeline::read(const ReadRun& run) {
  const uint32_t first = run.first, count = run.count;
  if (!overlap_) {
    int rc = dev_.readBlocks(first, count, 0);
    if (rc != 0) onReadError_(rc, first, count);
    writeOut(Job{0, first, count, run.wanted});
    return;
  }
  int buf;
  {
    std::unique_lock lk(mu_);
    cv_.wait(lk, [&] { return error_ || !busy_[0] || !busy_[1]; });
    if (error_) std::rethrow_exception(error_);
    buf = busy_[0] ? 1 : 0;
    busy_[buf] = true;
  }
  int rc = dev_.readBlocks(first, count, buf);
  if (rc != 0) {
    {
      std::lock_guard lk(mu_);
      busy_[buf] = false;
    }
    onReadError_(rc, first, count);
    return;
  }
  {
    std::lock_guard lk(mu_);
    queue_.push_back(Job{buf, first, count, run.wanted});
  }
  cv_.notify_all();
}

void Pipeline::finish() {
  if (!overlap_) return;
  std::unique_lock lk(mu_);
  cv_.wait(lk, [&] { return error_ || (queue_.empty() && !busy_[0] && !busy_[1]); });
  if (error_) std::rethrow_exception(error_);
}

void Pipeline::writerLoop() {
  for (;;) {
    Job j;
    {
      std::unique_lock lk(mu_);
      cv_.wait(lk, [&] { return closing_ || !queue_.empty(); });
      if (queue_.empty()) return;
      j = queue_.front();
      queue_.pop_front();
    }
    try {
      writeOut(j);
    } catch (...) {
      std::lock_guard lk(mu_);
      if (!error_) error_ = std::current_exception();
    }
    {
      std::lock_guard lk(mu_);
      busy_[j.buf] = false;
    }
    cv_.notify_all();
  }
}

}  // namespace velloc::agent
