// The `velloc` command: see `velloc --help` and docs/agent.md.
#include <iostream>
#include <string_view>

#include "velloc/bench.h"
#include "velloc/cli.h"

int main(int argc, char** argv) {
  if (argc > 1 && std::string_view(argv[1]) == "bench") return velloc::runBench(argc - 1, argv + 1, std::cout, std::cerr);
  return velloc::runCli(argc, argv, std::cout, std::cerr);
}
