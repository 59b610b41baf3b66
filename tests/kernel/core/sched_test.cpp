// Tasks and kernel threads: the start/exit handshake with completions, names, signals,
// schedule/wake_up_process without lost wake-ups, and thread creation failing on demand.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core_fixture.h"
#include "host/host.h"

#include <asm/semaphore.h>
#include <linux/completion.h>
#include <linux/delay.h>
#include <linux/sched.h>
#include <linux/time.h>

using core_test::CoreTest;
using core_test::eventually;
using core_test::ld;

namespace {

class KThread : public CoreTest {};

// The worker shape a driver uses: name itself, take SIGKILL, report it started, serve
// its semaphore until a signal, then complete_and_exit.
struct Worker {
  struct completion started, exited;
  struct semaphore work;
  std::atomic<int> served{0};
  char comm[TASK_COMM_LEN];
  char os_name[16];
  std::atomic<bool> had_mm{true};
};

int worker_main(void* arg) {
  auto* w = static_cast<Worker*>(arg);
  daemonize("kvtest%d", 7);
  allow_signal(SIGKILL);
  memcpy(w->comm, current->comm, TASK_COMM_LEN);
  host::thread_get_name(w->os_name, sizeof w->os_name);
  w->had_mm = current->mm != nullptr;
  complete(&w->started);
  for (;;) {
    if (down_interruptible(&w->work) != 0) break;
    w->served++;
  }
  complete_and_exit(&w->exited, 0);
}

TEST_F(KThread, StartAndExitHandshakeWithCompletions) {
  Worker w;
  init_completion(&w.started);
  init_completion(&w.exited);
  sema_init(&w.work, 0);
  int pid = kernel_thread(worker_main, &w, CLONE_KERNEL);
  ASSERT_GT(pid, 0);
  ASSERT_GT(wait_for_completion_timeout(&w.started, 5000), 0ul);
  EXPECT_STREQ(w.comm, "kvtest7");
  EXPECT_STREQ(w.os_name, "kvtest7");
  EXPECT_FALSE(w.had_mm);
  EXPECT_EQ(machine::live(machine::Obj::kthread), base_[int(machine::Obj::kthread)] + 1);
  for (int i = 0; i < 20; ++i) up(&w.work);
  ASSERT_TRUE(eventually([&] { return w.served == 20; }));
  // SIGTERM is not allowed: ignored. SIGKILL ends the serving loop.
  EXPECT_EQ(kill_proc(pid, SIGTERM, 1), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(machine::live(machine::Obj::kthread), base_[int(machine::Obj::kthread)] + 1);
  EXPECT_EQ(kill_proc(pid, SIGKILL, 1), 0);
  ASSERT_GT(wait_for_completion_timeout(&w.exited, 5000), 0ul);
  // Once the exit completion is seen, the thread no longer counts as live.
  EXPECT_EQ(machine::live(machine::Obj::kthread), base_[int(machine::Obj::kthread)]);
  EXPECT_TRUE(eventually([&] { return kill_proc(pid, SIGKILL, 1) == -ESRCH; }));
}

TEST_F(KThread, ManyThreadsStartAndEndConcurrently) {
  constexpr int kThreads = 12;
  struct completion done;
  init_completion(&done);
  std::atomic<int> ran{0};
  struct Arg {
    struct completion* done;
    std::atomic<int>* ran;
  } arg{&done, &ran};
  std::vector<std::thread> starters;
  std::atomic<int> pids_ok{0};
  for (int s = 0; s < 3; ++s)
    starters.emplace_back([&] {
      for (int i = 0; i < kThreads / 3; ++i) {
        int pid = kernel_thread(
            [](void* a) -> int {
              auto* x = static_cast<Arg*>(a);
              (*x->ran)++;
              complete(x->done);
              return 0;  // returning also ends the thread
            },
            &arg, 0);
        if (pid > 0) pids_ok++;
      }
    });
  for (auto& t : starters) t.join();
  EXPECT_EQ(pids_ok, kThreads);
  for (int i = 0; i < kThreads; ++i) ASSERT_GT(wait_for_completion_timeout(&done, 5000), 0ul);
  EXPECT_TRUE(machine::kthreads_wait_idle(5000));
  EXPECT_EQ(ran, kThreads);
}

TEST_F(KThread, CreationFailsOnDemandAndLeavesNothing) {
  machine::fault_fail_nth(machine::Fault::kernel_thread, 1);
  int pid = kernel_thread([](void*) -> int { return 0; }, nullptr, 0);
  EXPECT_EQ(pid, -ENOMEM);
  EXPECT_EQ(machine::fault_injected_count(), 1u);
  EXPECT_EQ(logged("FAULT_INJECTION: failing kernel_thread call #1"), 1);
}

class Sched : public CoreTest {};

TEST_F(Sched, PingPongWithoutLostWakeUps) {
  // Two tasks hand a token back and forth with set_current_state / schedule /
  // wake_up_process; a lost wake-up would show as a schedule_timeout that expires.
  std::atomic<task_struct*> a_task{nullptr}, b_task{nullptr};
  std::atomic<int> token{0};
  std::atomic<int> timeouts{0}, finished{0};
  constexpr int kRounds = 1000;
  auto player = [&](int me, std::atomic<task_struct*>& self, std::atomic<task_struct*>& other) {
    self = current;
    while (!other.load()) std::this_thread::yield();
    for (int r = 0; r < kRounds; ++r) {
      for (;;) {
        set_current_state(TASK_UNINTERRUPTIBLE);
        if (token.load() % 2 == me) break;
        if (schedule_timeout(5000) == 0) timeouts++;
      }
      set_current_state(TASK_RUNNING);
      token++;
      wake_up_process(other.load());
    }
    // A task pointer is only valid while its thread lives: stay until both are done.
    finished++;
    while (finished.load() < 2) std::this_thread::yield();
  };
  std::thread a([&] { player(0, a_task, b_task); });
  std::thread b([&] { player(1, b_task, a_task); });
  a.join();
  b.join();
  EXPECT_EQ(token, 2 * kRounds);
  EXPECT_EQ(timeouts, 0);
}

TEST_F(Sched, ScheduleTimeoutExpiresAndSignalEndsAnInterruptibleSleep) {
  set_current_state(TASK_INTERRUPTIBLE);
  EXPECT_EQ(schedule_timeout(3), 0);
  EXPECT_EQ(current->state, TASK_RUNNING);
  // Running state: no sleep at all.
  EXPECT_EQ(schedule_timeout(1000), 1000);

  std::atomic<task_struct*> sleeper{nullptr};
  std::atomic<long> left{-1};
  std::atomic<bool> sent{false};
  std::thread t([&] {
    sleeper = current;
    set_current_state(TASK_INTERRUPTIBLE);
    left = schedule_timeout(10000);
    while (!sent) std::this_thread::yield();  // keep the task alive for the sender
  });
  ASSERT_TRUE(eventually([&] { return sleeper.load() && ld(sleeper.load()->state) == TASK_INTERRUPTIBLE; }));
  send_sig(SIGUSR1, sleeper, 0);
  sent = true;
  t.join();
  EXPECT_GT(left, 0);
}

TEST_F(Sched, TasksHaveDistinctPidsAndAdoptedNames) {
  pid_t mine = current->pid;
  EXPECT_GT(mine, 0);
  EXPECT_EQ(get_current(), static_cast<task_struct*>(current));
  std::atomic<pid_t> other{0};
  std::string name;
  std::thread([&] {
    machine::adopt_thread("agent-1");
    other = current->pid;
    name = current->comm;
    EXPECT_EQ(current->mm, nullptr);
  }).join();
  EXPECT_NE(other, mine);
  EXPECT_EQ(name, "agent-1");
}

TEST_F(Sched, CondReschedYieldsOnlyOnceATimeSliceIsUsedUp) {
  // Two threads compete for the processors calling cond_resched in a busy loop: each
  // gives the processor up now and then, but not on every call; a sleep starts a new
  // slice, so the call right after one does not yield.
  std::atomic<int> ready{0};
  auto spinner = [&](long* calls, long* yields, int* after_sleep) {
    machine::adopt_thread("resched");
    ready++;
    while (ready.load() < 2) std::this_thread::yield();
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(60);
    while (std::chrono::steady_clock::now() < end) {
      ++*calls;
      *yields += cond_resched();
    }
    // Counted over ten sleeps: a host that preempts the thread for a whole slice right
    // after one must not fail the test.
    *after_sleep = 0;
    for (int i = 0; i < 10; ++i) {
      msleep(1);
      *after_sleep += cond_resched() == 0;
    }
  };
  long calls[2] = {0, 0}, yields[2] = {0, 0};
  int after_sleep[2] = {-1, -1};
  std::thread a([&] { spinner(&calls[0], &yields[0], &after_sleep[0]); });
  std::thread b([&] { spinner(&calls[1], &yields[1], &after_sleep[1]); });
  a.join();
  b.join();
  for (int i = 0; i < 2; ++i) {
    EXPECT_GE(yields[i], 1) << "60 ms of running without giving the processor up";
    EXPECT_LT(yields[i] * 100, calls[i]) << yields[i] << " yields in " << calls[i] << " calls";
    EXPECT_GE(after_sleep[i], 5) << "calls right after a sleep that did not yield, of 10";
  }
}

TEST_F(Sched, TimeMoves) {
  unsigned long j0 = jiffies;
  msleep(5);
  EXPECT_TRUE(time_after_eq(jiffies, j0 + 5));
  EXPECT_FALSE(time_after(j0, jiffies));
  // jiffies follow the host's tick, which moves a few milliseconds at a time; however the
  // sleeps of racing threads fall between ticks, each msleep has moved them by its length.
  std::atomic<int> short_sleeps{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 30; ++i) {
        unsigned long before = jiffies;
        msleep(1);
        if (time_before(jiffies, before + 1)) short_sleeps++;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(short_sleeps, 0);
  struct timespec ts = current_kernel_time();
  EXPECT_NEAR(double(ts.tv_sec), double(time(nullptr)), 2.0);
  udelay(10);
}

}  // namespace
