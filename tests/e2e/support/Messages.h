// What the end-to-end tests send and expect: status messages, device entries, the getfromdevice
// command, and reading a run of replies.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tests/websocket/support/WsTestClient.h"

namespace vantorix::test {

inline std::string Start(const std::string& state, const std::string& remark) {
  return "{\"status\":\"start\", \"state\":\"" + state + "\", \"remarks\":\"" + remark + "\"}";
}
inline std::string Finish(const std::string& state, const std::string& remark) {
  return "{\"status\":\"finish\", \"state\":\"" + state + "\", \"remarks\":\"" + remark + "\"}";
}
inline std::string Device(const std::string& port, const std::string& ip = "127.0.0.1") {
  return "{\"ip\":\"" + ip + "\",\"port\":\"" + port + "\",\"key\":\"0\"}";
}
inline std::string GetFrom(const std::string& state, const std::string& port) {
  return R"({"act":"getfromdevice","state":")" + state + R"(","ip":"127.0.0.1","port":")" + port +
         R"(","key":"0"})";
}

// The next n text messages; one that does not come within timeoutMs shows as "<none>".
inline std::vector<std::string> Read(TWsTestClient& client, std::size_t n, int timeoutMs = 10000) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(client.ReadText(timeoutMs).value_or("<none>"));
  }
  return out;
}

}  // namespace vantorix::test
