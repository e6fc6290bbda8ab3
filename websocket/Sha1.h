// SHA-1 message digest (FIPS 180-4), used for the WebSocket accept value.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace vantorix {

using TSha1Digest = std::array<std::uint8_t, 20>;

// Incremental SHA-1. One object holds the state of one digest; not safe for concurrent use.
class TSha1 {
 public:
  TSha1();
  void Update(std::span<const std::uint8_t> data);
  // Pads, returns the digest and resets the object for a new message.
  TSha1Digest Finish();

 private:
  void Block(const std::uint8_t* p);
  void Reset();

  std::array<std::uint32_t, 5> FH{};
  std::array<std::uint8_t, 64> FBlock{};
  std::size_t FBlockLen = 0;
  std::uint64_t FTotalLen = 0;
};

// The server's hasher. HashBytes keeps its working state on the caller's stack, so any number of
// threads may use one THashSHA1 at the same time.
class THashSHA1 {
 public:
  TSha1Digest HashBytes(std::span<const std::uint8_t> data) const;
};

}  // namespace vantorix
