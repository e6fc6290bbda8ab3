// Loopback connections, the upgrade, and the epoll pump of the load client.
#include "bench/load/LoadClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tests/websocket/support/WsTestClient.h"

namespace vantorix {

namespace {

std::string SystemError(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

constexpr std::string_view kClientKey = "dGhlIGxvYWQgY2xpZW50IQ==";

}  // namespace

TFd& TFd::operator=(TFd&& other) noexcept {
  if (this != &other) {
    if (FFd >= 0) {
      ::close(FFd);
    }
    FFd = std::exchange(other.FFd, -1);
  }
  return *this;
}

TFd::~TFd() {
  if (FFd >= 0) {
    ::close(FFd);
  }
}

TFd ConnectLoopback(std::uint16_t port) {
  TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.Get() < 0) {
    throw EBenchError(SystemError("socket"));
  }
  const int one = 1;
  ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // Guards against a server that stops answering during the upgrade.
  const timeval limit{10, 0};
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw EBenchError(SystemError("connect"));
  }
  return fd;
}

void MakeNonBlocking(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

TWsClient::TWsClient(std::uint16_t port) : FSocket(ConnectLoopback(port)) {
  const std::string request = test::TWsTestClient::UpgradeRequest(kClientKey);
  if (::send(Fd(), request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    throw EBenchError(SystemError("sending the upgrade request"));
  }
  // Bytes after the head are frames already (a broadcast can follow the answer at once).
  std::string head;
  std::size_t end;
  while ((end = head.find("\r\n\r\n")) == std::string::npos) {
    char buffer[4096];
    const ssize_t n = ::recv(Fd(), buffer, sizeof buffer, 0);
    if (n <= 0) {
      throw EBenchError("no upgrade answer: " +
                        (n == 0 ? std::string("connection closed") : SystemError("recv")));
    }
    head.append(buffer, static_cast<std::size_t>(n));
  }
  if (const std::size_t extra = head.size() - end - 4; extra > 0) {
    std::memcpy(FIn.WriteArea(extra), head.data() + end + 4, extra);
    FIn.Commit(extra);
  }
  head.resize(end + 4);
  std::string lower = head;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::string accept = test::TWsTestClient::AcceptFor(kClientKey);
  std::transform(accept.begin(), accept.end(), accept.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (!head.starts_with("HTTP/1.1 101 ") ||
      lower.find("\r\nsec-websocket-accept: " + accept + "\r\n") == std::string::npos) {
    throw EBenchError("wrong upgrade answer:\n" + head);
  }
  MakeNonBlocking(Fd());
}

void TWsClient::QueueText(std::string_view payload) {
  DropSent();
  AppendMaskedText(FOut, payload, FMask);
  FMask = FMask * 1664525u + 1013904223u;
}

void TWsClient::QueueFrame(std::string_view frame) {
  DropSent();
  FOut.append(frame);
}

void TWsClient::DropSent() {
  if (FSent == FOut.size()) {
    FOut.clear();
    FSent = 0;
  }
}

bool TWsClient::Flush() {
  while (FSent < FOut.size()) {
    const ssize_t n = ::send(Fd(), FOut.data() + FSent, FOut.size() - FSent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno == EAGAIN) {
      return false;
    }
    if (n < 0) {
      throw EBenchError(SystemError("send"));
    }
    FSent += static_cast<std::size_t>(n);
  }
  FOut.clear();
  FSent = 0;
  return true;
}

void TWsClient::Receive(const std::function<void(std::string_view)>& onMessage) {
  constexpr std::size_t kChunk = 256 * 1024;
  for (;;) {
    char* area = FIn.WriteArea(kChunk);
    const ssize_t n = ::recv(Fd(), area, kChunk, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno == EAGAIN) {
      return;
    }
    if (n <= 0) {
      throw EBenchError(n == 0 ? std::string("the server closed the connection")
                               : SystemError("recv"));
    }
    FIn.Commit(static_cast<std::size_t>(n));
    std::string_view message;
    while (FIn.Next(message)) {
      onMessage(message);
    }
    if (static_cast<std::size_t>(n) < kChunk) {
      return;
    }
  }
}

std::vector<std::unique_ptr<TWsClient>> OpenClients(std::uint16_t port, std::size_t count) {
  std::vector<std::unique_ptr<TWsClient>> clients;
  clients.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    clients.push_back(std::make_unique<TWsClient>(port));
  }
  return clients;
}

TPump::TPump() : FEpoll(::epoll_create1(EPOLL_CLOEXEC)) {
  if (FEpoll.Get() < 0) {
    throw EBenchError(SystemError("epoll_create1"));
  }
}

void TPump::Add(TWsClient& client) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = FClients.size();
  if (::epoll_ctl(FEpoll.Get(), EPOLL_CTL_ADD, client.Fd(), &event) != 0) {
    throw EBenchError(SystemError("epoll_ctl"));
  }
  FClients.push_back(&client);
  FWantsOut.push_back(false);
}

void TPump::Watch(std::size_t i) {
  const bool wants = FClients[i]->HasOutput();
  if (wants == FWantsOut[i]) {
    return;
  }
  epoll_event event{};
  event.events = EPOLLIN | (wants ? EPOLLOUT : 0u);
  event.data.u64 = i;
  ::epoll_ctl(FEpoll.Get(), EPOLL_CTL_MOD, FClients[i]->Fd(), &event);
  FWantsOut[i] = wants;
}

void TPump::Send(std::size_t i, std::string_view payload) {
  FClients[i]->QueueText(payload);
  FClients[i]->Flush();
  Watch(i);
}

void TPump::SendFrame(std::size_t i, std::string_view frame) {
  FClients[i]->QueueFrame(frame);
  FClients[i]->Flush();
  Watch(i);
}

void TPump::Poll(std::chrono::milliseconds timeout,
                 const std::function<void(std::size_t, std::string_view)>& onMessage) {
  epoll_event events[256];
  const int n = ::epoll_wait(FEpoll.Get(), events, 256, static_cast<int>(timeout.count()));
  if (n < 0 && errno != EINTR) {
    throw EBenchError(SystemError("epoll_wait"));
  }
  for (int e = 0; e < n; ++e) {
    const std::size_t i = events[e].data.u64;
    if (events[e].events & EPOLLOUT) {
      FClients[i]->Flush();
      Watch(i);
    }
    if (events[e].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
      FClients[i]->Receive([&](std::string_view message) { onMessage(i, message); });
    }
  }
}

void ExpectReply(std::string_view got, std::string_view want, std::string_view what) {
  if (got == want) {
    return;
  }
  const auto differ = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
  const std::size_t at = static_cast<std::size_t>(differ.first - got.begin());
  const std::size_t from = at > 40 ? at - 40 : 0;
  throw EBenchError(std::string(what) + ": reply of " + std::to_string(got.size()) +
                    " bytes differs from the expected " + std::to_string(want.size()) +
                    " at byte " + std::to_string(at) + ":\n  got  ..." +
                    std::string(got.substr(from, 80)) + "\n  want ..." +
                    std::string(want.substr(from, 80)));
}

}  // namespace vantorix
