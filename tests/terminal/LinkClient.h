// Test helper: one terminal link session spoken with the codec directly.
#pragma once

#include <chrono>
#include <optional>
#include <vector>

#include "terminal/LinkProtocol.h"
#include "terminal/LinkSocket.h"

namespace vantorix {

class TLinkClient {
 public:
  explicit TLinkClient(std::uint16_t port) {
    int error = 0;
    fSocket = ConnectTcp("127.0.0.1", port, std::chrono::seconds(3), error);
  }
  std::optional<TLinkReply> Call(const TLinkRequest& request) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    if (!fSocket.Valid() || SendAll(fSocket, EncodeRequest(request), deadline) != TIoStatus::kOk) {
      return std::nullopt;
    }
    std::vector<std::uint8_t> chunk;
    for (;;) {
      if (auto body = fFrames.Next()) {
        return DecodeReply(*body);
      }
      chunk.clear();
      if (RecvSome(fSocket, chunk, deadline) != TIoStatus::kOk) {
        return std::nullopt;
      }
      fFrames.Feed(chunk);
    }
  }
  // Sends raw bytes; true when the terminal then closes the connection without a reply.
  bool ClosedAfter(const std::vector<std::uint8_t>& bytes) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    if (SendAll(fSocket, bytes, deadline) != TIoStatus::kOk) {
      return true;
    }
    std::vector<std::uint8_t> chunk;
    return RecvSome(fSocket, chunk, deadline) == TIoStatus::kClosed && chunk.empty();
  }
  std::optional<TLinkReply> Call(TLinkOp op, std::int32_t value = 0) {
    TLinkRequest request;
    request.op = op;
    request.value = value;
    return Call(request);
  }

 private:
  TSocket fSocket;
  TFrameAssembler fFrames;
};

}  // namespace vantorix
