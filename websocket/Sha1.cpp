// SHA-1 (FIPS 180-4, section 6.1).
#include "websocket/Sha1.h"

#include <bit>

namespace vantorix {

TSha1::TSha1() {
  Reset();
}

void TSha1::Reset() {
  FH = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};  // section 5.3.1
  FBlockLen = 0;
  FTotalLen = 0;
}

void TSha1::Block(const std::uint8_t* p) {
  std::uint32_t w[80];
  for (int t = 0; t < 16; ++t) {
    w[t] = (std::uint32_t{p[4 * t]} << 24) | (std::uint32_t{p[4 * t + 1]} << 16) |
           (std::uint32_t{p[4 * t + 2]} << 8) | std::uint32_t{p[4 * t + 3]};
  }
  for (int t = 16; t < 80; ++t) {
    w[t] = std::rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
  }
  std::uint32_t a = FH[0], b = FH[1], c = FH[2], d = FH[3], e = FH[4];
  for (int t = 0; t < 80; ++t) {
    std::uint32_t f, k;  // section 4.1.1 and 4.2.1
    if (t < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999u;
    } else if (t < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1u;
    } else if (t < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDCu;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6u;
    }
    const std::uint32_t temp = std::rotl(a, 5) + f + e + k + w[t];
    e = d;
    d = c;
    c = std::rotl(b, 30);
    b = a;
    a = temp;
  }
  FH[0] += a;
  FH[1] += b;
  FH[2] += c;
  FH[3] += d;
  FH[4] += e;
}

void TSha1::Update(std::span<const std::uint8_t> data) {
  FTotalLen += data.size();
  for (std::uint8_t byte : data) {
    FBlock[FBlockLen++] = byte;
    if (FBlockLen == FBlock.size()) {
      Block(FBlock.data());
      FBlockLen = 0;
    }
  }
}

TSha1Digest TSha1::Finish() {
  const std::uint64_t bitLen = FTotalLen * 8;
  // Section 5.1.1: a 1 bit, zeros up to 56 mod 64 bytes, then the 64-bit big-endian bit length.
  FBlock[FBlockLen++] = 0x80;
  if (FBlockLen > 56) {
    while (FBlockLen < 64)
      FBlock[FBlockLen++] = 0;
    Block(FBlock.data());
    FBlockLen = 0;
  }
  while (FBlockLen < 56)
    FBlock[FBlockLen++] = 0;
  for (int i = 7; i >= 0; --i)
    FBlock[FBlockLen++] = static_cast<std::uint8_t>(bitLen >> (8 * i));
  Block(FBlock.data());
  TSha1Digest digest{};
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 4; ++j) {
      digest[4 * i + j] = static_cast<std::uint8_t>(FH[i] >> (24 - 8 * j));
    }
  }
  Reset();
  return digest;
}

TSha1Digest THashSHA1::HashBytes(std::span<const std::uint8_t> data) const {
  TSha1 sha;
  sha.Update(data);
  return sha.Finish();
}

}  // namespace vantorix
