// shakeFor: see stress_shake.h.
#include "stress_shake.h"

#include <cstdio>
#include <cstdlib>

namespace velloc_stress {

machine::ShakeConfig shakeFor(uint64_t seed, const machine::ShakeConfig& asked) {
  machine::ShakeConfig c = asked;
  if (const char* env = std::getenv("VELLOC_SHAKE"); env && *env) {
    std::string text = env;
    if (!machine::shake_parse(text, &c)) {
      std::fprintf(stderr, "VELLOC_SHAKE=%s: expected off, random[:SEED[:INTENSITY]] or pct[:SEED[:INTENSITY]]\n",
                   env);
      std::exit(2);
    }
    if (text.find(':') == std::string::npos) c.seed = 0;
  }
  if (c.seed == 0) c.seed = seed;
  return c;
}

}  // namespace velloc_stress
