// Child process start, output drain and /proc readings for a server under load.
#include "bench/load/ServerProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>

#include "bench/load/WsFrames.h"

extern char** environ;

namespace vantorix {

namespace {

constexpr std::string_view kListening = "listening on ";

std::string ProcFile(pid_t pid, const char* name) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/" + name);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace

TServerProcess::TServerProcess(std::string name, const std::vector<std::string>& argv,
                               std::chrono::milliseconds wait)
    : FName(std::move(name)) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    throw EBenchError(FName + ": pipe: " + std::strerror(errno));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  const int error = ::posix_spawnp(&FPid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  FOut = fds[0];
  if (error != 0) {
    ::close(FOut);
    throw EBenchError(FName + ": cannot start " + argv[0] + ": " + std::strerror(error));
  }
  FDrain = std::thread([this] { Drain(); });
  std::unique_lock lock(FLock);
  if (!FChanged.wait_for(lock, wait, [this] { return FListening || FEnded; }) || !FListening) {
    const std::string head = FHead;
    lock.unlock();
    Stop();
    throw EBenchError(FName + ": no \"listening on\" line; its output:\n" + head);
  }
}

TServerProcess::~TServerProcess() {
  Stop();
}

void TServerProcess::Stop() {
  if (FPid > 0) {
    ::kill(FPid, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (::waitpid(FPid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    FPid = -1;
  }
  if (FDrain.joinable()) {
    FDrain.join();
  }
  if (FOut >= 0) {
    ::close(FOut);
    FOut = -1;
  }
}

void TServerProcess::Drain() {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(FOut, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    std::lock_guard lock(FLock);
    if (FListening) {
      continue;
    }
    FHead.append(buffer, static_cast<std::size_t>(n));
    const std::size_t at = FHead.find(kListening);
    const std::size_t end = at == std::string::npos ? at : FHead.find('\n', at);
    if (end != std::string::npos) {
      // ADDR:PORT; the port is what follows the last colon (ADDR may be IPv6).
      std::string_view line(FHead.data() + at, end - at);
      if (line.ends_with('\r')) {
        line.remove_suffix(1);
      }
      const std::string_view port = line.substr(line.rfind(':') + 1);
      unsigned value = 0;
      const auto [last, error] = std::from_chars(port.data(), port.data() + port.size(), value);
      FListening =
          error == std::errc() && last == port.data() + port.size() && value > 0 && value <= 65535;
      FPort = static_cast<std::uint16_t>(value);
      FEnded = !FListening;  // a line this harness cannot read: give up waiting
      FChanged.notify_all();
    }
  }
  std::lock_guard lock(FLock);
  FEnded = true;
  FChanged.notify_all();
}

bool TServerProcess::Running() const {
  const std::string stat = ProcFile(FPid, "stat");
  const std::size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

std::string TServerProcess::StatusField(const char* name) const {
  std::istringstream status(ProcFile(FPid, "status"));
  const std::string prefix = std::string(name) + ":";
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(prefix)) {
      return line.substr(prefix.size());
    }
  }
  return {};
}

std::uint64_t TServerProcess::ResidentBytes() const {
  const std::string kb = StatusField("VmRSS");
  return kb.empty() ? 0 : std::stoull(kb) * 1024;
}

int TServerProcess::Threads() const {
  const std::string threads = StatusField("Threads");
  return threads.empty() ? 0 : std::stoi(threads);
}

std::chrono::nanoseconds TServerProcess::CpuTime() const {
  // Fields 14 and 15 of /proc/PID/stat, counted after the command name in parentheses.
  const std::string stat = ProcFile(FPid, "stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) {
    return {};
  }
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  unsigned long long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i >= 14) {
      ticks += std::stoull(field);
    }
  }
  const long perSecond = ::sysconf(_SC_CLK_TCK);
  return std::chrono::nanoseconds(ticks * 1'000'000'000ULL /
                                  static_cast<unsigned long long>(perSecond));
}

}  // namespace vantorix
