// Masked text frames and the reader of server frames.
#include "bench/load/WsFrames.h"

#include <cstring>

namespace vantorix {

namespace {

constexpr unsigned kFin = 0x80;
constexpr unsigned kOpContinuation = 0x0;
constexpr unsigned kOpText = 0x1;

std::size_t LengthFieldSize(std::size_t n) {
  return n <= 125 ? 0 : n <= 0xFFFF ? 2 : 8;
}

}  // namespace

std::size_t MaskedFrameSize(std::size_t n) {
  return 2 + LengthFieldSize(n) + 4 + n;
}

void AppendMaskedText(std::string& out, std::string_view payload, std::uint32_t key) {
  const std::size_t n = payload.size();
  const std::size_t start = out.size();
  out.resize(start + MaskedFrameSize(n));
  auto* p = reinterpret_cast<unsigned char*>(out.data() + start);
  *p++ = kFin | kOpText;
  const std::size_t lengthSize = LengthFieldSize(n);
  *p++ = static_cast<unsigned char>(0x80 | (lengthSize == 0 ? n : lengthSize == 2 ? 126 : 127));
  for (std::size_t i = lengthSize; i-- > 0;) {
    *p++ = static_cast<unsigned char>(n >> (8 * i));
  }
  const unsigned char mask[4] = {
      static_cast<unsigned char>(key >> 24), static_cast<unsigned char>(key >> 16),
      static_cast<unsigned char>(key >> 8), static_cast<unsigned char>(key)};
  std::memcpy(p, mask, 4);
  p += 4;
  // Eight bytes at a time: the 16 MB message would otherwise cost the client more than a server.
  std::uint64_t wide;
  unsigned char wideMask[8];
  for (int i = 0; i < 8; ++i) {
    wideMask[i] = mask[i % 4];
  }
  std::memcpy(&wide, wideMask, 8);
  const char* in = payload.data();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t chunk;
    std::memcpy(&chunk, in + i, 8);
    chunk ^= wide;
    std::memcpy(p + i, &chunk, 8);
  }
  for (; i < n; ++i) {
    p[i] = static_cast<unsigned char>(in[i]) ^ mask[i % 4];
  }
}

char* TFrameReader::WriteArea(std::size_t n) {
  if (FBegin == FEnd) {
    FBegin = FEnd = 0;
  }
  if (FBuffer.size() - FEnd < n) {
    // Move what is left to the front before growing, so the buffer stays the size of the
    // largest message rather than of everything received.
    if (FBegin > 0) {
      std::memmove(FBuffer.data(), FBuffer.data() + FBegin, FEnd - FBegin);
      FEnd -= FBegin;
      FBegin = 0;
    }
    if (FBuffer.size() - FEnd < n) {
      FBuffer.resize(FEnd + n);
    }
  }
  return FBuffer.data() + FEnd;
}

bool TFrameReader::Next(std::string_view& message) {
  for (;;) {
    const auto* p = reinterpret_cast<const unsigned char*>(FBuffer.data() + FBegin);
    const std::size_t have = FEnd - FBegin;
    if (have < 2) {
      return false;
    }
    const unsigned first = p[0];
    const unsigned second = p[1];
    if ((first & 0x70) != 0 || (second & 0x80) != 0) {
      throw EBenchError("the server sent a frame with reserved bits or a mask");
    }
    const unsigned opcode = first & 0x0F;
    if (opcode != kOpText && opcode != kOpContinuation) {
      throw EBenchError("the server sent a frame of opcode " + std::to_string(opcode));
    }
    if ((opcode == kOpContinuation) != FInMessage) {
      throw EBenchError("the server sent a continuation frame out of place");
    }
    std::size_t header = 2;
    std::uint64_t length = second & 0x7F;
    if (length >= 126) {
      const std::size_t extra = length == 126 ? 2 : 8;
      if (have < 2 + extra) {
        return false;
      }
      length = 0;
      for (std::size_t i = 0; i < extra; ++i) {
        length = (length << 8) | p[2 + i];
      }
      header += extra;
    }
    if (length > have - header) {
      return false;
    }
    const std::string_view payload(FBuffer.data() + FBegin + header, length);
    FBegin += header + length;
    const bool fin = (first & kFin) != 0;
    if (!FInMessage && fin) {
      message = payload;
      return true;
    }
    if (!FInMessage) {
      FFragments.clear();
    }
    FFragments.append(payload);
    FInMessage = !fin;
    if (fin) {
      message = FFragments;
      return true;
    }
  }
}

}  // namespace vantorix
