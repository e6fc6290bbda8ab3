// The console output on a POSIX file descriptor: poll, then a write small enough not to block.
#include "platform/ConsoleOutput.h"

#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <system_error>

namespace vantorix {
namespace {

// A regular file always polls writable and its writes finish on their own.
constexpr std::size_t kFileChunk = std::size_t{1} << 20;

[[noreturn]] void ThrowErrno(int error, const char* what) {
  throw std::system_error(error, std::generic_category(), what);
}

// write() with SIGPIPE held back for this thread, so a reader that has gone gives EPIPE rather
// than ending the program; the signal that write raised is taken before the mask is restored.
ssize_t WriteWithoutSigpipe(int fd, const char* data, std::size_t size) {
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  const ssize_t written = ::write(fd, data, size);
  const int error = errno;
  if (written < 0 && error == EPIPE && !sigismember(&previous, SIGPIPE)) {
    const timespec none{0, 0};
    sigtimedwait(&pipeSignal, nullptr, &none);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return written;
}

}  // namespace

TDescriptorOutput::TDescriptorOutput(int fd) : FFd(fd), FChunk(PIPE_BUF) {
  struct stat status {};
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
    FChunk = kFileChunk;
  }
}

std::size_t TDescriptorOutput::Write(std::string_view bytes, std::chrono::milliseconds wait) {
  pollfd ready{FFd, POLLOUT, 0};
  const int count = ::poll(&ready, 1, static_cast<int>(std::max<long long>(0, wait.count())));
  if (count < 0) {
    if (errno == EINTR) {
      return 0;
    }
    ThrowErrno(errno, "poll");
  }
  if (count == 0) {
    return 0;
  }
  if ((ready.revents & POLLNVAL) != 0) {
    ThrowErrno(EBADF, "poll");
  }
  // POLLERR and POLLHUP are left to write, which says what went wrong.
  const ssize_t written = WriteWithoutSigpipe(FFd, bytes.data(), std::min(bytes.size(), FChunk));
  if (written < 0) {
    if (errno == EINTR || errno == EAGAIN) {
      return 0;
    }
    ThrowErrno(errno, "write");
  }
  return static_cast<std::size_t>(written);
}

std::unique_ptr<TConsoleOutput> OpenStandardOutput() {
  return std::make_unique<TDescriptorOutput>(STDOUT_FILENO);
}

}  // namespace vantorix
