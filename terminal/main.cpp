// vantorix-terminal: runs the simulated terminal until a stop request (SIGINT or SIGTERM; on
// Windows also Ctrl-C, Ctrl-Break or the process's stop event).
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <iostream>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "json/TextToInt.h"
#include "platform/Console.h"
#include "platform/StopRequest.h"
#include "terminal/TerminalServer.h"

namespace {

constexpr const char* kUsage =
    "usage: vantorix-terminal [--listen ADDR:PORT] [--key N] [--store FILE] [--demo]\n"
    "                         [--refuse USER:CODE] [--fail-deletions] [--drop-after N]\n"
    "                         [--delay MS] [--fail-saves]\n";

bool ParseInt(std::string_view text, long long low, long long high, long long& value) {
  const char* end = text.data() + text.size();
  auto result = std::from_chars(text.data(), end, value);
  return result.ec == std::errc() && result.ptr == end && value >= low && value <= high;
}

bool SplitLast(const std::string& text, std::string& head, std::string& tail) {
  auto colon = text.rfind(':');
  if (colon == std::string::npos) {
    return false;
  }
  head = text.substr(0, colon);
  tail = text.substr(colon + 1);
  return true;
}

std::u16string Ascii(const std::string& text) {
  std::u16string out;
  for (unsigned char c : text) {
    out.push_back(static_cast<char16_t>(c));
  }
  return out;
}

int Run(const std::vector<std::string>& args) {
  vantorix::TTerminalOptions options;
  struct TRefusal {
    std::u16string user;
    std::int32_t code;
  };
  std::vector<TRefusal> refusals;
  bool failDeletions = false;
  bool failSaves = false;
  long long dropAfter = -1;
  long long delay = 0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool hasValue = i + 1 < args.size();
    std::string value = hasValue ? args[i + 1] : "";
    long long number = 0;
    std::string head;
    std::string tail;
    if (arg == "--demo") {
      options.demo = true;
      continue;
    }
    if (arg == "--fail-deletions") {
      failDeletions = true;
      continue;
    }
    if (arg == "--fail-saves") {
      failSaves = true;
      continue;
    }
    if (!hasValue) {
      std::cerr << kUsage;
      return 2;
    }
    ++i;
    if (arg == "--listen" && SplitLast(value, head, tail) && ParseInt(tail, 0, 65535, number)) {
      if (head.size() >= 2 && head.front() == '[' && head.back() == ']') {
        head = head.substr(1, head.size() - 2);
      }
      options.host = head;
      options.port = static_cast<std::uint16_t>(number);
    } else if (arg == "--key" && vantorix::TryTextToInt(Ascii(value))) {
      // The same forms a client's "key" text may take (decimal, or hexadecimal after $ or 0x).
      options.commKey = *vantorix::TryTextToInt(Ascii(value));
    } else if (arg == "--store" && !value.empty()) {
      options.storePath = value;
    } else if (arg == "--refuse" && SplitLast(value, head, tail) &&
               ParseInt(tail, INT32_MIN, INT32_MAX, number)) {
      refusals.push_back({Ascii(head), static_cast<std::int32_t>(number)});
    } else if (arg == "--drop-after" && ParseInt(value, 0, INT32_MAX, number)) {
      dropAfter = number;
    } else if (arg == "--delay" && ParseInt(value, 0, 600'000, number)) {
      delay = number;
    } else {
      std::cerr << "vantorix-terminal: bad argument " << arg << " " << value << "\n" << kUsage;
      return 2;
    }
  }

  // Before any thread starts, so that only the watcher receives the stop signals.
  std::mutex stopLock;
  std::condition_variable stopChanged;
  bool stop = false;
  vantorix::TStopWatcher stopRequests([&] {
    std::lock_guard guard(stopLock);
    stop = true;
    stopChanged.notify_all();
  });

  vantorix::TTerminalServer server(options);
  for (const auto& refusal : refusals) {
    server.RefuseUser(refusal.user, refusal.code);
  }
  if (failDeletions) {
    server.FailDeletions(0);
  }
  server.FailSaves(failSaves);
  if (dropAfter >= 0) {
    server.DropAfter(static_cast<int>(dropAfter));
  }
  server.DelayAnswers(std::chrono::milliseconds(delay));
  server.Start();
  bool v6 = options.host.find(':') != std::string::npos;
  std::cout << "listening on " << (v6 ? "[" : "") << options.host << (v6 ? "]" : "") << ":"
            << server.Port() << std::endl;
  {
    std::unique_lock lock(stopLock);
    stopChanged.wait(lock, [&] { return stop; });
  }
  server.Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  vantorix::UseUtf8StandardStreams();
  try {
    return Run(vantorix::Utf8Arguments(argc, argv));
  } catch (const std::exception& e) {
    std::cerr << "vantorix-terminal: " << e.what() << "\n";
    return 1;
  }
}
