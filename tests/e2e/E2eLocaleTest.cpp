// vantorixd started in the Finnish locale: the log's times follow the user's regional settings
// ("14.07.09") on Linux and on Windows alike.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/e2e/support/Programs.h"
#include "tests/websocket/support/WsTestClient.h"

namespace vantorix::test {
namespace {

TEST(E2eLocaleTest, LogTimesUseTheRegionalTimeSeparator) {
  // No environment of its own: it runs in this test's Finnish one.
  TDaemonProcess daemon({"--port", "0", "--loopback"}, {});
  {
    TWsTestClient client("127.0.0.1", daemon.Port());
    ASSERT_TRUE(client.Open());
  }
  const std::vector<std::string> lines = daemon.LinesThrough("Client Connected!");
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(std::regex_match(
      lines.back(),
      std::regex(R"(\[SERVER\] - \d{4}-\d\d-\d\d \d\d\.\d\d\.\d\d: : Client Connected!)")))
      << lines.back();
}

}  // namespace
}  // namespace vantorix::test
