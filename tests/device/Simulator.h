// Test helpers: an in-process simulated terminal on a free loopback port, and temporary paths.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "platform/StopRequest.h"
#include "terminal/TerminalServer.h"

namespace vantorix::testing_support {

inline std::string TempStorePath(const std::string& name) {
  auto dir =
      std::filesystem::path(testing::TempDir()) / ("vtdev-" + std::to_string(CurrentProcessId()));
  std::filesystem::create_directories(dir);
  auto path = dir / name;
  std::filesystem::remove(path);
  return path.string();
}

inline std::u16string Utf16(const std::string& ascii) {
  return {ascii.begin(), ascii.end()};
}

// A running simulated terminal; stopped and joined on destruction.
struct TSimulator {
  explicit TSimulator(std::int32_t key = 0, std::string storePath = {}) {
    TTerminalOptions options;
    options.host = "127.0.0.1";
    options.port = 0;
    options.commKey = key;
    options.storePath = std::move(storePath);
    server = std::make_unique<TTerminalServer>(options);
    server->Start();
  }
  std::int32_t Port() const { return server->Port(); }
  std::u16string PortText() const { return Utf16(std::to_string(server->Port())); }
  // Sessions end on their own thread after the client closes; give them a moment.
  bool WaitNoSessions() const {
    for (int i = 0; i < 400 && server->OpenSessions() != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return server->OpenSessions() == 0;
  }
  std::unique_ptr<TTerminalServer> server;
};

// A port on 127.0.0.1 where nothing listens (bound, then released).
inline std::int32_t RefusedPort() {
  TLinkListenSocket probe("127.0.0.1", 0);
  return probe.Port();
}

}  // namespace vantorix::testing_support
