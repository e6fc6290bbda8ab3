// UTF-8 <-> UTF-16 conversion with U+FFFD for what cannot be carried; ASCII runs take a fast path.
#include "json/JsonUtf8.h"

#include <cstdint>
#include <cstring>

namespace vantorix {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void AppendReplacementUtf8(std::string& out) {
  out.append("\xEF\xBF\xBD");
}

}  // namespace

void JsonUtf8EncodeAppend(std::u16string_view text, std::string& out) {
  const char16_t* p = text.data();
  const char16_t* const end = p + text.size();
  out.reserve(out.size() + text.size());
  while (p < end) {
    // ASCII run: one byte per unit.
    const char16_t* run = p;
    while (p < end && *p < 0x80)
      ++p;
    if (p > run) {
      const std::size_t old = out.size();
      out.resize(old + static_cast<std::size_t>(p - run));
      char* dst = out.data() + old;
      for (const char16_t* q = run; q < p; ++q)
        *dst++ = static_cast<char>(*q);
      if (p == end)
        break;
    }
    const std::uint32_t c = *p++;
    if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      if (c <= 0xDBFF && p < end && *p >= 0xDC00 && *p <= 0xDFFF) {
        const std::uint32_t cp = 0x10000 + ((c - 0xD800) << 10) + (*p++ - 0xDC00u);
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
      } else {
        AppendReplacementUtf8(out);
      }
    } else {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
}

std::string JsonUtf8Encode(std::u16string_view text) {
  std::string out;
  JsonUtf8EncodeAppend(text, out);
  return out;
}

std::u16string JsonUtf8Decode(std::string_view bytes) {
  std::u16string out;
  out.resize(bytes.size());  // never more units than bytes
  char16_t* dst = out.data();
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = p + bytes.size();
  while (p < end) {
    // ASCII fast path, eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t block;
      std::memcpy(&block, p, 8);
      if (block & 0x8080808080808080ull)
        break;
      for (int k = 0; k < 8; ++k)
        dst[k] = p[k];
      dst += 8;
      p += 8;
    }
    if (p == end)
      break;
    const unsigned char b0 = *p;
    if (b0 < 0x80) {
      *dst++ = b0;
      ++p;
      continue;
    }
    // Length and the valid range of the second byte (Unicode Table 3-7).
    int length = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    std::uint32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      length = 2;
      cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      length = 3;
      cp = b0 & 0x0F;
      if (b0 == 0xE0)
        lo = 0xA0;
      if (b0 == 0xED)
        hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      length = 4;
      cp = b0 & 0x07;
      if (b0 == 0xF0)
        lo = 0x90;
      if (b0 == 0xF4)
        hi = 0x8F;  // nothing above U+10FFFF
    } else {
      *dst++ = kReplacement;
      ++p;
      continue;
    }
    int taken = 1;
    bool valid = true;
    for (; taken < length; ++taken) {
      if (p + taken >= end) {
        valid = false;
        break;
      }
      const unsigned char b = p[taken];
      const unsigned char low = taken == 1 ? lo : 0x80;
      const unsigned char high = taken == 1 ? hi : 0xBF;
      if (b < low || b > high) {
        valid = false;
        break;
      }
      cp = (cp << 6) | (b & 0x3F);
    }
    p += taken;  // a maximal invalid subpart is consumed as a whole
    if (!valid) {
      *dst++ = kReplacement;
    } else if (cp >= 0x10000) {
      cp -= 0x10000;
      *dst++ = static_cast<char16_t>(0xD800 + (cp >> 10));
      *dst++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      *dst++ = static_cast<char16_t>(cp);
    }
  }
  out.resize(static_cast<std::size_t>(dst - out.data()));
  return out;
}

}  // namespace vantorix
