// libFuzzer target: raw bytes as an upgrade request and as a client frame stream, through the
// handshake parser, the UTF-8 decoder and validator, the close frame encoder, the frame reader,
// the connection's message reader, and the server's handshake step gathering a request over
// receives of any size with the frames behind it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

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

// Checks the bytes that the handshake step and the reader sent: nothing, or the 101 response
// followed by well-formed control frames (a pong or a close, RFC 6455 section 5.5).
void CheckServerOutput(const TBytes& out) {
  static constexpr std::string_view k101 = "HTTP/1.1 101 Switching Protocols\r\n";
  if (out.empty())
    return;
  // 97 characters of fixed head, 28 of accept value, 4 of tail.
  constexpr std::size_t kResponseSize = 129;
  if (out.size() < kResponseSize || !std::equal(k101.begin(), k101.end(), out.begin()))
    std::abort();
  std::size_t at = kResponseSize;
  while (at < out.size()) {
    if (out.size() - at < 2)
      std::abort();
    const std::uint8_t op = out[at] & 0x0F;
    const std::size_t n = out[at + 1];
    if ((out[at] & 0xF0) != 0x80 || (op != 0x8 && op != 0xA) || n > 125 || out.size() - at < 2 + n)
      std::abort();
    at += 2 + n;
  }
}

// Exposes the server's connect and execute steps, to run them on an in-memory connection.
class TStepServer final : public TWebSocketServer {
 public:
  using TWebSocketServer::DoConnect;
  using TWebSocketServer::DoExecute;
};

// The first byte picks the receive size; the rest is what the client sends before it closes.
// The server gathers the request, answers it, and reads messages as the dispatcher does.
void FuzzHandshakeStep(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return;
  auto pair = MakeMemorySocketPair();
  TFaultPlan plan;
  plan.MaxReceiveChunk = 1 + data[0] % 16;
  auto handler = std::make_unique<TIOHandler>(
      std::make_unique<TFaultyStreamSocket>(std::move(pair.Server), plan));
  TConnectionContext context(std::make_unique<TTCPConnection>(std::move(handler)));
  TStepServer server;
  server.MaxRequestBytes = 256;
  server.OnExecute = [](TConnectionContext* c) {
    TWebSocketIOHandlerHelper(*c->Connection->IOHandler).ReadString();
  };
  if (size > 1)
    pair.Client->Send(data + 1, size - 1);
  pair.Client->ShutdownSend();
  server.DoConnect(&context);
  for (int guard = 0; guard < 100000 && server.DoExecute(&context); ++guard) {
  }
  TBytes out(pair.Client->Pending());
  if (!out.empty())
    pair.Client->Receive(out.data(), out.size(), false);
  CheckServerOutput(out);
}

void FuzzUtf8(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  const std::u16string text = Utf8Decode(bytes);
  // Decoding is idempotent through the encoder: replacement characters stay what they are.
  const TBytes again = Utf8Encode(text);
  if (Utf8Decode(again) != text)
    std::abort();
  // Well-formed input, and only that, comes back unchanged; the validator agrees, however the
  // bytes are cut in two.
  const bool wellFormed = again.size() == size && std::equal(again.begin(), again.end(), data);
  TUtf8Validator validator;
  const std::size_t cut = size == 0 ? 0 : data[0] % (size + 1);
  validator.Feed(bytes.first(cut));
  validator.Feed(bytes.subspan(cut));
  if (validator.Complete() != wellFormed)
    std::abort();
  // A close reason is always well-formed UTF-8 that fits a control frame.
  const TBytes close =
      EncodeCloseFrame(1007, std::string_view(reinterpret_cast<const char*>(data), size));
  TUtf8Validator reason;
  reason.Feed(std::span<const std::uint8_t>(close).subspan(4));
  if (close.size() > 127 || close[1] + 2u != close.size() || !reason.Complete())
    std::abort();
}

void FuzzHandshake(const std::uint8_t* data, std::size_t size) {
  const std::u16string text = Utf8Decode(std::span<const std::uint8_t>(data, size));
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
  FuzzUtf8(data, size);
  FuzzHandshake(data, size);
  FuzzHandshakeStep(data, size);
  FuzzFrames(data, size);
  FuzzConnection(data, size);
  return 0;
}
