// Buffered reading and writing on one TCP connection (TIOHandler), its input buffer and the
// socket binding (TSocketHandle) with local and peer addresses.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "net/SocketApi.h"
#include "net/SpinBeforeWait.h"
#include "websocket/Bytes.h"
#include "websocket/SendQueue.h"

namespace vantorix {

// One binding of a server (a local endpoint to listen on) or the socket of one connection.
// Bindings are changed only while the server is inactive, on the owner's thread; the fields of a
// connection's binding are written once before its thread starts and read-only afterwards.
class TSocketHandle {
 public:
  std::u16string IP;  // empty: the any-address of IPVersion
  std::uint16_t Port = 0;
  TIPVersion IPVersion = TIPVersion::IPv4;
  std::u16string PeerIP;  // connections only
  std::uint16_t PeerPort = 0;

  // For a listening binding, while the server is active: the endpoint actually bound (the real
  // port when Port is 0, the any-address written out). Empty IP and port 0 otherwise.
  std::u16string BoundIP;
  std::uint16_t BoundPort = 0;
  // "ADDR:PORT" of the bound endpoint, the IPv6 address in brackets: "127.0.0.1:8989",
  // "[0:0:0:0:0:0:0:1]:8989". Empty when not bound.
  std::u16string BoundEndpointText() const;
};

class TIOHandler;

// Bytes received and not yet consumed. A member of TIOHandler and guarded by its lock.
class TInputBuffer {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  // Moves every buffered byte to the end of VBytes. Never touches the socket.
  void ExtractToBytes(TBytes& VBytes);
  // Moves the first AByteCount buffered bytes (all of them, when fewer are buffered) to the end
  // of VBytes; the rest stay buffered. Never touches the socket.
  void ExtractToBytes(TBytes& VBytes, std::size_t AByteCount);
  // Where needle first starts in the buffered bytes at or after position from; npos when it
  // does not (yet). An empty needle is found at from.
  std::size_t IndexOf(std::span<const std::uint8_t> needle, std::size_t from = 0) const;
  std::size_t Size() const;
  // Bytes of memory the buffer holds now, used or not.
  std::size_t Capacity() const;

 private:
  friend class TIOHandler;
  explicit TInputBuffer(std::mutex& lock) : FLock(lock) {}
  std::size_t SizeLocked() const { return FData.size() - FHead; }
  void AppendLocked(const std::uint8_t* data, std::size_t n);
  void TakeLocked(std::uint8_t* out, std::size_t n);

  std::mutex& FLock;
  TBytes FData;
  std::size_t FHead = 0;  // consumed bytes at the front of FData, dropped lazily
};

enum class TByteEncoding { UTF8 };

// Reading and writing on one connection, with the buffered-read semantics the WebSocket code
// is built on.
//
// Everything sent goes through the connection's send queue (TSendQueue): bytes leave in the
// order they were handed over, each Post or Write whole, never interleaved with another.
//
// Ownership: owns its socket (shared with its send queue); the socket is closed by Close(), by
// the queue once CloseWhenSent's bytes are out or sending failed, or by the destructor.
// Threading: reads (ReadByte, ReadBytes, CheckForData, InputBuffer) belong to the connection's
// own thread. Connected(), Post, Write, Close and CloseWhenSent may be called from any thread at
// the same time. Connected() from another thread while the owner waits for bytes only looks at
// the socket and takes nothing from it, so the waiting reader is never robbed of its wake-up.
// Failure: reads and writes on a closed connection raise TConnClosedGracefully; other socket
// failures raise TSocketError. Sending gives the connection up (closes it) on any send failure,
// when the socket takes no byte for the stall time-out (Write then raises TSocketError(10060))
// and when the queue would hold more than its limit (see TSendLimits).
class TIOHandler {
  // Declared first: InputBuffer is bound to it. Guards InputBuffer and the state flags.
  mutable std::mutex FLock;

 public:
  explicit TIOHandler(std::unique_ptr<TStreamSocket> socket);
  ~TIOHandler();
  TIOHandler(const TIOHandler&) = delete;
  TIOHandler& operator=(const TIOHandler&) = delete;

  // Free for the owner; the WebSocket server keeps the handshake state here (0, -1, 1).
  std::atomic<std::int32_t> Tag{0};
  TInputBuffer InputBuffer;
  int ReadTimeout = -1;  // ms; -1 or 0: no limit
  int RecvBufferSize = 32768;
  TSocketHandle* const Binding;  // the connection's addresses; owned by the handler
  std::u16string BoundIP;        // never set for accepted connections

