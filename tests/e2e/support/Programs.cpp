// Starting and stopping vantorix-terminal and vantorixd for end-to-end tests.
#include "tests/e2e/support/Programs.h"

#include <gtest/gtest.h>

namespace vantorix::test {
namespace {

std::vector<std::string> TerminalCommand(std::vector<std::string> extraArgs) {
  std::vector<std::string> argv = {VANTORIX_TERMINAL_PATH, "--listen", "127.0.0.1:0"};
  argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
  return argv;
}

void Stop(TChildProcess& process) {
  process.RequestStop();
  if (!process.WaitExit(kProcessWait)) {
    ADD_FAILURE() << "process " << process.Pid() << " did not end on a stop request";
  }
}

}  // namespace

std::vector<std::string> DaemonCommand(std::vector<std::string> args) {
  args.insert(args.begin(), VANTORIXD_PATH);
  return args;
}

TTerminalProcess::TTerminalProcess(std::vector<std::string> extraArgs)
    : FProcess(TerminalCommand(std::move(extraArgs))) {
  const std::optional<int> port = WaitForListeningPort(FProcess, kProcessWait);
  EXPECT_TRUE(port) << "vantorix-terminal did not start";
  FPort = port.value_or(0);
}

TTerminalProcess::~TTerminalProcess() {
  Stop(FProcess);
}

TDaemonProcess::TDaemonProcess(std::vector<std::string> args, std::vector<std::string> env)
    : FProcess(DaemonCommand(std::move(args)), /*mergeStderr=*/true, env) {
  const std::optional<int> port = WaitForListeningPort(FProcess, kProcessWait);
  EXPECT_TRUE(port) << "vantorixd did not start";
  FPort = port.value_or(0);
}

TDaemonProcess::~TDaemonProcess() {
  std::optional<int> status = FProcess.WaitExit(std::chrono::milliseconds(0));
  if (!status) {
    FProcess.RequestStop();
    status = FProcess.WaitExit(kProcessWait);
  }
  // A clean shutdown exits 0; a sanitizer report makes the exit status non-zero.
  EXPECT_EQ(status, std::optional<int>(0)) << "vantorixd did not shut down cleanly";
}

std::vector<std::string> TDaemonProcess::LinesThrough(const std::string& part,
                                                      std::chrono::milliseconds timeout) {
  std::vector<std::string> lines;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return lines;
    }
    std::optional<std::string> line = FProcess.ReadLine(left);
    if (!line) {
      return lines;
    }
    if (line->rfind("listening on ", 0) == 0) {
      continue;
    }
    lines.push_back(*line);
    if (line->find(part) != std::string::npos) {
      return lines;
    }
  }
}

}  // namespace vantorix::test
