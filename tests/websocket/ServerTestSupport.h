// Helpers for the server tests: a WebSocket server on 127.0.0.1 port 0 with recorded events.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "websocket/WebSocketServer.h"

namespace vantorix::test {

// Polls cond every millisecond until it holds or timeoutMs passed; returns its last value.
inline bool Eventually(const std::function<bool()>& cond, int timeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Echoes every text message back, with the dispatcher's 10 ms wait before the read.
inline void EchoExecute(TConnectionContext* AContext) {
  TIOHandler& io = *AContext->Connection->IOHandler;
  io.CheckForData(10);
  TWebSocketIOHandlerHelper ws(io);
  const std::u16string text = ws.ReadString();
  if (!text.empty())
    ws.WriteString(text);
}

// Activates server on one binding: ip (IPv4 unless it contains ':') and port 0. Returns the
// bound port.
inline std::uint16_t StartOnLoopback(TCustomTCPServer& server,
                                     const std::u16string& ip = u"127.0.0.1") {
  server.Bindings.Clear();
  TSocketHandle* b = server.Bindings.Add();
  b->IP = ip;
  b->Port = 0;
  if (ip.find(u':') != std::u16string::npos)
    b->IPVersion = TIPVersion::IPv6;
  server.SetActive(true);
  return b->BoundPort;
}

}  // namespace vantorix::test
