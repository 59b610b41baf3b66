// The stand-in's only boundary to the host operating system. Everything else in kernel/
// reaches threads, futexes, clocks, memory and entropy through these calls, so the
// kernel services above stay plain data and free functions.
//
// Thread-safety: every call is safe from any thread at any time; none takes a lock of
// the stand-in. "Blocks" below means the calling host thread may be descheduled.
#pragma once
#include <cstddef>
#include <cstdint>

namespace host {

// ---- threads ------------------------------------------------------------------------
// Starts fn(arg) on a new detached host thread. Returns 0, or a negative errno when the
// host refuses (the thread never runs then). Does not block.
int thread_start(void (*fn)(void*), void* arg);
// Sets / reads the calling thread's OS-visible name (at most 15 bytes are kept).
void thread_set_name(const char* name);
void thread_get_name(char* buf, size_t len);
// Host thread id of the caller (for diagnostics only; kernel pids are the stand-in's own).
long thread_id();
// Gives up the CPU once. Blocks briefly.
void thread_yield();

// ---- futex waits on a 32-bit word -----------------------------------------------------
// Blocks while *word == expected, until futex_wake on the word, a spurious wake-up, or
// timeout_ns has passed (timeout_ns < 0: no timeout). Returns 0 when woken or the value
// differed, -ETIMEDOUT on timeout. Callers re-check their condition in a loop.
int futex_wait(volatile int* word, int expected, int64_t timeout_ns);
// Wakes up to n threads blocked on word (n = INT32_MAX: all). Never blocks; the word may
// already be freed memory (the host only uses its address).
void futex_wake(volatile int* word, int n);

// ---- clocks -------------------------------------------------------------------------
int64_t monotonic_ns();               // since an arbitrary fixed point
void realtime(int64_t* sec, long* nsec);  // wall clock
void sleep_ns(int64_t ns);            // blocks

// ---- memory -------------------------------------------------------------------------
// Host memory aligned to `align` (a power of two, >= sizeof(void*)); null when the host
// has none. Freed with aligned_free.
void* aligned_alloc(size_t align, size_t size);
void aligned_free(void* p);

// ---- misc ---------------------------------------------------------------------------
void entropy(void* buf, size_t len);  // random bytes from the host
void write_stderr(const char* text, size_t len);
[[noreturn]] void abort_process();

}  // namespace host
