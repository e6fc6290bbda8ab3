// Link channels: TCP sockets, and in-memory links into simulated terminals.
#include "terminal/LinkChannel.h"

#include "net/SocketErrors.h"
#include "terminal/TerminalServer.h"

namespace vantorix {

int TSocketChannel::Open(const std::string& host, std::uint16_t port,
                         std::chrono::milliseconds timeout) {
  int error = 0;
  fSocket = ConnectTcp(host, port, timeout, error);
  return fSocket.Valid() ? 0 : error;
}

TIoStatus TSocketChannel::Send(std::span<const std::uint8_t> bytes,
                               std::chrono::steady_clock::time_point deadline) {
  return fSocket.Valid() ? SendAll(fSocket, bytes, deadline) : TIoStatus::kClosed;
}

TIoStatus TSocketChannel::Receive(std::vector<std::uint8_t>& out,
                                  std::chrono::steady_clock::time_point deadline) {
  return fSocket.Valid() ? RecvSome(fSocket, out, deadline) : TIoStatus::kClosed;
}

TTerminalServer* TMemoryNetwork::Find(std::uint16_t port) const {
  auto it = fTerminals.find(port);
  return it == fTerminals.end() ? nullptr : it->second;
}

class TMemoryChannel::TState {
 public:
  explicit TState(TTerminalServer& server) : session(server) {}
  TTerminalServer::TLinkSession session;
  std::vector<std::uint8_t> pending;  // replies not yet received
  bool peerClosed = false;
};

TMemoryChannel::TMemoryChannel(const TMemoryNetwork& network) : fNetwork(network) {}

TMemoryChannel::~TMemoryChannel() = default;

int TMemoryChannel::Open(const std::string& host, std::uint16_t port, std::chrono::milliseconds) {
  Close();
  if (host.empty()) {
    return kWsaEAddrNotAvail;
  }
  TTerminalServer* server = fNetwork.Find(port);
  if (server == nullptr) {
    return kWsaEConnRefused;
  }
  fState = std::make_unique<TState>(*server);
  return 0;
}

TIoStatus TMemoryChannel::Send(std::span<const std::uint8_t> bytes,
                               std::chrono::steady_clock::time_point) {
  if (!fState || fState->peerClosed) {
    return TIoStatus::kClosed;
  }
  if (!fState->session.Feed(bytes, fState->pending)) {
    fState->peerClosed = true;
  }
  return TIoStatus::kOk;
}

TIoStatus TMemoryChannel::Receive(std::vector<std::uint8_t>& out,
                                  std::chrono::steady_clock::time_point) {
  if (!fState) {
    return TIoStatus::kClosed;
  }
  if (!fState->pending.empty()) {
    out.insert(out.end(), fState->pending.begin(), fState->pending.end());
    fState->pending.clear();
    return TIoStatus::kOk;
  }
  // Replies are produced while sending, so nothing more can come: closed or silent.
  return fState->peerClosed ? TIoStatus::kClosed : TIoStatus::kTimeout;
}

void TMemoryChannel::Close() {
  fState.reset();
}

bool TMemoryChannel::IsOpen() const {
  return fState != nullptr;
}

}  // namespace vantorix
