// A raw WebSocket client for tests: exact bytes in, frames or bytes out, with time limits.
// Used by the WebSocket layer's tests and by end-to-end tests of the servers.
//
//   TWsTestClient client("127.0.0.1", port);       // or "::1"
//   ASSERT_TRUE(client.Open());                     // RFC 6455 section 1.3 request, checked 101
//   client.SendText(R"({"act":"echo"})");           // masked; SendText(text, 4) fragments it
//   std::optional<std::string> reply = client.ReadText(2000);  // nullopt: time-out or closed
//   client.SendClose(1000);
//   EXPECT_TRUE(client.WaitForClose());
//
// Exact bytes: SendRaw(); any header combination: SendFrame(fin, opcode, payload, mask, rsv).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vantorix::test {

using TRawBytes = std::vector<std::uint8_t>;

// One frame as the server sent it.
struct TWsFrame {
  bool Fin = false;
  std::uint8_t Rsv = 0;  // the three RSV bits, in bits 0-2
  std::uint8_t Opcode = 0;
  bool Masked = false;
  TRawBytes Payload;  // unmasked
  TRawBytes Raw;      // every byte of the frame as received, header included

  std::string Text() const { return std::string(Payload.begin(), Payload.end()); }
  // The status code of a close frame; nullopt when the body is shorter than two bytes.
  std::optional<std::uint16_t> CloseCode() const;
};

// A client connection over the system's TCP sockets, used directly (independent of the server's
// socket layer).
//
// Threading: one thread at a time. Failure: the constructor throws std::runtime_error when the
// connection cannot be made; sends throw std::runtime_error when the connection is gone; reads
// return nullopt/short results on time-out or close (see IsClosed()).
class TWsTestClient {
 public:
  // host is a numeric IPv4 or IPv6 address ("127.0.0.1", "::1"). receiveBufferBytes > 0 sets
  // the socket's receive buffer before it connects (a client that reads little, or not at all).
  TWsTestClient(const std::string& host, std::uint16_t port, int timeoutMs = 5000,
                int receiveBufferBytes = 0);
  ~TWsTestClient();
  TWsTestClient(const TWsTestClient&) = delete;
  TWsTestClient& operator=(const TWsTestClient&) = delete;

  static constexpr std::string_view kSampleKey = "dGhlIHNhbXBsZSBub25jZQ==";  // RFC 6455 1.3

  // The upgrade request of RFC 6455 section 1.3 with the given key.
  static std::string UpgradeRequest(std::string_view key = kSampleKey);
  // base64(SHA-1(key + GUID)), RFC 6455 section 4.2.2.
  static std::string AcceptFor(std::string_view key);

  void SendRaw(std::span<const std::uint8_t> bytes);
  void SendRaw(std::string_view bytes);

  // Sends UpgradeRequest(key) and reads the response head (through the empty line). Returns it,
  // or an empty text when nothing complete came within timeoutMs.
  std::string Handshake(std::string_view key = kSampleKey, int timeoutMs = 5000);
  // Handshake() and checks status line and accept value; true when upgraded.
  bool Open(std::string_view key = kSampleKey, int timeoutMs = 5000);

  // One frame with every header field chosen by the caller; masked with key when mask is set.
  void SendFrame(bool fin, std::uint8_t opcode, std::span<const std::uint8_t> payload,
                 bool mask = true, std::uint8_t rsv = 0,
                 std::array<std::uint8_t, 4> key = {0x37, 0xFA, 0x21, 0x3D});
  // A masked text or binary message; fragmentSize > 0 splits it into a first frame and
  // continuation frames of at most that many bytes.
  void SendText(std::string_view utf8, std::size_t fragmentSize = 0);
  void SendBinary(std::span<const std::uint8_t> payload, std::size_t fragmentSize = 0);
  void SendPing(std::string_view payload = {});
  void SendPong(std::string_view payload = {});
  // A close frame with the status (and no body when status is nullopt).
  void SendClose(std::optional<std::uint16_t> status = 1000, std::string_view reason = {});

  // The next frame from the server; nullopt on time-out or when the connection ends first.
  std::optional<TWsFrame> ReadFrame(int timeoutMs = 5000);
  // The next text frame's payload, skipping other frames; nullopt on time-out or close.
  std::optional<std::string> ReadText(int timeoutMs = 5000);
  // Up to n bytes: fewer when the time runs out or the connection ends.
  TRawBytes ReadRaw(std::size_t n, int timeoutMs = 5000);
  // Whatever arrives within timeoutMs.
  TRawBytes ReadAvailable(int timeoutMs);
  // Waits until the server ends the connection (end of stream or reset), dropping any bytes
  // that come before. True when it ended within timeoutMs.
  bool WaitForClose(int timeoutMs = 5000);
  // True once a read has seen the end of the connection.
  bool IsClosed() const { return FClosed; }

  // Closes our side normally (FIN).
  void Close();
  // Closes our side with a reset (RST) instead of a FIN.
  void Reset();
  // Ends what we send (FIN) and goes on reading.
  void ShutdownSending();

  // The local port of this client's socket (the server's PeerPort).
  std::uint16_t LocalPort() const;

 private:
  bool Fill(int timeoutMs);  // receives more into FBuffer; false on time-out or end
  bool Need(std::size_t n, long long deadlineMs);
  void SendDataMessage(std::uint8_t opcode, std::span<const std::uint8_t> payload,
                       std::size_t fragmentSize);

  std::intptr_t FFd = -1;  // the socket (a SOCKET on Windows); -1: none
  bool FClosed = false;
  TRawBytes FBuffer;
};

}  // namespace vantorix::test
