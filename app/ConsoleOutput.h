// Where vantorixd's console text goes: an output that is written in bounded waits, so that a
// reader who stops reading can never hold up the program; standard output on POSIX behind it.
#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>

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

}  // namespace vantorix