  // Whether the connection is still usable or unread bytes are still buffered: true at once,
  // without looking at the socket, while bytes are buffered. Otherwise may buffer bytes and may
  // find the connection closed. Raises TSocketError for codes other than 10053, 10054,
  // 10058 (false) and 10060 (a receive time-out: nothing received).
  bool Connected();
  // Waits up to ATimeout ms for new bytes and buffers them; true if new bytes arrived.
  bool CheckForData(int ATimeout);
  // Waits until at least AByteCount bytes are buffered or ADeadline has passed, however many
  // receives that takes, without polling. True when the bytes are there; false when the time
  // ran out or the connection closed first. Raises TSocketError only for failures other than a
  // lost connection. Owner thread only.
  bool WaitForInput(std::size_t AByteCount, std::chrono::steady_clock::time_point ADeadline);
  bool InputBufferIsEmpty() const;
  std::uint8_t ReadByte();
  // Waits until AByteCount bytes are buffered and takes them: appended to VBuffer, or copied to
  // its front (VBuffer lengthened when shorter, never shortened). A count <= 0 reads nothing.
  void ReadBytes(TBytes& VBuffer, int AByteCount, bool AAppend);
  // Fills out as ReadByte would one byte at a time (raising like it, after taking the bytes that
  // came before the end of the stream), in one step when they are buffered already.
  void ReadBytes(std::span<std::uint8_t> out);
  // Sends ALength bytes from AOffset (-1: the rest); returns when all are handed to the socket.
  void Write(const TBytes& ABuffer, int ALength = -1, int AOffset = 0);
  // Encodes the text and writes the bytes; an empty text writes nothing.
  void Write(const std::u16string& AOut, TByteEncoding AByteEncoding = TByteEncoding::UTF8);
  // Hands the bytes to the send queue and returns at once, without waiting for the socket. With
  // last set nothing is sent after them (a close frame). False when they were dropped: the
  // connection is closed or closing, or fell too far behind (it is then given up).
  bool Post(TSharedBytes bytes, bool last = false);
  // The send queue, for callers that hand bytes over under a lock of their own and send them
  // after releasing it (TSendQueue::Push, then Flush).
  const std::shared_ptr<TSendQueue>& Outgoing() const { return FQueue; }
  // Holds the replies this thread queues until it next waits for input (or writes with Write,
  // or the connection closes), so that the answers to messages received together leave in one
  // send. Owner thread only; see TSendQueue::HoldFlushes.
  void HoldReplies();
  // Sends what HoldReplies held back, now. Owner thread only.
  void ReleaseReplies();
  // Limits of the send queue; 10 s without progress and 64 MiB behind by default.
  void SetSendLimits(TSendLimits limits) { FQueue->SetLimits(limits); }
  TSendLimits SendLimits() const { return FQueue->Limits(); }
  // Closes now; whatever is still queued is dropped.
  void Close();
  // Ends reading now (Connected() false once the buffer is empty, reads raise closed) and closes
  // the socket once everything queued has been sent, or when sending fails or stalls.
  void CloseWhenSent();
  // Waits until the socket is closed (by Close, or by CloseWhenSent once sent). With
  // CloseWhenSent called first, bounded by the send limits.
  void WaitClosed() { FQueue->WaitClosed(); }
  // False once Close() or CloseWhenSent() ran or the socket was found closed.
  bool Opened() const;
  // True when nothing is buffered and the stream is known to have ended (closed here, or the
  // peer's end seen), so that a read could only raise; looks at no socket. Any thread.
  bool Drained() const;

 private:
  // Receive step: waitLimit -1 means ReadTimeout; 0 means only look. Returns bytes received, 0
  // when the socket is closed (or, with satisfiedAt > 0, when that many bytes are already
  // buffered), -1 on time-out.
  int ReceiveStep(int waitLimit, bool raiseOnTimeout, std::size_t satisfiedAt = 0);
  // With FLock held; raises TConnClosedGracefully when disconnected and raise is set and
  // (ignoreBuffer or nothing is buffered).
  // Waits until count bytes are buffered; raises like ReadBytes. Owner thread only.
  void WaitBuffered(std::size_t count);
  // WaitBuffered, then takes count bytes from the front of InputBuffer.
  void ReadInto(std::uint8_t* out, std::size_t count);
  // With FLock held: one receive without waiting into InputBuffer. Returns the count, 0 at end
  // of stream or on a lost connection (both marked), kWouldBlock when nothing is there.
  std::ptrdiff_t ReceiveNowLocked(std::size_t chunk);
  bool DisconnectCheckLocked(bool raise, bool ignoreBuffer);
  bool SocketOpenLocked() const { return FOpened && FSocket->IsOpen(); }
  void MarkLostLocked();

  std::shared_ptr<TStreamSocket> FSocket;
  std::shared_ptr<TSendQueue> FQueue;
  TSocketHandle FBinding;
  bool FOpened = true;
  bool FClosedGracefully = false;
  int FWaiters = 0;           // reads currently waiting on the socket
  TSpinBeforeWait FSpin;      // under FLock
  bool FRepliesHeld = false;  // owner thread only
};

}  // namespace vantorix
