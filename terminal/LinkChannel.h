// The byte link under a terminal control: TCP sockets for real terminals, or an in-memory link
// straight into simulated terminals (no sockets), both behind one small interface.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "terminal/LinkSocket.h"

namespace vantorix {

class TTerminalServer;

// One link to one terminal at a time. Owned and used by one control; not thread-safe.
// Failure: Open gives a Winsock code; Send and Receive report TIoStatus, never throw.
class TLinkChannel {
 public:
  virtual ~TLinkChannel() = default;
  // Opens the link (closing any open one) within the time-out. 0, or a Winsock code (10061
  // refused, 10060 timed out, 10049 for an address that is not numeric, ...).
  virtual int Open(const std::string& host, std::uint16_t port,
                   std::chrono::milliseconds timeout) = 0;
  virtual TIoStatus Send(std::span<const std::uint8_t> bytes,
                         std::chrono::steady_clock::time_point deadline) = 0;
  // Appends at least one byte, or reports why nothing came before the deadline.
  virtual TIoStatus Receive(std::vector<std::uint8_t>& out,
                            std::chrono::steady_clock::time_point deadline) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
};

// TCP: a non-blocking socket with bounded connect, send and receive.
class TSocketChannel : public TLinkChannel {
 public:
  int Open(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout) override;
  TIoStatus Send(std::span<const std::uint8_t> bytes,
                 std::chrono::steady_clock::time_point deadline) override;
  TIoStatus Receive(std::vector<std::uint8_t>& out,
                    std::chrono::steady_clock::time_point deadline) override;
  void Close() override { fSocket.Close(); }
  bool IsOpen() const override { return fSocket.Valid(); }

 private:
  TLinkSocket fSocket;
};

// Simulated terminals reachable by port number without sockets (the host is not looked at).
// The servers need not be started; they must outlive every channel that uses the network.
class TMemoryNetwork {
 public:
  void Attach(std::uint16_t port, TTerminalServer& server) { fTerminals[port] = &server; }
  TTerminalServer* Find(std::uint16_t port) const;

 private:
  std::map<std::uint16_t, TTerminalServer*> fTerminals;
};

// A link into a terminal of a TMemoryNetwork: requests are answered on the caller's thread by
// the same session code a connection thread runs, faults included. An injected answer delay
// makes the call slower but cannot run into the caller's time-out (the answer is already there
// when the caller starts waiting); a dropped connection reads as closed.
class TMemoryChannel : public TLinkChannel {
 public:
  explicit TMemoryChannel(const TMemoryNetwork& network);
  ~TMemoryChannel() override;
  int Open(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout) override;
  TIoStatus Send(std::span<const std::uint8_t> bytes,
                 std::chrono::steady_clock::time_point deadline) override;
  TIoStatus Receive(std::vector<std::uint8_t>& out,
                    std::chrono::steady_clock::time_point deadline) override;
  void Close() override;
  bool IsOpen() const override;

 private:
  class TState;
  const TMemoryNetwork& fNetwork;
  std::unique_ptr<TState> fState;
};

}  // namespace vantorix
