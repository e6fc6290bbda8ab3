// A program started as a child process for end-to-end tests: its standard output read line by
// line with a time-out, stop requests (and signals on POSIX), and a bounded wait for its exit.
// posix_spawn and a pipe on POSIX; CreateProcessW and an anonymous pipe on Windows.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vantorix::test {

class TChildProcess {
 public:
  // Starts argv[0] with the arguments argv[1...] and this process's environment plus
  // extraEnv ("NAME=value" entries, which win); its standard output goes to a pipe read by
  // ReadLine, and so does its standard error with mergeStderr (else it is inherited). Throws
  // std::runtime_error when it cannot start.
  explicit TChildProcess(const std::vector<std::string>& argv, bool mergeStderr = false,
                         const std::vector<std::string>& extraEnv = {});
  // Kills the child (SIGKILL, TerminateProcess) when it is still running and reaps it.
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // The next line of standard output without its LF (and a CR before it), or nothing when no
  // whole line arrives within timeout or the output has ended.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);

  // Reads lines until one contains `part`, for at most timeout altogether; the lines read before
  // it are appended to *skipped when given. Gives the matching line or nothing.
  std::optional<std::string> WaitForLine(const std::string& part, std::chrono::milliseconds timeout,
                                         std::vector<std::string>* skipped = nullptr);

  // Asks the child to stop as an operator would (platform/StopRequest: SIGTERM on POSIX, the
  // child's stop event on Windows). False when it cannot be asked (it has ended, or has no stop
  // watcher yet).
  bool RequestStop();
#ifndef _WIN32
  void Signal(int signalNumber);
#endif

  // Waits at most timeout for the child to end. Gives its exit status (on POSIX 128 + signal
  // number when a signal ended it) or nothing when it is still running. Its output is read
  // meanwhile (and kept for ReadLine) unless readOutput is false, which leaves a full pipe full.
  std::optional<int> WaitExit(std::chrono::milliseconds timeout, bool readOutput = true);

  unsigned long Pid() const {
    return FPid;
  }

 private:
  // Appends what the output has to FBuffer, waiting at most timeout for it; sets FEof at the
  // output's end.
  void ReadSome(std::chrono::milliseconds timeout);
  // Whether the child has ended; when it has, FStatus holds its exit status.
  bool Ended();

  unsigned long FPid = 0;
#ifdef _WIN32
  void* FProcess = nullptr;
  void* FOut = nullptr;
#else
  int FOut = -1;
#endif
  bool FReaped = false;
  int FStatus = 0;
  std::string FBuffer;
  bool FEof = false;
};

// The port of the first "listening on ADDR:PORT" line of a server's output, read within timeout;
// nothing when no such line comes.
std::optional<int> WaitForListeningPort(TChildProcess& child, std::chrono::milliseconds timeout);

}  // namespace vantorix::test
