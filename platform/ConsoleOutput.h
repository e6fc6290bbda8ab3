// Where vantorixd's console text goes: an output that is written in bounded waits, so that a
// reader who stops reading can never hold up the program; standard output behind it (a file
// descriptor on POSIX, a file handle on Windows).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace vantorix {

// A byte output written a piece at a time.
// Threading: one caller at a time (the console writer's thread).
// Failure: a Write that cannot take anything within its wait gives 0; an output that is gone for
// good (its reader closed it, a descriptor that is not open) raises std::system_error, and every
// later Write may raise it again.
class TConsoleOutput {
 public:
  virtual ~TConsoleOutput() = default;
  // Writes a prefix of bytes (not empty) and gives its length: waits at most `wait` for the
  // output to take anything, and never longer than that for what it takes.
  virtual std::size_t Write(std::string_view bytes, std::chrono::milliseconds wait) = 0;
};

#ifndef _WIN32
// An open file descriptor such as standard output, which it does not own or close. Waits with
// poll, then writes no more than the descriptor is known to take without blocking: PIPE_BUF
// bytes for a pipe, terminal or socket (what poll's "writable" promises on a pipe), more for a
// regular file. A reader that has gone raises std::system_error (EPIPE) instead of SIGPIPE.
class TDescriptorOutput final : public TConsoleOutput {
 public:
  explicit TDescriptorOutput(int fd);
  std::size_t Write(std::string_view bytes, std::chrono::milliseconds wait) override;

 private:
  int FFd;
  std::size_t FChunk;
};
#else
// An open file handle such as standard output, which it does not own or close. Windows cannot
// wait for a pipe to take bytes, so a thread of its own writes each piece: Write hands a piece
// over once the previous one is written (waiting at most `wait` for that), and the piece counts
// as taken. A console is written in UTF-16 (WriteConsoleW), so that UTF-8 text shows whatever the
// console's code page; pieces for it end at a character boundary. A write that failed raises
// std::system_error (the Win32 code) from the next Write on. The destructor cancels a write that
// the reader never takes (CancelSynchronousIo) and joins the thread.
class THandleOutput final : public TConsoleOutput {
 public:
  explicit THandleOutput(void* handle);
  ~THandleOutput() override;
  THandleOutput(const THandleOutput&) = delete;
  THandleOutput& operator=(const THandleOutput&) = delete;
  std::size_t Write(std::string_view bytes, std::chrono::milliseconds wait) override;

 private:
  void Run();

  void* const FHandle;
  const bool FConsole;
  std::mutex FMutex;
  std::condition_variable FChanged;
  std::string FPiece;
  bool FBusy = false;  // FPiece is being written
  bool FStop = false;
  bool FEnded = false;  // the thread no longer writes
  unsigned long FError = 0;
  unsigned long FThreadId = 0;
  std::thread FThread;
};
#endif

// The process's standard output, not owned (it stays open).
std::unique_ptr<TConsoleOutput> OpenStandardOutput();

}  // namespace vantorix
