// The kernel log: a bounded ring of records that printk appends to and tests read.
//
// Thread-safety: g_ring is guarded by g_lock, a raw lock (never sleeps for long, counts
// as no context), so printk is safe from any context, including under spin locks and in
// interrupt context. Echo to stderr happens outside the lock.
#include "src/core/printk/log.h"

#include <atomic>
#include <cstdio>
#include <deque>
#include <string>

#include "host/host.h"
#include "machine/kernel.h"
#include "src/core/lib/raw_lock.h"

namespace vk {
namespace {
constexpr size_t kRingRecords = 1 << 16;  // oldest records are dropped beyond this

vk::RawLock g_lock;
std::deque<machine::LogRecord>* g_ring;  // never freed: printk may run during static teardown
uint64_t g_seq;
std::atomic<bool> g_echo{false};

int64_t boot_ns() {
  static const int64_t t0 = host::monotonic_ns();
  return t0;
}
// Fix the boot moment when the program starts rather than at the first printk.
[[maybe_unused]] const int64_t g_boot_init = boot_ns();

std::string dmesg_line(const machine::LogRecord& r) {
  char stamp[40];
  unsigned long sec = (unsigned long)r.time;
  unsigned long usec = (unsigned long)((r.time - double(sec)) * 1e6);
  if (usec > 999999) usec = 999999;
  snprintf(stamp, sizeof stamp, "[%5lu.%06lu] ", sec, usec);
  return stamp + r.text + "\n";
}
}  // namespace

double log_uptime() { return double(host::monotonic_ns() - boot_ns()) / 1e9; }

void log_append(int level, const char* text, size_t len) {
  machine::LogRecord rec{0, level, log_uptime(), std::string(text, len)};
  {
    RawGuard g(&g_lock);
    if (!g_ring) g_ring = new std::deque<machine::LogRecord>;
    rec.seq = ++g_seq;
    if (g_ring->size() >= kRingRecords) g_ring->pop_front();
    g_ring->push_back(rec);
  }
  if (g_echo.load(std::memory_order_relaxed)) {
    std::string line = "<" + std::to_string(level) + ">" + dmesg_line(rec);
    host::write_stderr(line.data(), line.size());
  }
}

}  // namespace vk

namespace machine {

std::vector<LogRecord> log_records(uint64_t after_seq) {
  vk::RawGuard g(&vk::g_lock);
  std::vector<LogRecord> out;
  if (!vk::g_ring) return out;
  for (const auto& r : *vk::g_ring)
    if (r.seq > after_seq) out.push_back(r);
  return out;
}

uint64_t log_last_seq() {
  vk::RawGuard g(&vk::g_lock);
  return vk::g_seq;
}

void log_clear() {
  vk::RawGuard g(&vk::g_lock);
  if (vk::g_ring) vk::g_ring->clear();
}

std::string log_dmesg(uint64_t after_seq) {
  std::string out;
  for (const auto& r : log_records(after_seq)) out += vk::dmesg_line(r);
  return out;
}

void log_echo(bool on) { vk::g_echo.store(on); }

int log_count(const std::string& needle, uint64_t after_seq) {
  vk::RawGuard g(&vk::g_lock);
  int n = 0;
  if (!vk::g_ring) return 0;
  for (const auto& r : *vk::g_ring)
    if (r.seq > after_seq && r.text.find(needle) != std::string::npos) ++n;
  return n;
}

}  // namespace machine
