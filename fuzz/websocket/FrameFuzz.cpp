// libFuzzer target: raw bytes as a client's frame stream, through the message reader on a plain
// byte source and through a connection's reader over in-memory sockets with receives of any
// size. Both must find the same text messages and answer with control frames only.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include "fuzz/websocket/FuzzSupport.h"
#include "websocket/FakeSockets.h"
#include "websocket/WebSocketFrames.h"
#include "websocket/WebSocketServer.h"

namespace {

using namespace vantorix;
using vantorix::fuzz::Require;

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

class TRecordingSink final : public TFrameSink {
 public:
  void WriteFrame(const TBytes& frame) override {
    Require(!Closed);
    Out.insert(Out.end(), frame.begin(), frame.end());
  }
  void CloseConnection() override { Closed = true; }
  TBytes Out;
  bool Closed = false;
};

// The non-empty text messages of the stream, read from the bytes themselves.
std::vector<TBytes> ReadFromSpan(const std::uint8_t* data, std::size_t size) {
  TSpanSource source(data, size);
  TRecordingSink sink;
  std::vector<TBytes> texts;
  try {
    while (!sink.Closed) {
      TClientMessage m = ReadClientMessage(source, sink);
      Require(m.Kind == TMessageKind::Text || m.Payload.empty());
      if (!m.Payload.empty())
        texts.push_back(std::move(m.Payload));
    }
  } catch (const std::runtime_error&) {
    // the input ended inside a frame
  }
  Require(fuzz::ControlFramesOnly(sink.Out));
  return texts;
}

// The same, through an upgraded connection's reader; the client sends everything and closes.
std::vector<TBytes> ReadFromConnection(const std::uint8_t* data, std::size_t size,
                                       std::size_t chunk) {
  auto pair = MakeMemorySocketPair();
  TFaultPlan plan;
  plan.MaxReceiveChunk = chunk;
  TIOHandler handler(std::make_unique<TFaultyStreamSocket>(std::move(pair.Server), plan));
  handler.Tag = kHandshakeDone;
  handler.RecvBufferSize = 1024;
  if (size > 0)
    pair.Client->Send(data, size);
  pair.Client->ShutdownSend();
  TWebSocketIOHandlerHelper ws(handler);
  std::vector<TBytes> texts;
  for (int guard = 0; handler.Connected() && guard < 100000; ++guard) {
    TBytes text = ws.ReadBytes();
    if (!text.empty())
      texts.push_back(std::move(text));
  }
  Require(fuzz::ControlFramesOnly(fuzz::Drain(*pair.Client)));
  return texts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<TBytes> texts = ReadFromSpan(data, size);
  Require(ReadFromConnection(data, size, 0) == texts);
  Require(ReadFromConnection(data, size, 1 + size % 7) == texts);
  return 0;
}
