// Child processes on POSIX: posix_spawn, a pipe read with poll, signals, waitpid.
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

#include "platform/StopRequest.h"
#include "tests/e2e/support/ChildProcess.h"

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
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  }
  FPid = static_cast<unsigned long>(pid);
  FOut = fds[0];
}

TChildProcess::~TChildProcess() {
  if (!FReaped) {
    kill(static_cast<pid_t>(FPid), SIGKILL);
    int status = 0;
    waitpid(static_cast<pid_t>(FPid), &status, 0);
  }
  close(FOut);
}

void TChildProcess::ReadSome(std::chrono::milliseconds timeout) {
  pollfd p{FOut, POLLIN, 0};
  const int ready = poll(&p, 1, static_cast<int>(timeout.count()));
  if (ready <= 0) {
    return;  // time-out, or EINTR: the caller looks again
  }
  char chunk[4096];
  const ssize_t got = read(FOut, chunk, sizeof chunk);
  if (got > 0) {
    FBuffer.append(chunk, static_cast<std::size_t>(got));
  } else if (got == 0 || errno != EINTR) {
    FEof = true;
  }
}

bool TChildProcess::Ended() {
  if (!FReaped) {
    int status = 0;
    if (waitpid(static_cast<pid_t>(FPid), &status, WNOHANG) != static_cast<pid_t>(FPid)) {
      return false;
    }
    FReaped = true;
    FStatus = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  }
  return true;
}

bool TChildProcess::RequestStop() {
  return !FReaped && vantorix::RequestStop(FPid);
}

void TChildProcess::Signal(int signalNumber) {
  if (!FReaped) {
    kill(static_cast<pid_t>(FPid), signalNumber);
  }
}

}  // namespace vantorix::test
