// Concurrency tests of the simulated terminal (run under ThreadSanitizer too).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "terminal/TerminalServer.h"
#include "tests/terminal/LinkClient.h"

namespace vantorix {
namespace {

using TClock = std::chrono::steady_clock;

// Stop wakes sessions blocked in a read or in an answer delay and joins every thread promptly.
TEST(TerminalServerTest, StopEndsBusySessions) {
  TTerminalOptions options;
  options.port = 0;
  TTerminalServer server(options);
  server.Start();
  TLinkRequest hello;
  hello.op = TLinkOp::kHello;
  TLinkClient idle(server.Port());
  ASSERT_TRUE(idle.Call(hello).value().ok);
  TLinkClient delayed(server.Port());
  ASSERT_TRUE(delayed.Call(hello).value().ok);
  server.DelayAnswers(std::chrono::seconds(60));
  std::thread caller([&] { EXPECT_FALSE(delayed.Call(TLinkOp::kRefresh).has_value()); });
  while (server.RequestCount() < 3) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  auto start = TClock::now();
  server.Stop();
  caller.join();
  EXPECT_LT(TClock::now() - start, std::chrono::seconds(30)) << "not the 60 s delay";
  EXPECT_EQ(server.OpenSessions(), 0);
  EXPECT_FALSE(idle.Call(TLinkOp::kRefresh).has_value());
}

}  // namespace
}  // namespace vantorix
