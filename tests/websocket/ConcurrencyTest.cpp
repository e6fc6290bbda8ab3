// Concurrency of the server and the I/O handler: connections coming and going during
// broadcasts, deactivation under load, concurrent writers, Connected() beside a reader, and a
// broadcast meeting a handshake that is being answered.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/websocket/ServerTestSupport.h"
#include "tests/websocket/StepTestSupport.h"
#include "tests/websocket/support/WsTestClient.h"
#include "websocket/FakeSockets.h"
#include "websocket/SendQueue.h"
#include "websocket/WebSocketFrames.h"

namespace vantorix::test {
namespace {

TSharedBytes TextFrame(const std::string& text) {
  return std::make_shared<const TBytes>(
      EncodeTextFrame(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())));
}

// Sends text to every upgraded connection, as the dispatcher does.
void Broadcast(TWebSocketServer& server, const std::u16string& text) {
  server.SendToAll(TextFrame(std::string(text.begin(), text.end())));
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
        if (round % 3 == 2) {
          // Never upgrades: no broadcast frame may reach it.
          if (!client.ReadAvailable(30).empty())
            ++badFrames;
          continue;
        }
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

// A command that fails ends its connection with a close frame (1007); broadcasts running all the
// while must never put a frame behind it.
TEST(WebSocketConcurrency, NoBroadcastFrameFollowsTheCloseOfAFailedCommand) {
  TCountingServer s;
  s.Server.OnExecute = [&s](TConnectionContext* c) {
    TIOHandler& io = *c->Connection->IOHandler;
    io.CheckForData(10);
    if (TWebSocketIOHandlerHelper(io).ReadString() == u"fail")
      throw std::invalid_argument("invalid");
  };
  const std::uint16_t port = StartOnLoopback(s.Server);
  std::atomic<bool> stop{false};
  std::thread broadcaster([&] {
    for (int i = 0; !stop; ++i) {
      Broadcast(s.Server, Message(i));
#ifdef _WIN32
      // Under wine the client reads far slower than this loop queues; unpaced, its backlog
      // passes the send limit and the server rightly gives it up before the close is sent.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
#endif
    }
  });
  int framesAfterClose = 0;
  for (int round = 0; round < 20; ++round) {
    TWsTestClient client("127.0.0.1", port);
    ASSERT_TRUE(client.Open());
    client.SendText("fail");
    std::optional<TWsFrame> frame;
    while ((frame = client.ReadFrame(10000)) && frame->Opcode != 8) {
    }
    ASSERT_TRUE(frame.has_value()) << "no close frame";
    EXPECT_EQ(frame->CloseCode(), 1007);
    while (client.ReadFrame(10000))
      ++framesAfterClose;
    EXPECT_TRUE(client.IsClosed());
  }
  stop = true;
  broadcaster.join();
  EXPECT_EQ(framesAfterClose, 0);
}

bool Is101(const std::uint8_t* data, std::size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size).rfind("HTTP/1.1 101", 0) == 0;
}

// The app's broadcast holds the Contexts lock for its whole loop and writes only to connections
// whose handshake is done (Tag 1). One that comes while the 101 response is being handed to the
// socket must not find the connection with its 101 sent and Tag not yet 1: it would skip a
// client that is ready, and that client would miss the message.
TEST(WebSocketConcurrency, BroadcastDuringTheHandshakeAnswerReachesTheClientAfterThe101) {
  std::thread broadcaster;
  std::atomic<bool> started{false};
  std::promise<void> decided;  // the broadcaster has looked at Tag, or found the lock held
  std::atomic<int> tagSeen{0};
  TStepFixture* fixture = nullptr;
  TFaultPlan plan;
  plan.AfterSend = [&](const std::uint8_t* data, std::size_t size) {
    if (!Is101(data, size) || started.exchange(true))
      return;
    broadcaster = std::thread([&] {
      TContextList& contexts = fixture->Server.Contexts;
      TIOHandler& io = fixture->Io();
      const bool wasFree = contexts.TryLockList();
      if (!wasFree) {
        decided.set_value();  // the handshake step goes on and releases the lock
        contexts.LockList();
      }
      const int tag = io.Tag;
      tagSeen = tag;
      if (wasFree)
        decided.set_value();  // before writing: the step still holds the write lock
      if (tag == kHandshakeDone)
        TWebSocketIOHandlerHelper(io).WriteString(u"hi");
      contexts.UnlockList();
    });
    // Hold the step here until the broadcaster has either run its check or is queued on the
    // lock, so the outcome does not depend on which thread the scheduler runs first.
    decided.get_future().wait();
  };
  TStepFixture f(std::move(plan));
  fixture = &f;
  f.Server.DoConnect(f.Context.get());
  f.Send(kRequest);
  EXPECT_TRUE(f.Server.DoExecute(f.Context.get()));
  ASSERT_TRUE(started) << "no 101 response was written";
  broadcaster.join();
  EXPECT_EQ(tagSeen, kHandshakeDone) << "the broadcast saw the connection between 101 and Tag 1";
  EXPECT_EQ(f.Received(), kResponse + "\x81\x02hi");
}

// A client that does not read its 101 holds nobody: the answer is queued, the step goes on at
// once with the Contexts lock free, and closing the connection ends the wait for the client.
TEST(WebSocketConcurrency, AnAnswerTheClientDoesNotTakeHoldsNeitherTheStepNorTheLock) {
  // Room for the whole request; the server's direction is filled up to 16 bytes short, so the
  // answer gets 16 bytes in and the rest waits for a reader that never comes.
  TStepFixture f({}, kRequest.size());
  const TBytes filler(kRequest.size() - 16, 'f');
  f.Io().Write(filler);
  f.Io().SetSendLimits({.StallTimeoutMs = 600000});  // only the close can end the wait in time
  f.Server.DoConnect(f.Context.get());
  f.Send(kRequest);
  auto step = std::async(std::launch::async, [&] { return f.Server.DoExecute(f.Context.get()); });
  ASSERT_EQ(step.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(step.get());
  ASSERT_TRUE(f.Server.Contexts.TryLockList()) << "the Contexts lock is held";
  f.Server.Contexts.UnlockList();
  EXPECT_EQ(f.Io().Tag, kHandshakeDone);
  EXPECT_EQ(f.Io().Outgoing()->QueuedBytes(), kResponse.size() - 16);
  f.Context->Connection->Disconnect(false);
  EXPECT_EQ(f.Io().Outgoing()->QueuedBytes(), 0u);
  EXPECT_EQ(f.Received(), std::string(filler.begin(), filler.end()) + kResponse.substr(0, 16));
}

// Several threads queue frames into one connection while its peer reads slowly: the sending role
// passes between them and the writer thread, and every frame arrives whole, in the order its
// thread queued it.
TEST(WebSocketConcurrency, FramesQueuedByManyThreadsArriveWholeAndInEachThreadsOrder) {
  auto pair = MakeMemorySocketPair(64);
  TSendQueue queue(std::shared_ptr<TStreamSocket>(std::move(pair.Server)));
  constexpr int kThreads = 4;
  constexpr int kFrames = 300;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&queue, t] {
      for (int i = 0; i < kFrames; ++i) {
        // "<thread>.<number>.<padding>|", 1 to 90 bytes of padding.
        const std::string text = std::to_string(t) + "." + std::to_string(i) + "." +
                                 std::string(static_cast<std::size_t>(1 + (i * 37 + t) % 90),
                                             static_cast<char>('a' + t)) +
                                 "|";
        queue.Post(std::make_shared<const TBytes>(text.begin(), text.end()));
      }
    });
  }
  std::string received;
  std::uint8_t buf[7];
  int frames = 0;
  int next[kThreads] = {};
  int bad = 0;
  while (frames < kThreads * kFrames) {
    if (!pair.Client->WaitReadable(10000))
      break;
    const std::ptrdiff_t n = pair.Client->Receive(buf, sizeof buf, false);
    if (n <= 0)
      break;
    received.append(buf, buf + n);
    for (std::size_t end; (end = received.find('|')) != std::string::npos;) {
      const std::string frame = received.substr(0, end);
      received.erase(0, end + 1);
      ++frames;
      const std::size_t dot1 = frame.find('.');
      const std::size_t dot2 = frame.find('.', dot1 + 1);
      const int t = std::stoi(frame.substr(0, dot1));
      const int i = std::stoi(frame.substr(dot1 + 1, dot2 - dot1 - 1));
      const std::string pad = frame.substr(dot2 + 1);
      bad += i != next[t] ? 1 : 0;
      bad += pad != std::string(static_cast<std::size_t>(1 + (i * 37 + t) % 90),
                                static_cast<char>('a' + t))
                 ? 1
                 : 0;
      next[t] = i + 1;
    }
  }
  for (auto& s : senders)
    s.join();
  EXPECT_EQ(frames, kThreads * kFrames);
  EXPECT_EQ(bad, 0);
  // The last bytes reach the client before the thread that sent them has counted them sent.
  EXPECT_TRUE(Eventually([&] { return queue.QueuedBytes() == 0u; })) << queue.QueuedBytes();
}

