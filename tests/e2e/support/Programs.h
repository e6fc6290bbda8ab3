// The two programs under end-to-end test, started as processes on free loopback ports.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/support/ChildProcess.h"

namespace vantorix::test {

inline constexpr std::chrono::milliseconds kProcessWait{10000};

// vantorix-terminal on 127.0.0.1 and a free port.
class TTerminalProcess {
 public:
  // extraArgs go after --listen (--demo, --delay MS, ...). A failure to start fails the test.
  explicit TTerminalProcess(std::vector<std::string> extraArgs = {});
  ~TTerminalProcess();
  std::string PortText() const { return std::to_string(FPort); }

 private:
  TChildProcess FProcess;
  int FPort = 0;
};

// vantorixd with the given arguments (--port 0 unless told otherwise); the port is the one of the
// first "listening on" line, which is the IPv4 binding.
class TDaemonProcess {
 public:
  // env: environment entries for it ("NAME=value"); by default LC_ALL=C, so that the log's time
  // separator is ":".
  explicit TDaemonProcess(std::vector<std::string> args = {"--port", "0"},
                          std::vector<std::string> env = {"LC_ALL=C"});
  ~TDaemonProcess();
  std::uint16_t Port() const { return static_cast<std::uint16_t>(FPort); }
  TChildProcess& Process() { return FProcess; }
  // Standard output lines after the "listening on" lines, read until `part` shows up (that line
  // included) or the time runs out.
  std::vector<std::string> LinesThrough(const std::string& part,
                                        std::chrono::milliseconds timeout = kProcessWait);

 private:
  TChildProcess FProcess;
  int FPort = 0;
};

std::vector<std::string> DaemonCommand(std::vector<std::string> args);

}  // namespace vantorix::test
