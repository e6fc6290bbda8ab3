// Child processes for end-to-end tests: what is the same on every system.
#include "tests/e2e/support/ChildProcess.h"

#include <thread>

namespace vantorix::test {
namespace {

std::chrono::milliseconds Left(std::chrono::steady_clock::time_point deadline) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                               std::chrono::steady_clock::now());
}

}  // namespace

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
    if (FEof || Left(deadline).count() <= 0) {
      return std::nullopt;
    }
    ReadSome(Left(deadline));
  }
}

std::optional<std::string> TChildProcess::WaitForLine(const std::string& part,
                                                      std::chrono::milliseconds timeout,
                                                      std::vector<std::string>* skipped) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (Left(deadline).count() <= 0) {
      return std::nullopt;
    }
    std::optional<std::string> line = ReadLine(Left(deadline));
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

std::optional<int> TChildProcess::WaitExit(std::chrono::milliseconds timeout, bool readOutput) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!Ended()) {
    if (Left(deadline).count() <= 0) {
      return std::nullopt;
    }
    // Keep reading its output meanwhile, so that a child writing more than the pipe holds can
    // still end; the lines stay available to ReadLine.
    if (readOutput && !FEof) {
      ReadSome(std::chrono::milliseconds(10));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return FStatus;
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
