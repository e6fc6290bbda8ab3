// A simulated terminal for the server form's tests: the simulator in-process on a free loopback
// port, and what the tests read back from it through the device jobs.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "terminal/TerminalServer.h"

namespace vantorix::test {

struct TTerminalSetup {
  bool Demo = false;                   // start with the simulator's demo users
  std::chrono::milliseconds Delay{0};  // every answer waits this long
};

class TTestTerminal {
 public:
  // Starts the simulator; it accepts connections once the constructor returns.
  explicit TTestTerminal(TTerminalSetup setup = {});

  std::string PortText() const { return std::to_string(FServer->Port()); }
  // Requests the terminal has answered so far.
  long RequestCount() const { return FServer->RequestCount(); }
  // Enrolment numbers of the stored users and the number of their templates, read through a
  // device job of our own.
  std::vector<std::string> UserIds() const;
  std::size_t TemplateCount() const;
  // (enrolment number, finger index) of every stored template, in store order.
  std::vector<std::pair<std::string, int>> Templates() const;

 private:
  std::unique_ptr<TTerminalServer> FServer;
};

// A loopback port where nothing listens.
std::uint16_t RefusedPort();

}  // namespace vantorix::test
