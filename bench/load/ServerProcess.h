// A server under load, run as a child process: started on port 0, its port learnt from its
// "listening on ADDR:PORT" line, its output drained, its memory and CPU time read from /proc.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vantorix {

class TServerProcess {
 public:
  // Starts argv (argv[0] is looked up in PATH when it has no slash) with standard output and
  // standard error on a pipe that a thread of this object reads to the end, and waits at most
  // `wait` for the first "listening on ADDR:PORT" line. Throws EBenchError when the program
  // cannot start, ends, or prints no such line in time (its output so far is in the message).
  TServerProcess(std::string name, const std::vector<std::string>& argv,
                 std::chrono::milliseconds wait = std::chrono::seconds(20));
  // SIGTERM, then SIGKILL when the program has not ended within 10 s; reaps it.
  ~TServerProcess();
  TServerProcess(const TServerProcess&) = delete;
  TServerProcess& operator=(const TServerProcess&) = delete;

  const std::string& Name() const { return FName; }
  std::uint16_t Port() const { return FPort; }
  pid_t Pid() const { return FPid; }
  // Whether the program still runs (it has not been reaped, nor is a zombie).
  bool Running() const;

  // Resident memory in bytes (VmRSS), 0 once the program has ended.
  std::uint64_t ResidentBytes() const;
  // Threads of the program.
  int Threads() const;
  // User plus system CPU time of the whole program so far, ended threads included.
  std::chrono::nanoseconds CpuTime() const;

 private:
  void Stop();
  void Drain();
  std::string StatusField(const char* name) const;

  std::string FName;
  pid_t FPid = -1;
  int FOut = -1;
  std::uint16_t FPort = 0;
  std::thread FDrain;
  std::mutex FLock;
  std::condition_variable FChanged;
  std::string FHead;  // output up to the "listening on" line, for the error message
  bool FListening = false;
  bool FEnded = false;
};

}  // namespace vantorix
