// Connection threads that wait for the next connection: each connection still gets its own
// events and binding, deactivation ends waiting threads at once, and waiting is bounded.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/websocket/ServerTestSupport.h"
#include "tests/websocket/support/WsTestClient.h"

namespace vantorix::test {
namespace {

using ::testing::ElementsAre;

#ifdef __linux__
int ThreadCount() {
  // A sanitizer runtime starts a helper thread of its own with the process's first thread;
  // one started and joined here makes sure it is already counted.
  std::thread([] {}).join();
  int n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    ++n;
  return n;
}
#endif

// The events of each connection by its client's port, and how many connections found their
// thread had served one before.
struct TPerConnection {
  std::mutex Lock;
  std::map<std::uint16_t, std::vector<std::string>> Events;
  std::map<std::uint16_t, std::uint16_t> LocalPorts;
  int Reused = 0;
  std::atomic<int> Disconnects{0};

  void Attach(TWebSocketServer& server) {
    server.OnConnect = [this](TConnectionContext* c) {
      thread_local int served = 0;
      ++served;
      std::lock_guard lock(Lock);
      Events[c->Binding->PeerPort].push_back("connect");
      LocalPorts[c->Binding->PeerPort] = c->Binding->Port;
      Reused += served > 1 ? 1 : 0;
    };
    server.OnExecute = [this](TConnectionContext* c) {
      {
        std::lock_guard lock(Lock);
        std::vector<std::string>& events = Events[c->Binding->PeerPort];
        if (events.back() != "execute")
          events.push_back("execute");
      }
      EchoExecute(c);
    };
    server.OnDisconnect = [this](TConnectionContext* c) {
      {
        std::lock_guard lock(Lock);
        Events[c->Binding->PeerPort].push_back("disconnect");
      }
      ++Disconnects;
    };
  }
  int ReusedSoFar() {
    std::lock_guard lock(Lock);
    return Reused;
  }
};

// Opens count clients at once, checks each is answered, closes them and waits for their
// disconnect events. Returns the clients' ports.
std::vector<std::uint16_t> ServeRound(std::uint16_t port, TPerConnection& seen, int count) {
  const int before = seen.Disconnects;
  std::vector<std::uint16_t> ports;
  {
    std::vector<std::unique_ptr<TWsTestClient>> clients;
    for (int i = 0; i < count; ++i) {
      clients.push_back(std::make_unique<TWsTestClient>("127.0.0.1", port));
      EXPECT_TRUE(clients.back()->Open());
      ports.push_back(clients.back()->LocalPort());
    }
    for (auto& client : clients) {
      client->SendText("hi");
      EXPECT_EQ(client->ReadText(), "hi");
    }
  }
  EXPECT_TRUE(Eventually([&] { return seen.Disconnects == before + count; }));
  return ports;
}

TEST(ConnectionThreadReuse, EveryConnectionOfAReusedThreadHasItsOwnEventsAndBinding) {
  struct TCase {
    const char* name;
    int rounds;
    int atOnce;
  };
  for (const TCase& c : {TCase{"one after another", 6, 1}, TCase{"several at once", 4, 3}}) {
    SCOPED_TRACE(c.name);
    TPerConnection seen;
    TWebSocketServer server;
    seen.Attach(server);
    server.ParkedThreadTimeoutMs = 60000;
    const std::uint16_t port = StartOnLoopback(server);
    std::vector<std::uint16_t> clientPorts;
    for (int round = 0; round < c.rounds; ++round) {
      for (std::uint16_t p : ServeRound(port, seen, c.atOnce))
        clientPorts.push_back(p);
      // The ended threads get a moment to start waiting before the next round connects.
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    server.SetActive(false);
    std::lock_guard lock(seen.Lock);
    EXPECT_GT(seen.Reused, 0) << "no connection was served by a thread that had served one";
    ASSERT_EQ(seen.Events.size(), clientPorts.size());
    for (std::uint16_t p : clientPorts) {
      SCOPED_TRACE(p);
      EXPECT_THAT(seen.Events[p], ElementsAre("connect", "execute", "disconnect"));
      EXPECT_EQ(seen.LocalPorts[p], port);
    }
  }
}

#ifdef __linux__
TEST(ConnectionThreadReuse, DeactivationEndsWaitingThreadsAtOnceAndJoinsThem) {
  TPerConnection seen;
  TWebSocketServer server;
  seen.Attach(server);
  server.ParkedThreadTimeoutMs = 60000;
  const int before = ThreadCount();
  std::uint16_t port = StartOnLoopback(server);
  ServeRound(port, seen, 3);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto start = std::chrono::steady_clock::now();
  server.SetActive(false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(ThreadCount(), before);

  // A restarted server lets its threads wait again.
  port = StartOnLoopback(server);
  const int reused = seen.ReusedSoFar();
  for (int i = 0; i < 10 && seen.ReusedSoFar() == reused; ++i) {
    ServeRound(port, seen, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_GT(seen.ReusedSoFar(), reused);
  server.SetActive(false);
  EXPECT_EQ(ThreadCount(), before);
}

TEST(ConnectionThreadReuse, WaitingIsBoundedInThreadsAndTime) {
  struct TCase {
    const char* name;
    std::size_t maxParked;
    int timeoutMs;
    int clients;
    int stillWaiting;
  };
  for (const TCase& c : {TCase{"at most the limit wait", 2, 60000, 5, 2},
                         TCase{"a wait that ends ends the thread", 4, 50, 3, 0},
                         TCase{"no waiting at all", 0, 60000, 3, 0}}) {
    SCOPED_TRACE(c.name);
    TPerConnection seen;
    TWebSocketServer server;
    seen.Attach(server);
    server.MaxParkedThreads = c.maxParked;
    server.ParkedThreadTimeoutMs = c.timeoutMs;
    const int before = ThreadCount();
    const std::uint16_t port = StartOnLoopback(server);
    ServeRound(port, seen, c.clients);
    // The listener thread and the threads still waiting.
    EXPECT_TRUE(Eventually([&] { return ThreadCount() == before + 1 + c.stillWaiting; }))
        << ThreadCount() - before << " threads";
    server.SetActive(false);
    EXPECT_EQ(ThreadCount(), before);
  }
}
#endif

}  // namespace
}  // namespace vantorix::test
