// The countdown socket layer: a listener that hands out counting connections.
#include "websocket/CountdownSocketApi.h"

#include <string>
#include <utility>

#include "net/SocketErrors.h"

namespace vantorix {
namespace {

class TCountdownSocket final : public TStreamSocket {
 public:
  TCountdownSocket(std::unique_ptr<TStreamSocket> inner,
                   std::shared_ptr<TSocketCountdown> countdown)
      : FInner(std::move(inner)), FCountdown(std::move(countdown)) {}

  bool WaitReadable(int timeoutMs) override { return FInner->WaitReadable(timeoutMs); }
  std::ptrdiff_t Receive(std::uint8_t* data, std::size_t size, bool peek) override {
    // A peek takes nothing: only the calls that move bytes count.
    if (!peek) {
      Count(TSocketCall::Receive);
    }
    return FInner->Receive(data, size, peek);
  }
  bool WaitWritable(int timeoutMs) override { return FInner->WaitWritable(timeoutMs); }
  std::ptrdiff_t Send(const std::uint8_t* data, std::size_t size) override {
    Count(TSocketCall::Send);
    return FInner->Send(data, size);
  }
  void Close() override { FInner->Close(); }
  bool IsOpen() const override { return FInner->IsOpen(); }
  TSocketAddress LocalAddress() const override { return FInner->LocalAddress(); }
  TSocketAddress PeerAddress() const override { return FInner->PeerAddress(); }

 private:
  void Count(TSocketCall kind) {
    TSocketCountdown& c = *FCountdown;
    if (c.Kind != kind) {
      return;
    }
    // Once broken, a connection stays broken: every call from the failing one on raises.
    if (++c.Calls >= c.FailAt && c.FailAt > 0) {
      throw TSocketError(c.ErrorCode);
    }
  }

  std::unique_ptr<TStreamSocket> FInner;
  std::shared_ptr<TSocketCountdown> FCountdown;
};

}  // namespace

class TCountdownSocketApi::TListener final : public TListenSocket {
 public:
  TListener(TCountdownSocketApi& api, std::unique_ptr<TListenSocket> inner)
      : FApi(api), FInner(std::move(inner)) {}

  void Bind(const std::u16string& ip, std::uint16_t port) override { FInner->Bind(ip, port); }
  void Listen(int backlog) override { FInner->Listen(backlog); }
  std::unique_ptr<TStreamSocket> Accept(int timeoutMs) override {
    std::unique_ptr<TStreamSocket> socket = FInner->Accept(timeoutMs);
    if (!socket) {
      return socket;
    }
    ++FApi.FAccepted;
    if (std::shared_ptr<TSocketCountdown> countdown = FApi.TakeArmed()) {
      return std::make_unique<TCountdownSocket>(std::move(socket), std::move(countdown));
    }
    return socket;
  }
  TSocketAddress LocalAddress() const override { return FInner->LocalAddress(); }
  void Close() override { FInner->Close(); }

 private:
  TCountdownSocketApi& FApi;
  std::unique_ptr<TListenSocket> FInner;
};

std::shared_ptr<TSocketCountdown> TCountdownSocketApi::Arm(TSocketCall kind, int failAt,
                                                           int errorCode) {
  auto countdown = std::make_shared<TSocketCountdown>();
  countdown->Kind = kind;
  countdown->FailAt = failAt;
  countdown->ErrorCode = errorCode;
  std::lock_guard<std::mutex> lock(FLock);
  FArmed = countdown;
  return countdown;
}

std::shared_ptr<TSocketCountdown> TCountdownSocketApi::TakeArmed() {
  std::lock_guard<std::mutex> lock(FLock);
  return std::exchange(FArmed, nullptr);
}

std::unique_ptr<TListenSocket> TCountdownSocketApi::OpenListener(TIPVersion version) {
  return std::make_unique<TListener>(*this, FInner.OpenListener(version));
}

}  // namespace vantorix
