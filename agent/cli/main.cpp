// The `velloc` command: see `velloc --help` and docs/agent.md.
#include <iostream>

#include "velloc/cli.h"

int main(int argc, char** argv) { return velloc::runCli(argc, argv, std::cout, std::cerr); }
