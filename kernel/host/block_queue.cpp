// The I/O engine's host side: a plugged work queue (its threads come from host.h).
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <mutex>

#include "block_host.h"
#include "host.h"

namespace blkhost {

// A burst is plugged: its producer is expected to unplug it (kick or take it) before it
// sleeps. The timer is armed only for a burst its producers left plugged: when one of
// them goes to sleep, returns to user space or ends with the burst still queued (a kernel
// flushes a task's plug when it schedules). So a command that sends its reads and then
// waits for them makes no timer call at all. `event` wakes engine threads for a released
// burst, leftovers and close. Both descriptors are level-triggered, so a wake-up between a
// thread's check and its poll is never lost.
struct WorkQueue {
  std::mutex mu;
  std::deque<Item> items;
  unsigned plug_us = 0;
  size_t unplug_count = 1;
  bool released = false;  // engine threads may take the current burst
  bool armed = false;     // the plug timer is running
  bool closed = false;
  int timer = -1;
  int event = -1;
  int64_t burst_start_ns = 0;  // coarse clock at the burst's first item
  uint64_t timer_arms = 0;
  // The owner's reference and one per thread that left a burst plugged here (t_plugged):
  // such a thread may look at the queue after its disk was detached.
  std::atomic<int> refs{1};
};

namespace {
// Engine threads re-check the queue this often even when nothing woke them.
constexpr int kBackstopMs = 10;

// The queue this thread queued plugged items in last (holding a reference), or null.
thread_local WorkQueue* t_plugged = nullptr;

void put(WorkQueue* q) {
  if (q->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  ::close(q->timer);
  ::close(q->event);
  delete q;
}

void arm(WorkQueue* q, unsigned us) {
  struct itimerspec its = {};
  its.it_value.tv_sec = us / 1000000;
  its.it_value.tv_nsec = (long)(us % 1000000) * 1000;
  timerfd_settime(q->timer, 0, &its, nullptr);
}

void signal_event(WorkQueue* q) {
  uint64_t one = 1;
  ssize_t rc = ::write(q->event, &one, sizeof one);
  (void)rc;  // the counter only saturates; readers drain it
}

void drain(int fd) {
  uint64_t v;
  while (::read(fd, &v, sizeof v) > 0) {
  }
}

// Moves up to max items out; the burst is over when nothing is left. Needs q->mu.
size_t take(WorkQueue* q, Item* out, size_t max) {
  size_t n = 0;
  while (n < max && !q->items.empty()) {
    out[n++] = q->items.front();
    q->items.pop_front();
  }
  if (q->items.empty()) {
    q->released = false;
    if (q->armed) {
      q->armed = false;
      arm(q, 0);  // disarm: nothing left for the timer to hand over
    }
  } else if (q->released) {
    signal_event(q);  // more for another engine thread
  }
  return n;
}

// Gives the burst left plugged in q its timer, unless it was taken, released or closed
// meanwhile.
void leave(WorkQueue* q) {
  std::lock_guard<std::mutex> g(q->mu);
  if (q->items.empty() || q->released || q->closed || q->armed) return;
  q->armed = true;
  q->timer_arms++;
  arm(q, q->plug_us);
}

// Thread exit leaves the plug too.
struct PlugOwner {
  ~PlugOwner() { wq_leave_plugs(); }
};

// Remembers that this thread has items plugged in q. Not under q->mu.
void note_plugged(WorkQueue* q) {
  if (t_plugged == q) return;
  static thread_local PlugOwner owner;
  (void)owner;
  wq_leave_plugs();
  q->refs.fetch_add(1, std::memory_order_relaxed);
  t_plugged = q;
}
}  // namespace

void wq_leave_plugs() {
  WorkQueue* q = t_plugged;
  if (__builtin_expect(q == nullptr, 1)) return;
  t_plugged = nullptr;
  leave(q);
  put(q);
}

uint64_t wq_timer_arms(WorkQueue* q) {
  std::lock_guard<std::mutex> g(q->mu);
  return q->timer_arms;
}

WorkQueue* wq_create(unsigned plug_us, size_t unplug_count) {
  auto* q = new WorkQueue;
  q->plug_us = plug_us;
  q->unplug_count = unplug_count ? unplug_count : 1;
  q->timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  q->event = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (q->timer < 0 || q->event < 0) {
    if (q->timer >= 0) ::close(q->timer);
    if (q->event >= 0) ::close(q->event);
    delete q;
    return nullptr;
  }
  return q;
}

void wq_push(WorkQueue* q, Item it) {
  {
    std::lock_guard<std::mutex> g(q->mu);
    q->items.push_back(it);
    if (q->released) return;
    if (q->plug_us == 0 || q->items.size() >= q->unplug_count) {
      q->released = true;
      signal_event(q);
      return;
    }
    if (q->items.size() == 1) q->burst_start_ns = host::coarse_ns();
  }
  note_plugged(q);
}

void wq_kick(WorkQueue* q) {
  std::lock_guard<std::mutex> g(q->mu);
  if (q->items.empty() || q->released) return;
  q->released = true;
  signal_event(q);
}

size_t wq_pop(WorkQueue* q, Item* out, size_t max) {
  for (;;) {
    {
      std::lock_guard<std::mutex> g(q->mu);
      if (!q->items.empty() && (q->released || q->closed)) return take(q, out, max);
      if (q->items.empty() && q->closed) {
        signal_event(q);  // passes the close on to the next engine thread
        return 0;
      }
    }
    struct pollfd fds[2] = {{q->timer, POLLIN, 0}, {q->event, POLLIN, 0}};
    // The timeout is a backstop: state is re-checked under the lock on every pass, so a
    // wake-up lost anywhere costs at most this long instead of a hung detach.
    int rc = ::poll(fds, 2, kBackstopMs);
    if (rc < 0 && errno != EINTR) return 0;
    if (rc == 0) {
      // A burst left by a thread that never sleeps in the kernel's sense (a host thread
      // polling for its completions) goes on once it is older than the plug.
      std::lock_guard<std::mutex> g(q->mu);
      if (!q->items.empty() && !q->released && host::coarse_ns() - q->burst_start_ns >= int64_t(q->plug_us) * 1000)
        q->released = true;
    }
    if (fds[0].revents & POLLIN) {
      drain(q->timer);
      std::lock_guard<std::mutex> g(q->mu);
      q->armed = false;
      if (!q->items.empty()) q->released = true;  // the plug timed out
    }
    if (fds[1].revents & POLLIN) drain(q->event);
  }
}

size_t wq_try_pop(WorkQueue* q, Item* out, size_t max) {
  std::lock_guard<std::mutex> g(q->mu);
  return take(q, out, max);
}

size_t wq_pending(WorkQueue* q) {
  std::lock_guard<std::mutex> g(q->mu);
  return q->items.size();
}

void wq_close(WorkQueue* q) {
  std::lock_guard<std::mutex> g(q->mu);
  q->closed = true;
  signal_event(q);
}

void wq_destroy(WorkQueue* q) { put(q); }

}  // namespace blkhost
