// The whole comparison: every server started once, every scenario run on each in turn, one table.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "bench/load/Scenarios.h"

namespace vantorix {

// A server to compare: its name in the table and the command that starts it on port 0, printing
// "listening on ADDR:PORT". The first server is ours; the others are the peers it is divided by.
struct TServerSpec {
  std::string Name;
  std::vector<std::string> Command;
};

struct TBenchOptions {
  std::vector<TServerSpec> Servers;
  TLoadSettings Load;
  std::vector<std::size_t> Receivers{10, 30, 100, 300, 1000};  // the broadcast curve
  int Repeat = 3;                 // each figure is the median of this many runs
  std::vector<std::string> Only;  // scenario keys to run; all when empty
};

// Parses the arguments of ws_load (see its usage text); throws std::invalid_argument.
TBenchOptions ParseBenchOptions(const std::vector<std::string>& args);
extern const char* const kBenchUsage;

// Runs the comparison and writes the tables to out, progress and failures to err. Returns 0, or
// 1 when a server could not start or a scenario failed on some server (its cells show "failed").
int RunBench(const TBenchOptions& options, std::ostream& out, std::ostream& err);

}  // namespace vantorix
