// VELLOC_SHAKE=MODE:SEED[:INTENSITY] shakes the schedule of every test of the program (CI
// runs the point-in-time and change-tracking tests so); printed first and with every
// failure so a run repeats.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "machine/kernel.h"

namespace {

machine::ShakeConfig g_shake;

// Each test starts from the seed (so one test replays alone with --gtest_filter).
class ShakeEachTest : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { machine::shake_set(g_shake); }
  void OnTestPartResult(const ::testing::TestPartResult& r) override {
    if (r.failed()) std::printf("[shake] failed under VELLOC_SHAKE=%s\n", machine::shake_describe(g_shake).c_str());
  }
};

class ShakeFromEnv : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* env = std::getenv("VELLOC_SHAKE");
    if (!env || !*env) return;
    if (!machine::shake_parse(env, &g_shake)) {
      std::fprintf(stderr, "VELLOC_SHAKE=%s: expected off or MODE:SEED[:INTENSITY]\n", env);
      std::exit(2);
    }
    std::printf("[shake] VELLOC_SHAKE=%s\n", machine::shake_describe(g_shake).c_str());
    ::testing::UnitTest::GetInstance()->listeners().Append(new ShakeEachTest);
  }
  void TearDown() override { machine::shake_set({}); }
};

const auto* const kShake = ::testing::AddGlobalTestEnvironment(new ShakeFromEnv);

}  // namespace
