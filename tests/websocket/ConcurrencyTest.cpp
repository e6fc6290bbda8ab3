// Concurrency of the server and the I/O handler: connections coming and going during
// broadcasts, deactivation under load, concurrent writers, and Connected() beside a reader.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "tests/websocket/ServerTestSupport.h"
#include "tests/websocket/support/WsTestClient.h"
#include "websocket/FakeSockets.h"

namespace vantorix::test {
namespace {

// Sends text to every connection whose handshake is done, holding the Contexts lock for the
// whole loop as the dispatcher does.
void Broadcast(TCustomTCPServer& server, const std::u16string& text) {
  auto list = server.Contexts.Lock();
  for (TConnectionContext* c : list) {
    TIOHandler& io = *c->Connection->IOHandler;
    if (c->Connection->Connected() && io.Tag == kHandshakeDone) {
      TWebSocketIOHandlerHelper(io).WriteString(text);
    }
  }
}

struct TCountingServer {
  TCountingServer() {
    Server.OnConnect = [this](TConnectionContext*) { ++Connects; };
    Server.OnDisconnect = [this](TConnectionContext*) { ++Disconnects; };
    Server.OnExecute = [this](TConnectionContext* c) {
      TIOHandler& io = *c->Connection->IOHandler;
      io.CheckForData(10);
      const std::u16string text = TWebSocketIOHandlerHelper(io).ReadString();
      if (!text.empty())
        Broadcast(Server, text);
    };
  }
  std::atomic<int> Connects{0};
  std::atomic<int> Disconnects{0};
  TWebSocketServer Server;  // last: its threads stop before the counters go
};

bool IsWholeMessage(const std::string& text) {
  // Messages are "m" + digits + "-" + the same count of 'x'.
  const std::size_t dash = text.find('-');
  if (text.empty() || text[0] != 'm' || dash == std::string::npos)
    return false;
  const std::size_t n = std::stoul(text.substr(1, dash - 1));
  return text.size() == dash + 1 + n && text.find_first_not_of('x', dash + 1) == std::string::npos;
}

std::u16string Message(int i) {
  const int n = (i * 7919) % 3000;
  std::string s = "m" + std::to_string(n) + "-" + std::string(static_cast<std::size_t>(n), 'x');
  return std::u16string(s.begin(), s.end());
}

TEST(WebSocketConcurrency, ConnectionsComeAndGoWhileBroadcastsRun) {
  TCountingServer s;
  const std::uint16_t port = StartOnLoopback(s.Server);
  std::atomic<bool> stop{false};
  std::atomic<int> badFrames{0};
  std::atomic<int> framesSeen{0};
  std::thread broadcaster([&] {
    for (int i = 0; !stop; ++i) {
      Broadcast(s.Server, Message(i));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::vector<std::thread> clients;
  for (int t = 0; t < 6; ++t) {
    clients.emplace_back([&, t] {
      for (int round = 0; round < 15; ++round) {
        TWsTestClient client("127.0.0.1", port);
        if (round % 3 == 2)
          continue;  // a TCP connection that never upgrades
        if (!client.Open()) {
          ++badFrames;
          continue;
        }
        if (t % 2 == 0)
          client.SendText("m3-xxx");
        for (int k = 0; k < 5; ++k) {
          auto frame = client.ReadFrame(2000);
          if (!frame)
            break;
          ++framesSeen;
          if (frame->Opcode != 1 || !IsWholeMessage(frame->Text()))
            ++badFrames;
        }
        if (round % 2 == 0)
          client.Reset();
      }
    });
  }
  for (auto& c : clients)
    c.join();
  stop = true;
  broadcaster.join();
  EXPECT_EQ(badFrames, 0);
  EXPECT_GT(framesSeen, 0);
  // Connections closed at once by their client may still wait in the backlog.
  ASSERT_TRUE(Eventually([&] { return s.Connects == 6 * 15 && s.Disconnects == s.Connects; }));
  EXPECT_EQ(s.Server.Contexts.Lock().Count(), 0u);
}

TEST(WebSocketConcurrency, DeactivationUnderLoadEndsEveryConnectionAndCanRestart) {
  TCountingServer s;
  const std::uint16_t port = StartOnLoopback(s.Server);
  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&] {
      while (!stop) {
        try {
          TWsTestClient client("127.0.0.1", port, 1000);
          if (client.Open("dGhlIHNhbXBsZSBub25jZQ==", 1000)) {
            client.SendText("m1-x");
            client.ReadFrame(200);
          }
        } catch (const std::runtime_error&) {
          // refused once the listener is gone
        }
      }
    });
  }
  std::thread broadcaster([&] {
    for (int i = 0; !stop; ++i)
      Broadcast(s.Server, Message(i));
  });
  ASSERT_TRUE(Eventually([&] { return s.Connects > 20; }, 20000));
  s.Server.SetActive(false);
  EXPECT_EQ(s.Server.Contexts.Lock().Count(), 0u);
  EXPECT_EQ(s.Disconnects, s.Connects) << "every connection thread ended with its disconnect";
  stop = true;
  for (auto& c : clients)
    c.join();
  broadcaster.join();
  s.Server.SetActive(true);
  TWsTestClient again("127.0.0.1", s.Server.Bindings[0]->BoundPort);
  EXPECT_TRUE(again.Open());
}

TEST(WebSocketConcurrency, FramesOfConcurrentWritersNeverInterleave) {
  TCountingServer s;
  const std::uint16_t port = StartOnLoopback(s.Server);
  TWsTestClient client("127.0.0.1", port);
  ASSERT_TRUE(client.Open());
  ASSERT_TRUE(Eventually([&] {
    auto list = s.Server.Contexts.Lock();
    return list.Count() == 1 && list[0]->Connection->IOHandler->Tag == kHandshakeDone;
  }));
  TIOHandler* io = nullptr;
  {
    auto list = s.Server.Contexts.Lock();
    io = list[0]->Connection->IOHandler.get();
  }
  // Writers outside the Contexts lock: the handler itself keeps each frame whole.
  std::vector<std::thread> writers;
  for (char fill : {'a', 'b', 'c'}) {
    writers.emplace_back([io, fill] {
      const std::u16string text(100000, static_cast<char16_t>(fill));
      for (int i = 0; i < 10; ++i)
        TWebSocketIOHandlerHelper(*io).WriteString(text);
    });
  }
  int frames = 0;
  for (; frames < 30; ++frames) {
    auto frame = client.ReadFrame(10000);
    ASSERT_TRUE(frame.has_value());
    const std::string text = frame->Text();
    ASSERT_EQ(text.size(), 100000u);
    EXPECT_EQ(text.find_first_not_of(text[0]), std::string::npos);
  }
  for (auto& w : writers)
    w.join();
  EXPECT_EQ(frames, 30);
}

TEST(WebSocketConcurrency, ConnectedFromAnotherThreadNeverStealsTheReadersWakeUp) {
  for (int round = 0; round < 50; ++round) {
    auto pair = MakeMemorySocketPair();
    TIOHandler handler(std::move(pair.Server));
    std::atomic<bool> stop{false};
    std::thread prober([&] {
      while (!stop)
        handler.Connected();
    });
    auto reader = std::async(std::launch::async, [&] { return handler.ReadByte(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::uint8_t byte = 'k';
    pair.Client->Send(&byte, 1);
    const bool done = reader.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    stop = true;
    prober.join();
    if (!done)
      handler.Close();  // wakes the reader so the test can end
    ASSERT_TRUE(done) << "round " << round;
    EXPECT_EQ(reader.get(), 'k');
  }
}

}  // namespace
}  // namespace vantorix::test
