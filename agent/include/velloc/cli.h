// The `velloc` command as a function, so tests can run it in-process.
#pragma once
#include <ostream>

namespace velloc {
// Parses argv and runs the subcommand. Results go to `out`, the one-line error of a
// failure (and progress, on a terminal) to `err`. Returns the exit status: 0 success,
// 1 a check failed (verify found differences, a backup round did not verify), 2 bad
// input or an error that stopped the work.
int runCli(int argc, char** argv, std::ostream& out, std::ostream& err);
}  // namespace velloc
