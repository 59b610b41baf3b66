// `velloc bench`: the whole-flow benchmarks (full and incremental backups, writers under
// change tracking and copy-on-write, snapshots, memory, scale), each figure a ratio
// against a baseline measured in the same run on the same image. See BENCHMARKS.md.
#pragma once
#include <ostream>

namespace velloc {
// argv[0] is "bench". Prints the table to `out` (and writes JSON with --out); progress
// goes to `err`. Returns 0 when every figure was measured, 2 on bad input or a figure
// that could not run (its row says why).
int runBench(int argc, char** argv, std::ostream& out, std::ostream& err);
}  // namespace velloc
