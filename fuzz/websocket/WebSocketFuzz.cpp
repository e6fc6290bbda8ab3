// libFuzzer target: raw bytes as an upgrade request and as a client frame stream, through the
// handshake parser, the UTF-8 decoder, the frame reader and the connection's message reader.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "websocket/FakeSockets.h"
#include "websocket/Handshake.h"
#include "websocket/Utf8.h"
#include "websocket/WebSocketFrames.h"
#include "websocket/WebSocketServer.h"

namespace {

using namespace vantorix;

class TSpanSource final : public TFrameSource {
 public:
  TSpanSource(const std::uint8_t* data, std::size_t size) : FData(data), FSize(size) {}
  std::uint8_t ReadByte() override {
    if (FAt >= FSize)
      throw std::runtime_error("end");
    return FData[FAt++];
  }
  void ReadBytes(TBytes& v, int n, bool append) override {
    if (n < 0 || FSize - FAt < static_cast<std::size_t>(n))
      throw std::runtime_error("end");
    if (append) {
      v.insert(v.end(), FData + FAt, FData + FAt + n);
    } else {
      if (v.size() < static_cast<std::size_t>(n))
        v.resize(static_cast<std::size_t>(n));
      std::copy(FData + FAt, FData + FAt + n, v.begin());
    }
    FAt += static_cast<std::size_t>(n);
  }

 private:
  const std::uint8_t* FData;
  std::size_t FSize;
  std::size_t FAt = 0;
};

// Checks that every answer is a well-formed server control frame (RFC 6455 section 5.5).
class TCheckingSink final : public TFrameSink {
 public:
  void WriteFrame(const TBytes& frame) override {
    if (Closed || frame.size() < 2 || frame.size() > 127)
      std::abort();
    const std::uint8_t op = frame[0] & 0x0F;
    if ((frame[0] & 0xF0) != 0x80 || (op != 0x8 && op != 0xA))
      std::abort();
    if ((frame[1] & 0x80) != 0 || frame[1] + 2u != frame.size())
      std::abort();
  }
  void CloseConnection() override { Closed = true; }
  bool Closed = false;
};

void FuzzHandshake(const std::uint8_t* data, std::size_t size) {
  const std::u16string text = Utf8Decode(std::span<const std::uint8_t>(data, size));
  // Decoding is idempotent through the encoder: replacement characters stay what they are.
  if (Utf8Decode(Utf8Encode(text)) != text)
    std::abort();
  const THeaderMap headers = HeadersParse(text);
  const THashSHA1 hasher;
  if (auto response = HandshakeResponse(headers, hasher)) {
    // 97 characters of fixed head, 28 of accept value, 4 of tail.
    if (response->size() != 129)
      std::abort();
  }
}

void FuzzFrames(const std::uint8_t* data, std::size_t size) {
  TSpanSource source(data, size);
  TCheckingSink sink;
  try {
    while (!sink.Closed) {
      const TClientMessage m = ReadClientMessage(source, sink, 1 << 20);
      if (m.Kind != TMessageKind::Text && !m.Payload.empty())
        std::abort();
    }
  } catch (const std::runtime_error&) {
    // the input ended inside a frame
  }
}

void FuzzConnection(const std::uint8_t* data, std::size_t size) {
  auto pair = MakeMemorySocketPair();
  TIOHandler handler(std::move(pair.Server));
  handler.Tag = kHandshakeDone;
  handler.RecvBufferSize = 1024;
  if (size > 0)
    pair.Client->Send(data, size);
  pair.Client->Close();
  TWebSocketIOHandlerHelper ws(handler);
  for (int guard = 0; handler.Connected() && guard < 100000; ++guard)
    ws.ReadString();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzHandshake(data, size);
  FuzzFrames(data, size);
  FuzzConnection(data, size);
  return 0;
}
