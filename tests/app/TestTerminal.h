// A simulated terminal for the server form's tests: vantorix-terminal on a free loopback port,
// and what the tests read back from it through the device jobs.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/support/ChildProcess.h"

namespace vantorix::test {

struct TTerminalSetup {
  bool Demo = false;                   // start with the simulator's demo users
  std::chrono::milliseconds Delay{0};  // every answer waits this long
};

class TTestTerminal {
 public:
  // Starts the simulator and waits for its port; a failure to start fails the current test.
  explicit TTestTerminal(TTerminalSetup setup = {});
  // Stops it with SIGTERM (SIGKILL when it does not end in time).
  ~TTestTerminal();

  std::string PortText() const { return std::to_string(FPort); }
  // Enrolment numbers of the stored users and the number of their templates, read through a
  // device job of our own.
  std::vector<std::string> UserIds() const;
  std::size_t TemplateCount() const;
  // (enrolment number, finger index) of every stored template, in store order.
  std::vector<std::pair<std::string, int>> Templates() const;

 private:
  std::unique_ptr<TChildProcess> FProcess;
  int FPort = 0;
};

// A loopback port where nothing listens.
std::uint16_t RefusedPort();

}  // namespace vantorix::test
