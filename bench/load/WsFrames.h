// The load client's side of RFC 6455 framing: masked text frames built by hand, and a reader
// that takes the server's frames from a byte stream and gives whole text messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vantorix {

// A fault of the server under load (a wrong reply, a frame it must not send, a lost connection)
// or of the machine (a socket that cannot be made). what() says which and where.
class EBenchError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Appends one final, masked text frame carrying payload, masked with key (most significant
// byte first on the wire), to out.
void AppendMaskedText(std::string& out, std::string_view payload, std::uint32_t key);

// Size of the frame AppendMaskedText builds for a payload of n bytes.
std::size_t MaskedFrameSize(std::size_t n);

// Reassembles the text messages of one connection from the bytes the server sends. A server
// frame must be unmasked, without reserved bits, and text (a message may come in fragments);
// anything else (binary, close, ping, pong, a masked frame) raises EBenchError, since the load
// never asks for it. Single-threaded.
class TFrameReader {
 public:
  // Room for at least n more bytes at the end of the buffered input; fill some of it, then Commit.
  char* WriteArea(std::size_t n);
  void Commit(std::size_t n) { FEnd += n; }

  // The next whole message, or false when the buffered bytes do not hold one yet. The text stays
  // valid until the next call of Next or WriteArea.
  bool Next(std::string_view& message);

  // Bytes buffered but not yet given out as part of a message.
  std::size_t Pending() const { return FEnd - FBegin; }

 private:
  std::vector<char> FBuffer;
  std::size_t FBegin = 0;
  std::size_t FEnd = 0;
  std::string FFragments;  // the first frames of a fragmented message
  bool FInMessage = false;
};

}  // namespace vantorix
