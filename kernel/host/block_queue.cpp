// The I/O engine's host side: a plugged work queue (its threads come from host.h).
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <deque>
#include <mutex>

#include "block_host.h"

namespace blkhost {

// The timer fires once per plugged burst; `event` wakes engine threads for a released
// burst, leftovers and close. Both descriptors are level-triggered, so a wake-up between
// a thread's check and its poll is never lost.
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
};

namespace {
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
}  // namespace

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
  std::lock_guard<std::mutex> g(q->mu);
  q->items.push_back(it);
  if (q->released) return;
  if (q->plug_us == 0 || q->items.size() >= q->unplug_count) {
    q->released = true;
    signal_event(q);
  } else if (!q->armed) {
    q->armed = true;
    arm(q, q->plug_us);
  }
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
    int rc = ::poll(fds, 2, 50);
    if (rc < 0 && errno != EINTR) return 0;
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

void wq_destroy(WorkQueue* q) {
  ::close(q->timer);
  ::close(q->event);
  delete q;
}

}  // namespace blkhost
