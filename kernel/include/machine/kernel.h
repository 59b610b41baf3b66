// The stand-in's control surface for tests, tools and the agent's host side: the kernel
// log, bug reports, fault injection, live-object accounting and execution contexts.
// Ordinary C++; never included by module code.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace machine {

// ---- kernel log ---------------------------------------------------------------------
struct LogRecord {
  uint64_t seq;        // 1, 2, ... since boot
  int level;           // parsed from a leading "<N>", 4 when absent
  double time;         // seconds since boot
  std::string text;    // without the "<N>" prefix
};
std::vector<LogRecord> log_records(uint64_t after_seq = 0);
uint64_t log_last_seq();
void log_clear();
// dmesg style: "[    1.234567] text" per record.
std::string log_dmesg(uint64_t after_seq = 0);
// Echo every record to stderr as it is logged (off by default).
void log_echo(bool on);
// Count of records (after_seq onwards) whose text contains `needle`.
int log_count(const std::string& needle, uint64_t after_seq = 0);

// ---- kernel bugs --------------------------------------------------------------------
// Sleeping in atomic context, lock misuse, slab destroyed with live objects, WARN_ON.
int kernel_bug_count();
void kernel_bug_reset();
// Counts one kernel bug; the caller has already logged its report. For the stand-in's
// own services (block layer, user memory) that detect misuse.
void kernel_bug_add();

// ---- lock-order checker ------------------------------------------------------------
// Built with VELLOC_LOCK_CHECK (debug, asan and tsan presets): every lock acquisition
// records which lock classes (one per init site) the thread already holds; the first time
// an order closes a cycle, such as A then B in one place and B then A in another, it logs
// "possible circular locking dependency" with the stacks of both orders and counts a
// kernel bug, whether or not the threads ever met.
struct LockCheckStats {
  bool enabled = false;    // compiled in (and not turned off with VELLOC_LOCK_CHECK=0)
  int classes = 0;         // lock classes seen
  int dependencies = 0;    // ordered pairs "B taken while A held" seen
  int reports = 0;         // circular dependencies reported
  uint64_t unclassed = 0;  // acquisitions of locks without a class: never initialised, or a
                           // semaphore counting events (initial count other than one)
  int max_depth = 0;       // most checked locks one thread held at once
};
LockCheckStats lock_check_stats();
// Every dependency seen so far as "A -> B" (class names), sorted.
std::vector<std::string> lock_check_dependencies();

// ---- fault injection ----------------------------------------------------------------
// Every fallible service passes one breakpoint, should_fail(kind); an injected failure
// is tagged in the log as "FAULT_INJECTION: failing <kind> call #n".
enum class Fault : int {
  kmalloc, vmalloc, alloc_pages, slab, bio, buffer_head, kernel_thread,
  disk_read, disk_write, copy_from_user, copy_to_user, register_chrdev, count
};
const char* fault_name(Fault k);
// Fail the n-th call (1-based, counted from now) of this kind; n = 0 disarms.
void fault_fail_nth(Fault k, uint64_t n);
// Fail the n-th fallible call of ANY kind from now (the sweep's single counter).
void fault_fail_nth_any(uint64_t n);
// Fail the n-th call of this kind from now and every later one (a device or an allocator
// that stays broken); n = 0 disarms.
void fault_fail_from(Fault k, uint64_t n);
// Fail every call of a kind while on.
void fault_fail_always(Fault k, bool on);
// Fail with this probability (0..1), from a seeded generator.
void fault_fail_random(Fault k, double probability, uint64_t seed);
uint64_t fault_calls(Fault k);      // calls seen since the last reset
uint64_t fault_calls_any();
uint64_t fault_injected_count();    // failures injected since the last reset
void fault_reset();                 // disarm everything, zero the counters
// Only calls made by threads for which this returns true are counted and failed
// (default: all threads). Lets a sweep target the scenario and not the test harness.
void fault_set_filter(std::function<bool()> filter);
bool should_fail(Fault k);          // the check every fallible service makes first
// Every injected failure passes through here (after its log line): the place for a
// debugger breakpoint when hunting the unwinding of one injected fault.
void fault_breakpoint(Fault k, uint64_t call);

