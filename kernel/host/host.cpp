// Host boundary implementation: Linux system calls and the C++ runtime, nothing else.
#include "host/host.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace host {

// <linux/futex.h> would pull the stand-in's own linux/types.h; the two operations used.
constexpr int kFutexWaitPrivate = 0 | 128;
constexpr int kFutexWakePrivate = 1 | 128;

namespace {
struct Start {
  void (*fn)(void*);
  void* arg;
};

void* trampoline(void* p) {
  Start s = *static_cast<Start*>(p);
  delete static_cast<Start*>(p);
  s.fn(s.arg);
  return nullptr;
}
}  // namespace

int thread_start(void (*fn)(void*), void* arg) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return -ENOMEM;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  auto* s = new Start{fn, arg};
  pthread_t t;
  int rc = pthread_create(&t, &attr, trampoline, s);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete s;
    return -rc;
  }
  return 0;
}

void thread_set_name(const char* name) {
  char buf[16];
  strncpy(buf, name, sizeof buf - 1);
  buf[sizeof buf - 1] = 0;
  prctl(PR_SET_NAME, reinterpret_cast<unsigned long>(buf), 0, 0, 0);
}

void thread_get_name(char* buf, size_t len) {
  char name[17] = {0};
  prctl(PR_GET_NAME, reinterpret_cast<unsigned long>(name), 0, 0, 0);
  if (len == 0) return;
  strncpy(buf, name, len - 1);
  buf[len - 1] = 0;
}

long thread_id() { return syscall(SYS_gettid); }

void thread_yield() { sched_yield(); }

struct Threads {
  std::vector<std::thread> threads;
};

Threads* threads_start(unsigned n, void (*fn)(void*, unsigned), void* arg) {
  auto* t = new Threads;
  try {
    for (unsigned i = 0; i < n; i++) t->threads.emplace_back(fn, arg, i);
  } catch (...) {
    for (auto& th : t->threads) th.join();
    delete t;
    return nullptr;
  }
  return t;
}

void threads_join(Threads* t) {
  if (!t) return;
  for (auto& th : t->threads) th.join();
  delete t;
}

int futex_wait(volatile int* word, int expected, int64_t timeout_ns) {
  struct timespec ts, *tsp = nullptr;
  if (timeout_ns >= 0) {
    ts.tv_sec = timeout_ns / 1000000000;
    ts.tv_nsec = timeout_ns % 1000000000;
    tsp = &ts;
  }
  long rc = syscall(SYS_futex, const_cast<int*>(word), kFutexWaitPrivate, expected, tsp, nullptr, 0);
  if (rc != 0 && errno == ETIMEDOUT) return -ETIMEDOUT;
  return 0;
}

void futex_wake(volatile int* word, int n) {
  syscall(SYS_futex, const_cast<int*>(word), kFutexWakePrivate, n, nullptr, nullptr, 0);
}

int64_t monotonic_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t coarse_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void realtime(int64_t* sec, long* nsec) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  *sec = ts.tv_sec;
  *nsec = ts.tv_nsec;
}

void sleep_ns(int64_t ns) {
  if (ns <= 0) return;
  struct timespec ts{time_t(ns / 1000000000), long(ns % 1000000000)};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void* aligned_alloc(size_t align, size_t size) {
  void* p = nullptr;
  if (posix_memalign(&p, align, size ? size : 1) != 0) return nullptr;
  return p;
}

void aligned_free(void* p) { free(p); }

void entropy(void* buf, size_t len) {
  auto* b = static_cast<unsigned char*>(buf);
  while (len > 0) {
    ssize_t n = getrandom(b, len, 0);
    if (n <= 0) {
      // No entropy source: fall back to the C++ runtime's, which is good enough for keys.
      std::random_device rd;
      for (; len > 0; --len) *b++ = static_cast<unsigned char>(rd());
      return;
    }
    b += n;
    len -= size_t(n);
  }
}

void write_stderr(const char* text, size_t len) {
  while (len > 0) {
    ssize_t n = write(2, text, len);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return;
    }
    text += n;
    len -= size_t(n);
  }
}

void abort_process() { abort(); }

}  // namespace host
