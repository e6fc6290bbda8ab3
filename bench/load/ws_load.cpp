// ws_load: runs the WebSocket comparison of bench/run against the servers it is given.
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/load/Bench.h"

int main(int argc, char** argv) {
  vantorix::TBenchOptions options;
  try {
    options = vantorix::ParseBenchOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::cerr << "ws_load: " << e.what() << "\n" << vantorix::kBenchUsage;
    return 2;
  }
  return vantorix::RunBench(options, std::cout, std::cerr);
}