// ---- live-object accounting ---------------------------------------------------------
enum class Obj : int {
  kmalloc, vmalloc, page, slab_cache, slab_object, bio, buffer_head, kthread, file, vma,
  block_device, super_ref, count
};
const char* obj_name(Obj k);
int64_t live(Obj k);
// The stand-in's services count their objects here: +1 when made, -1 when freed.
void live_add(Obj k, int64_t delta);
// Names and counts of every kind with live objects; empty when nothing is left.
std::string live_report();
bool nothing_live();

// ---- execution contexts -------------------------------------------------------------
// Runs fn as interrupt context on the calling thread (in_interrupt() true while it runs).
void run_in_interrupt(const std::function<void()>& fn);
// Binds the calling thread to a fresh anonymous task (process context without an mm).
void adopt_thread(const char* name);
// Waits (bounded) until no kernel thread made by kernel_thread is still running; true
// when none is. A thread that ended with complete_and_exit no longer counts.
bool kthreads_wait_idle(unsigned timeout_ms);

// ---- schedule points ----------------------------------------------------------------
// Places where a real kernel could switch tasks, or another CPU act, between two steps.
// A test that must hit a narrow window sets a hook and delays or parks the thread that
// reaches the right point; the schedule shaker drives the same points. Off (no hook), a
// point costs one load and a predictable branch.
enum class Point : int {
  lock_acquire,   // about to take a lock (spin lock, rwlock, semaphore, rw semaphore, mutex)
  lock_release,   // about to let a lock go, still holding it
  lock_acquired,  // just took a lock (after any wait; trylocks included)
  atomic_rmw,     // about to read-modify-write an atomic_t (add, sub, inc, dec, xchg, cmpxchg)
  wake_up,        // wake_up, wake_up_process
  complete,       // complete, complete_all
  schedule,       // schedule, cond_resched, yield
  bio_submit,     // generic_make_request, before the queue's function is called
  bio_complete,   // bio_endio, before the bio's end_io runs
  user_copy,      // copy_from_user, copy_to_user, clear_user, before the copy
  count
};
const char* point_name(Point k);
struct PointEvent {
  Point kind;
  // A lock's class: the expression and place of its init ("&b->bSem at vellib-start.cpp:90",
  // null for a lock that was only zero-filled); otherwise the service's own name.
  const char* what;
  const void* object;  // the lock, wait queue, task, completion, bio or user address
  const char* task;    // comm of the task at the point
};
// The hook runs on the thread at the point, with whatever locks it holds; it may sleep on
// the host (std::this_thread) but must not call kernel services. Empty: points off. Set
// it while no other thread can reach a point, or accept that a racing thread may still
// see the hook before.
void set_point_hook(std::function<void(const PointEvent&)> hook);

// ---- schedule shaker ----------------------------------------------------------------
// Drives the schedule points so that threads interleave where a 2-core host never lets
// them: at each point a seeded per-thread generator decides whether the thread yields,
// sleeps a few microseconds or goes on (random), or, as in probabilistic concurrency
// testing (pct), each thread gets a random priority, the running thread drops to the
// lowest at `depth` random points of the run, and a thread delays while one of higher
// priority ran recently. While on, the disk engine also completes bios in a seeded random
// order with random delays. Off by default; a point then costs what it cost before.
enum class ShakeMode : int { off, random, pct };
struct ShakeConfig {
  ShakeMode mode = ShakeMode::off;
  uint64_t seed = 1;
  unsigned intensity = 2;  // percent of points at which a thread yields or sleeps
};
// Turns the shaker on or off, restarting every thread's generator and priority from the
// seed. Call it while no other thread is at a point (between runs).
void shake_set(const ShakeConfig& c);
ShakeConfig shake_get();
// "random:SEED[:INTENSITY]", "pct:SEED[:INTENSITY]" or "off"; false on anything else.
bool shake_parse(const std::string& text, ShakeConfig* out);
// The setting as VELLOC_SHAKE takes it ("pct:7:2"), "off" when off: printed with every
// failure so the run repeats.
std::string shake_describe(const ShakeConfig& c);
// Yields, sleeps and priority drops made since the last shake_set.
uint64_t shake_actions();
uint64_t shake_points();  // points passed while on, since the last shake_set

}  // namespace machine
