// printk and the kernel log: level parsing, one record per line, dmesg formatting, and
// many threads (process and interrupt context) logging at once.
#include <atomic>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core_fixture.h"

#include <linux/kernel.h>
#include <linux/spinlock.h>

using core_test::CoreTest;

namespace {

class Printk : public CoreTest {
 protected:
  std::vector<machine::LogRecord> since() { return machine::log_records(log_start_); }
};

TEST_F(Printk, ParsesLevelsPerLine) {
  printk("<3>%s: failed with %d\n", "velTest", -12);
  printk("no level here\n");
  printk(KERN_INFO "first\n<2>second\nthird\n");
  printk("<9>not a level\n");
  printk("<6>no newline at the end");
  auto r = since();
  ASSERT_EQ(r.size(), 7u);
  EXPECT_EQ(r[0].level, 3);
  EXPECT_EQ(r[0].text, "velTest: failed with -12");
  EXPECT_EQ(r[1].level, 4);
  EXPECT_EQ(r[1].text, "no level here");
  EXPECT_EQ(r[2].level, 6);
  EXPECT_EQ(r[3].level, 2);
  EXPECT_EQ(r[3].text, "second");
  EXPECT_EQ(r[4].level, 4);
  EXPECT_EQ(r[5].level, 4);
  EXPECT_EQ(r[5].text, "<9>not a level");
  EXPECT_EQ(r[6].text, "no newline at the end");
  for (size_t i = 1; i < r.size(); ++i) EXPECT_EQ(r[i].seq, r[i - 1].seq + 1);

  std::string long_text(3000, 'x');
  printk("<4>%s\n", long_text.c_str());
  EXPECT_EQ(since().back().text.size(), 1024u - 1 - 3) << "cut like the kernel's 1024-byte buffer";
}

TEST_F(Printk, DmesgFormat) {
  printk("<6>hello dmesg\n");
  std::string d = machine::log_dmesg(log_start_);
  EXPECT_TRUE(std::regex_match(d, std::regex(R"(\[ *[0-9]+\.[0-9]{6}\] hello dmesg\n)"))) << d;
  EXPECT_EQ(machine::log_count("hello dmesg", log_start_), 1);
}

TEST_F(Printk, ConcurrentWritersFromAnyContext) {
  constexpr int kThreads = 4, kEach = 300;
  std::vector<std::thread> ts;
  DEFINE_SPINLOCK(lock);
  for (int t = 0; t < kThreads; ++t)
    ts.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        if (i % 3 == 0) {
          machine::run_in_interrupt([&] { printk("<6>conc %d %d\n", t, i); });
        } else {
          unsigned long flags;
          spin_lock_irqsave(&lock, flags);
          printk("<6>conc %d %d\n", t, i);
          spin_unlock_irqrestore(&lock, flags);
        }
      }
    });
  for (auto& t : ts) t.join();
  auto r = since();
  std::set<std::string> seen;
  for (size_t i = 0; i < r.size(); ++i) {
    if (i) {
      EXPECT_GT(r[i].seq, r[i - 1].seq);
    }
    if (r[i].text.rfind("conc ", 0) == 0) seen.insert(r[i].text);
  }
  EXPECT_EQ(seen.size(), size_t(kThreads * kEach));
  EXPECT_EQ(machine::kernel_bug_count(), 0) << "printk never counts as sleeping";
}

}  // namespace
