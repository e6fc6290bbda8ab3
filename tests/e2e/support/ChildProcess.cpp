// Child processes for end-to-end tests, started with posix_spawn and read through a pipe.
#include "tests/e2e/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <thread>

extern char** environ;

namespace vantorix::test {

TChildProcess::TChildProcess(const std::vector<std::string>& argv, bool mergeStderr,
                             const std::vector<std::string>& extraEnv) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  if (mergeStderr) {
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
  }
  std::vector<char*> args;
  for (const std::string& a : argv) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);
  std::vector<char*> env;
  for (const std::string& e : extraEnv) {
    env.push_back(const_cast<char*>(e.c_str()));
  }
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    bool overridden = false;
    for (const std::string& extra : extraEnv) {
      const std::size_t eq = extra.find('=');
      overridden = overridden || entry.substr(0, entry.find('=')) == extra.substr(0, eq);
    }
    if (!overridden) {
      env.push_back(*e);
    }
  }
  env.push_back(nullptr);
  const int rc = posix_spawn(&FPid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  }
  FOut = fds[0];
}

TChildProcess::~TChildProcess() {
  if (!FReaped) {
    kill(FPid, SIGKILL);
    waitpid(FPid, &FStatus, 0);
  }
  close(FOut);
}

std::optional<std::string> TChildProcess::ReadLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const std::size_t lf = FBuffer.find('\n');
    if (lf != std::string::npos) {
      std::string line = FBuffer.substr(0, lf);
      FBuffer.erase(0, lf + 1);
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      return line;
    }
    if (FEof) {
      return std::nullopt;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return std::nullopt;
    }
    pollfd p{FOut, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      return std::nullopt;
    }
    char chunk[4096];
    const ssize_t got = read(FOut, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      FEof = true;
      continue;
    }
    FBuffer.append(chunk, static_cast<std::size_t>(got));
  }
}

std::optional<std::string> TChildProcess::WaitForLine(const std::string& part,
                                                      std::chrono::milliseconds timeout,
                                                      std::vector<std::string>* skipped) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return std::nullopt;
    }
    std::optional<std::string> line = ReadLine(left);
    if (!line) {
      return std::nullopt;
    }
    if (line->find(part) != std::string::npos) {
      return line;
    }
    if (skipped != nullptr) {
      skipped->push_back(*line);
    }
  }
}

void TChildProcess::Signal(int signalNumber) {
  if (!FReaped) {
    kill(FPid, signalNumber);
  }
}

std::optional<int> TChildProcess::WaitExit(std::chrono::milliseconds timeout, bool readOutput) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!FReaped) {
    const pid_t done = waitpid(FPid, &FStatus, WNOHANG);
    if (done == FPid) {
      FReaped = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return std::nullopt;
    }
    // Keep reading its output meanwhile, so that a child writing more than the pipe holds
    // can still end; the lines stay available to ReadLine.
    pollfd p{FOut, POLLIN, 0};
    if (!readOutput) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } else if (!FEof && poll(&p, 1, 10) > 0) {
      char chunk[4096];
      const ssize_t got = read(FOut, chunk, sizeof chunk);
      if (got > 0) {
        FBuffer.append(chunk, static_cast<std::size_t>(got));
      } else if (got == 0) {
        FEof = true;
      }
    } else if (FEof) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (WIFSIGNALED(FStatus)) {
    return 128 + WTERMSIG(FStatus);
  }
  return WEXITSTATUS(FStatus);
}

std::optional<int> WaitForListeningPort(TChildProcess& child, std::chrono::milliseconds timeout) {
  const std::optional<std::string> line = child.WaitForLine("listening on ", timeout);
  if (!line) {
    return std::nullopt;
  }
  const std::size_t colon = line->rfind(':');
  if (colon == std::string::npos) {
    return std::nullopt;
  }
  try {
    return std::stoi(line->substr(colon + 1));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace vantorix::test
