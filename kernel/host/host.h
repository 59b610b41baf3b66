// The stand-in's only boundary to the host operating system. Everything else in kernel/
// reaches threads, futexes, clocks, memory and entropy through these calls, so the
// kernel services above stay plain data and free functions.
//
// Thread-safety: every call is safe from any thread at any time; none takes a lock of
// the stand-in. "Blocks" below means the calling host thread may be descheduled.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// A set of joinable host threads (the block layer's I/O engine runs on one).
struct Threads;
// Starts n host threads running fn(arg, index). Null when the host refuses a thread (any
// started ones are joined first).
Threads* threads_start(unsigned n, void (*fn)(void* arg, unsigned index), void* arg);
// Waits for every thread of the set to return and frees it. Blocks.
void threads_join(Threads* t);

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
// The same clock as the host's tick last set it: a read from memory, no system call, but
// it moves only once per host tick (a few milliseconds), as jiffies do.
int64_t coarse_ns();
void realtime(int64_t* sec, long* nsec);  // wall clock
void sleep_ns(int64_t ns);            // blocks

// ---- memory -------------------------------------------------------------------------
// Host memory aligned to `align` (a power of two, >= sizeof(void*)); null when the host
// has none. Freed with aligned_free.
void* aligned_alloc(size_t align, size_t size);
void aligned_free(void* p);

// ---- host programs (mkfs, debugfs, losetup: for images and the host side of tests) -----
// Full path of an executable: `name` itself when it holds a '/', else the first regular
// executable file of that name in PATH, /usr/local/sbin, /usr/sbin, /sbin, /usr/bin or
// /bin; "" when there is none.
std::string find_program(const std::string& name);
// Runs argv[0] (found as find_program finds it) with the arguments, stdin from /dev/null,
// stdout appended to *out and stderr to *err (either may be null, or both the same
// string). Returns the exit status (128 + the signal when one ended it), or -errno when it
// could not be started (-ENOENT: not found). Blocks until the program ends.
int run_program(const std::vector<std::string>& argv, std::string* out, std::string* err);

// ---- misc ---------------------------------------------------------------------------
void entropy(void* buf, size_t len);  // random bytes from the host
void write_stderr(const char* text, size_t len);
[[noreturn]] void abort_process();

}  // namespace host
