// The scenarios of the load and the raw TCP limits.
#include "bench/load/Scenarios.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "bench/load/EchoMessages.h"
#include "bench/load/LoadClient.h"
#include "bench/load/ServerProcess.h"

namespace vantorix {

namespace {

using TClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Longest a server may take without giving any reply before the scenario fails.
constexpr auto kReplyWait = 10s;

double Seconds(TClock::duration d) {
  return std::chrono::duration<double>(d).count();
}
double Micros(TClock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// Polls until done() holds, failing when no message at all comes for kReplyWait.
void PollUntil(TPump& pump, const std::function<bool()>& done,
               const std::function<void(std::size_t, std::string_view)>& onMessage,
               const char* what) {
  auto progress = TClock::now();
  while (!done()) {
    bool got = false;
    pump.Poll(100ms, [&](std::size_t i, std::string_view message) {
      got = true;
      onMessage(i, message);
    });
    const auto now = TClock::now();
    if (got) {
      progress = now;
    } else if (now - progress > kReplyWait) {
      throw EBenchError(std::string(what) + ": no reply within 10 s");
    }
  }
}

TRate WithLatencies(std::uint64_t operations, TClock::duration elapsed,
                    std::vector<double>& latencies) {
  TRate rate;
  rate.Operations = operations;
  rate.PerSecond = static_cast<double>(operations) / Seconds(elapsed);
  rate.P50Us = Percentile(latencies, 50);
  rate.P99Us = Percentile(latencies, 99);
  return rate;
}

// The one reply to a request: got turns true, and a second reply fails.
void ExpectOne(bool& got, std::string_view message, std::string_view want, const char* what) {
  if (got) {
    throw EBenchError(std::string(what) + ": a reply more than was asked for");
  }
  ExpectReply(message, want, what);
  got = true;
}

// A plain TCP peer on 127.0.0.1 for the raw limits: it accepts one connection and, for as long
// as it lasts, reads `request` bytes and answers with `reply` bytes.
class TRawPeer {
 public:
  TRawPeer(std::size_t request, std::size_t reply) {
    FListener = TFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(FListener.Get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(FListener.Get(), 1) != 0 ||
        ::getsockname(FListener.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      throw EBenchError(std::string("raw peer: ") + std::strerror(errno));
    }
    FPort = ntohs(address.sin_port);
    FThread = std::thread([this, request, reply] { Serve(request, reply); });
  }
  ~TRawPeer() {
    ::shutdown(FListener.Get(), SHUT_RDWR);
    FThread.join();
  }
  std::uint16_t Port() const { return FPort; }

 private:
  void Serve(std::size_t request, std::size_t reply) {
    TFd connection(::accept4(FListener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (connection.Get() < 0) {
      return;
    }
    const int one = 1;
    ::setsockopt(connection.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::vector<char> in(std::min<std::size_t>(request, 1 << 20));
    const std::string out(reply, 'r');
    for (;;) {
      for (std::size_t got = 0; got < request;) {
        const ssize_t n =
            ::recv(connection.Get(), in.data(), std::min(in.size(), request - got), 0);
        if (n <= 0) {
          return;
        }
        got += static_cast<std::size_t>(n);
      }
      for (std::size_t sent = 0; sent < reply;) {
        const ssize_t n = ::send(connection.Get(), out.data() + sent, reply - sent, MSG_NOSIGNAL);
        if (n <= 0) {
          return;
        }
        sent += static_cast<std::size_t>(n);
      }
    }
  }

  TFd FListener;
  std::uint16_t FPort = 0;
  std::thread FThread;
};

// A plain TCP client of TRawPeer driven through epoll like the WebSocket clients: it waits for
// the socket to be writable only while it has bytes to send.
class TRawClient {
 public:
  explicit TRawClient(std::uint16_t port)
      : FSocket(ConnectLoopback(port)), FEpoll(::epoll_create1(EPOLL_CLOEXEC)) {
    MakeNonBlocking(FSocket.Get());
    epoll_event event{};
    event.events = EPOLLIN;
    ::epoll_ctl(FEpoll.Get(), EPOLL_CTL_ADD, FSocket.Get(), &event);
  }

  // Sends request and receives `reply` bytes, both at once as the socket allows.
  void Exchange(std::string_view request, std::size_t reply) {
    std::size_t sent = 0;
    std::size_t got = 0;
    FBuffer.resize(std::max<std::size_t>(FBuffer.size(), std::min<std::size_t>(reply, 1 << 20)));
    while (sent < request.size() || got < reply) {
      if (sent < request.size()) {
        const ssize_t n =
            ::send(FSocket.Get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN) {
          throw EBenchError("raw peer: connection lost");
        }
        sent += n > 0 ? static_cast<std::size_t>(n) : 0;
        WatchOutput(sent < request.size());
      }
      epoll_event event{};
      if (::epoll_wait(FEpoll.Get(), &event, 1, 10000) == 0) {
        throw EBenchError("raw peer: no answer within 10 s");
      }
      if (event.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        const ssize_t n = ::recv(FSocket.Get(), FBuffer.data(), FBuffer.size(), 0);
        if (n == 0 || (n < 0 && errno != EAGAIN)) {
          throw EBenchError("raw peer: connection lost");
        }
        got += n > 0 ? static_cast<std::size_t>(n) : 0;
      }
    }
  }

 private:
  void WatchOutput(bool watch) {
    if (watch == FWatchingOutput) {
      return;
    }
    epoll_event event{};
    event.events = EPOLLIN | (watch ? EPOLLOUT : 0u);
    ::epoll_ctl(FEpoll.Get(), EPOLL_CTL_MOD, FSocket.Get(), &event);
    FWatchingOutput = watch;
  }

  TFd FSocket;
  TFd FEpoll;
  std::vector<char> FBuffer;
  bool FWatchingOutput = false;
};

}  // namespace

void AwaitThreads(const TServerProcess& server, int threads) {
  const auto deadline = TClock::now() + 5s;
  while (server.Threads() > threads && TClock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
}

double Percentile(std::vector<double>& samples, double p) {
  if (samples.empty()) {
    return 0;
  }
  std::sort(samples.begin(), samples.end());
  const auto rank =
      static_cast<std::size_t>(p / 100 * static_cast<double>(samples.size() - 1) + 0.5);
  return samples[std::min(rank, samples.size() - 1)];
}

double TIdleMemory::PerConnectionKB() const {
  return Connections == 0 ? 0 : (WithMB - BeforeMB) * 1000 / static_cast<double>(Connections);
}

TRate SequentialEchoes(std::uint16_t port, const TLoadSettings& settings) {
  TWsClient client(port);
  TPump pump;
  pump.Add(client);
  std::vector<double> latencies;
  const auto start = TClock::now();
  const auto end = start + settings.Duration;
  std::uint64_t seq = 0;
  for (auto now = start; now < end; ++seq) {
    const std::string request = EchoRequest("q", seq, settings.EchoSize);
    const std::string want = EchoReply(request);
    bool got = false;
    const auto sent = TClock::now();
    pump.Send(0, request);
    PollUntil(
        pump, [&] { return got; },
        [&](std::size_t, std::string_view message) {
          ExpectOne(got, message, want, "sequential echo");
        },
        "sequential echo");
    now = TClock::now();
    latencies.push_back(Micros(now - sent));
  }
  return WithLatencies(seq, TClock::now() - start, latencies);
}

TRate PipelinedEchoes(std::uint16_t port, const TLoadSettings& settings) {
  TWsClient client(port);
  TPump pump;
  pump.Add(client);
  std::deque<std::string> expected;
  std::uint64_t seq = 0;
  const auto sendOne = [&] {
    const std::string request = EchoRequest("p", seq++, settings.EchoSize);
    expected.push_back(EchoReply(request));
    pump.Send(0, request);
  };
  const auto start = TClock::now();
  const auto end = start + settings.Duration;
  auto last = start;
  for (std::size_t i = 0; i < settings.PipelineWindow; ++i) {
    sendOne();
  }
  bool stopping = false;
  PollUntil(
      pump, [&] { return stopping && expected.empty(); },
      [&](std::size_t, std::string_view message) {
        if (expected.empty()) {
          throw EBenchError("pipelined echo: more replies than echoes sent");
        }
        ExpectReply(message, expected.front(), "pipelined echo");
        expected.pop_front();
        last = TClock::now();
        stopping = stopping || last >= end;
        if (!stopping) {
          sendOne();
        }
      },
      "pipelined echo");
  TRate rate;
  rate.Operations = seq;
  rate.PerSecond = static_cast<double>(seq) / Seconds(last - start);
  return rate;
}

TRate Broadcast(std::uint16_t port, std::size_t receivers, const TLoadSettings& settings) {
  auto clients = OpenClients(port, receivers + 1);
  TPump pump;
  for (auto& client : clients) {
    pump.Add(*client);
  }
  // Each client gets the sender's messages in the order sent, so a message is complete once its
  // count reaches every client, and messages complete in order.
  const std::size_t ring = 2 * settings.BroadcastWindow + 2;
  std::vector<std::string> expected(ring);
  std::vector<std::size_t> deliveries(ring);
  std::vector<std::uint64_t> next(clients.size());
  std::uint64_t sent = 0;
  std::uint64_t complete = 0;
  const auto sendOne = [&] {
    const std::string request = EchoRequest("b", sent, settings.BroadcastSize);
    expected[sent % ring] = EchoReply(request);
    deliveries[sent % ring] = 0;
    ++sent;
    pump.Send(0, request);
  };
  bool stopping = false;
  TClock::time_point end;
  TClock::time_point last;
  const auto onMessage = [&](std::size_t i, std::string_view message) {
    const std::uint64_t seq = next[i]++;
    if (seq >= sent) {
      throw EBenchError("broadcast: a client got more messages than were sent");
    }
    ExpectReply(message, expected[seq % ring], "broadcast");
    if (++deliveries[seq % ring] == clients.size()) {
      ++complete;
      last = TClock::now();
      stopping = stopping || last >= end;
      if (!stopping) {
        sendOne();
      }
    }
  };
  // The first message only shows that every client is in the server's list.
  stopping = true;
  sendOne();
  PollUntil(
      pump, [&] { return complete == sent; }, onMessage, "broadcast");
  stopping = false;
  const auto start = TClock::now();
  end = start + settings.Duration;
  for (std::size_t i = 0; i < settings.BroadcastWindow; ++i) {
    sendOne();
  }
  PollUntil(
      pump, [&] { return stopping && complete == sent; }, onMessage, "broadcast");
  TRate rate;
  rate.Operations = (complete - 1) * receivers;
  rate.PerSecond = static_cast<double>(rate.Operations) / Seconds(last - start);
  return rate;
}

TRate Handshakes(std::uint16_t port, const TLoadSettings& settings) {
  const auto start = TClock::now();
  const auto end = start + settings.Duration;
  std::uint64_t count = 0;
  auto now = start;
  for (; now < end; now = TClock::now()) {
    TWsClient client(port);
    ++count;
  }
  TRate rate;
  rate.Operations = count;
  rate.PerSecond = static_cast<double>(count) / Seconds(now - start);
  return rate;
}

TIdleMemory IdleConnections(const TServerProcess& server, const TLoadSettings& settings) {
  constexpr double kMB = 1e6;
  TIdleMemory memory;
  memory.Connections = settings.IdleConnections;
  const int threads = server.Threads();
  memory.BeforeMB = static_cast<double>(server.ResidentBytes()) / kMB;
  {
    auto clients = OpenClients(server.Port(), settings.IdleConnections);
    std::this_thread::sleep_for(500ms);
    memory.WithMB = static_cast<double>(server.ResidentBytes()) / kMB;
    // Every connection must be alive and known: one echo reaches them all.
    TPump pump;
    for (auto& client : clients) {
      pump.Add(*client);
    }
    const std::string request = EchoRequest("i", 0, settings.EchoSize);
    const std::string want = EchoReply(request);
    std::size_t got = 0;
    pump.Send(0, request);
    PollUntil(
        pump, [&] { return got == clients.size(); },
        [&](std::size_t, std::string_view message) {
          ExpectReply(message, want, "idle connections");
          ++got;
        },
        "idle connections");
  }
  AwaitThreads(server, threads);
  std::this_thread::sleep_for(500ms);
  memory.AfterMB = static_cast<double>(server.ResidentBytes()) / kMB;
  return memory;
}

double BigEchoMBps(std::uint16_t port, const TLoadSettings& settings) {
  TWsClient client(port);
  TPump pump;
  pump.Add(client);
  std::vector<double> rates;
  for (int rep = 0; rep < settings.BigRepetitions; ++rep) {
    const std::string request = EchoRequest("g", static_cast<std::uint64_t>(rep), settings.BigSize);
    const std::string want = EchoReply(request);
    std::string frame;
    AppendMaskedText(frame, request, 0x1234ABCDu + static_cast<std::uint32_t>(rep));
    bool got = false;
    const auto start = TClock::now();
    pump.SendFrame(0, frame);
    PollUntil(
        pump, [&] { return got; },
        [&](std::size_t, std::string_view message) { ExpectOne(got, message, want, "16 MB echo"); },
        "16 MB echo");
    rates.push_back(static_cast<double>(request.size()) / 1e6 / Seconds(TClock::now() - start));
  }
  return Percentile(rates, 50);
}

TRate RawPingPong(const TLoadSettings& settings) {
  const std::size_t reply = EchoReplySize(settings.EchoSize, 6);
  const std::size_t requestFrame = MaskedFrameSize(settings.EchoSize);
  const std::size_t replyFrame = reply + (reply <= 125 ? 2 : 4);
  TRawPeer peer(requestFrame, replyFrame);
  TRawClient client(peer.Port());
  const std::string request(requestFrame, 'q');
  std::vector<double> latencies;
  const auto start = TClock::now();
  const auto end = start + settings.Duration;
  std::uint64_t count = 0;
  for (auto now = start; now < end; ++count) {
    const auto sent = TClock::now();
    client.Exchange(request, replyFrame);
    now = TClock::now();
    latencies.push_back(Micros(now - sent));
  }
  return WithLatencies(count, TClock::now() - start, latencies);
}

double RawTransferMBps(const TLoadSettings& settings) {
  const std::size_t requestFrame = MaskedFrameSize(settings.BigSize);
  const std::size_t replyFrame = EchoReplySize(requestFrame, 8);
  TRawPeer peer(requestFrame, replyFrame);
  TRawClient client(peer.Port());
  const std::string request(requestFrame, 'g');
  std::vector<double> rates;
  // Cheap beside the servers' echoes, so a few more runs steady the limit.
  for (int rep = 0; rep < std::max(settings.BigRepetitions, 5); ++rep) {
    const auto start = TClock::now();
    client.Exchange(request, replyFrame);
    rates.push_back(static_cast<double>(settings.BigSize) / 1e6 / Seconds(TClock::now() - start));
  }
  return Percentile(rates, 50);
}

}  // namespace vantorix