// One client stops reading (a 4 KB receive buffer) while frames far larger than the socket
// buffers are broadcast: the others get them and go on being answered, a new client is
// upgraded, and the silent one is closed once it has taken nothing for the stall time.
TEST(WebSocketConcurrency, AClientThatDoesNotReadHoldsNobody) {
  TCountingServer s;
  s.Server.OnConnect = [&s](TConnectionContext* c) {
    c->Connection->IOHandler->SetSendLimits({.StallTimeoutMs = 5000});
    ++s.Connects;
  };
  const std::uint16_t port = StartOnLoopback(s.Server);
  TWsTestClient deaf("127.0.0.1", port, 5000, 4096);
  ASSERT_TRUE(deaf.Open());  // and never reads again
  TWsTestClient other("127.0.0.1", port);
  ASSERT_TRUE(other.Open());
  ASSERT_TRUE(Eventually([&] {
    auto list = s.Server.Contexts.Lock();
    return list.Count() == 2 && list[0]->Connection->IOHandler->Tag == kHandshakeDone &&
           list[1]->Connection->IOHandler->Tag == kHandshakeDone;
  }));
  // Two frames of 6 MB: more than the kernel buffers the silent client's socket (up to 4 MB).
  const std::string big(6 << 20, 'b');
  std::vector<std::weak_ptr<const TBytes>> frames;
  for (int i = 0; i < 2; ++i) {
    TSharedBytes frame = TextFrame(big);
    frames.push_back(frame);
    s.Server.SendToAll(std::move(frame));
  }
  other.SendText("m1-x");
  for (int i = 0; i < 2; ++i) {
    const std::optional<std::string> frame = other.ReadText(20000);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->size(), big.size());
  }
  EXPECT_EQ(other.ReadText(20000).value_or("<none>"), "m1-x");
  TWsTestClient newcomer("127.0.0.1", port);
  EXPECT_TRUE(newcomer.Open());
  // A broadcast that waited for the silent client would have let nothing of the above happen
  // before that client was given up.
  EXPECT_EQ(s.Disconnects, 0);
  EXPECT_TRUE(Eventually([&] { return s.Disconnects == 1; }, 20000));
  EXPECT_TRUE(deaf.WaitForClose(20000));
  // Sent to one, dropped with the other: the frames' memory is released.
  for (const auto& frame : frames) {
    EXPECT_TRUE(frame.expired());
  }
  other.SendText("m1-y");
  EXPECT_EQ(other.ReadText(20000).value_or("<none>"), "m1-y");
}

}  // namespace
}  // namespace vantorix::test
