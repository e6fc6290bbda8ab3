// Handshakes per second and echo round trips per second of the WebSocket server on loopback,
// beside a plain thread-per-connection TCP echo server (the peer: the same work without
// WebSocket framing or handshake).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <list>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "tests/websocket/support/WsTestClient.h"
#include "websocket/WebSocketServer.h"

namespace {

using vantorix::TConnectionContext;
using vantorix::TWebSocketIOHandlerHelper;
using vantorix::TWebSocketServer;
using vantorix::test::TWsTestClient;

// The server with a tiny echo OnExecute, on 127.0.0.1 port 0. With waitFirst the execute step
// first waits up to 10 ms for new bytes, as the command dispatcher does; without it, it goes
// straight to the (blocking) frame read.
struct TEchoServer {
  explicit TEchoServer(bool waitFirst = true) {
    Server.OnExecute = [waitFirst](TConnectionContext* c) {
      auto& io = *c->Connection->IOHandler;
      if (waitFirst)
        io.CheckForData(10);
      TWebSocketIOHandlerHelper ws(io);
      const auto bytes = ws.ReadBytes();
      if (!bytes.empty())
        ws.WriteBytes(bytes);
    };
    Server.Bindings.Add()->IP = u"127.0.0.1";
    Server.SetActive(true);
    Port = Server.Bindings[0]->BoundPort;
  }
  TWebSocketServer Server;
  std::uint16_t Port = 0;
};

// The peer: accept, then echo every received byte, one thread per connection.
class TRawEchoServer {
 public:
  TRawEchoServer() {
    FListen = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(FListen, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(FListen, 64) != 0) {
      throw std::runtime_error("raw echo server");
    }
    ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
    Port = ntohs(a.sin_port);
    FAcceptor = std::thread([this] { AcceptLoop(); });
  }
  ~TRawEchoServer() {
    FStop = true;
    ::shutdown(FListen, SHUT_RDWR);
    FAcceptor.join();
    ::close(FListen);
    for (auto& t : FThreads)
      t.join();
  }
  std::uint16_t Port = 0;

 private:
  void AcceptLoop() {
    while (!FStop) {
      pollfd p{FListen, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0)
        continue;
      const int fd = ::accept(FListen, nullptr, nullptr);
      if (fd < 0)
        continue;
      FThreads.emplace_back([fd] {
        char buf[65536];
        for (;;) {
          const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
          if (n <= 0)
            break;
          if (::send(fd, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n)
            break;
        }
        ::close(fd);
      });
    }
  }
  int FListen = -1;
  std::atomic<bool> FStop{false};
  std::thread FAcceptor;
  std::list<std::thread> FThreads;
};

void BM_WebSocketHandshake(benchmark::State& state) {
  TEchoServer server;
  for (auto _ : state) {
    TWsTestClient client("127.0.0.1", server.Port);
    if (!client.Open())
      state.SkipWithError("handshake failed");
  }
  state.counters["handshakes/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_PeerTcpConnectExchange(benchmark::State& state) {
  TRawEchoServer server;
  for (auto _ : state) {
    TWsTestClient client("127.0.0.1", server.Port);
    client.SendRaw("x");
    if (client.ReadRaw(1).size() != 1)
      state.SkipWithError("no echo");
  }
  state.counters["connects/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void EchoLoop(benchmark::State& state, bool waitFirst) {
  TEchoServer server(waitFirst);
  TWsTestClient client("127.0.0.1", server.Port);
  if (!client.Open())
    state.SkipWithError("handshake failed");
  const std::string text(static_cast<std::size_t>(state.range(0)), 'e');
  for (auto _ : state) {
    client.SendText(text);
    auto frame = client.ReadFrame();
    if (!frame || frame->Payload.size() != text.size())
      state.SkipWithError("no echo");
  }
  state.counters["round trips/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// Echo with the dispatcher's CheckForData(10) before each read.
void BM_WebSocketEcho(benchmark::State& state) {
  EchoLoop(state, true);
}
// Echo with the read alone.
void BM_WebSocketEchoBlockingRead(benchmark::State& state) {
  EchoLoop(state, false);
}

void BM_PeerTcpEcho(benchmark::State& state) {
  TRawEchoServer server;
  TWsTestClient client("127.0.0.1", server.Port);
  const std::string text(static_cast<std::size_t>(state.range(0)), 'e');
  for (auto _ : state) {
    client.SendRaw(text);
    if (client.ReadRaw(text.size()).size() != text.size())
      state.SkipWithError("no echo");
  }
  state.counters["round trips/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_WebSocketHandshake)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PeerTcpConnectExchange)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_WebSocketEcho)->Arg(16)->Arg(65536)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_WebSocketEchoBlockingRead)->Arg(16)->Arg(65536)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PeerTcpEcho)->Arg(16)->Arg(65536)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
