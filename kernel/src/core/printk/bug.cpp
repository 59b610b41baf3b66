// Kernel bug reports: BUG() (an oops that stops the process), WARN_ON and the count of
// non-fatal bug reports (sleeping in atomic context, lock misuse, bad frees, slab
// destroyed with live objects) that tests assert on.
//
// Thread-safety: the count is atomic; reports go through printk.
#include <linux/kernel.h>
#include <linux/sched.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "host/host.h"
#include "machine/kernel.h"

namespace {
std::atomic<int> g_bugs{0};

// Logs one oops line and copies it to stderr, which a death test matches.
void oops_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void oops_line(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  printk("<0>%s\n", buf);
  std::string line = std::string(buf) + "\n";
  host::write_stderr(line.data(), line.size());
}
}  // namespace

namespace machine {
int kernel_bug_count() { return g_bugs.load(); }
void kernel_bug_reset() { g_bugs.store(0); }
void kernel_bug_add() { g_bugs.fetch_add(1); }
}  // namespace machine

// Never returns: the report, then abort() (tests use death tests).
void kernel_bug(const char* file, int line, const char* func) {
  task_struct* t = get_current();
  oops_line("------------[ cut here ]------------");
  oops_line("kernel BUG at %s:%d!", file, line);
  oops_line("invalid opcode: 0000 [#1]");
  oops_line("SMP ");
  oops_line("EIP is at %s", func);
  oops_line("Process %s (pid: %d, in_atomic: %d, irqs_disabled: %d)", t->comm, t->pid, in_atomic(),
            irqs_disabled());
  oops_line("Oops: kernel BUG in %s, process stopped", func);
  machine::kernel_bug_add();
  host::abort_process();
}

void kernel_warn(const char* file, int line, const char* func, const char* cond) {
  printk("<4>BUG: warning at %s:%d/%s() (%s)\n", file, line, func, cond);
  machine::kernel_bug_add();
}
