// UTF-8 <-> UTF-16 conversion with U+FFFD for what cannot be carried; ASCII runs take a fast
// path (sixteen units at a time with SSE2 where the target has it).
#include "json/JsonUtf8.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vantorix {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

}  // namespace

void JsonUtf8EncodeAppend(std::u16string_view text, std::string& out) {
  const char16_t* p = text.data();
  const char16_t* const end = p + text.size();
  // Sized for ASCII and grown when a longer sequence needs room; `pos` is the end of the
  // output written so far.
  std::size_t pos = out.size();
  out.resize(pos + text.size());
  while (p < end) {
#if defined(__SSE2__)
    while (end - p >= 16) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
      const __m128i high = _mm_and_si128(_mm_or_si128(a, b), _mm_set1_epi16(-0x80));
      if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF)
        break;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out.data() + pos), _mm_packus_epi16(a, b));
      pos += 16;
      p += 16;
    }
#endif
    while (p < end && *p < 0x80)
      out[pos++] = static_cast<char>(*p++);
    if (p == end)
      break;
    // At most 4 bytes for this unit (or pair), and 1 for each unit after it.
    const std::size_t need = pos + 4 + static_cast<std::size_t>(end - p);
    if (need > out.size())
      out.resize(std::max(need, out.size() + out.size() / 2));
    char* dst = out.data() + pos;
    const std::uint32_t c = *p++;
    if (c < 0x800) {
      *dst++ = static_cast<char>(0xC0 | (c >> 6));
      *dst++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      if (c <= 0xDBFF && p < end && *p >= 0xDC00 && *p <= 0xDFFF) {
        const std::uint32_t cp = 0x10000 + ((c - 0xD800) << 10) + (*p++ - 0xDC00u);
        *dst++ = static_cast<char>(0xF0 | (cp >> 18));
        *dst++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *dst++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *dst++ = static_cast<char>(0x80 | (cp & 0x3F));
      } else {
        *dst++ = '\xEF';  // U+FFFD for an unpaired surrogate
        *dst++ = '\xBF';
        *dst++ = '\xBD';
      }
    } else {
      *dst++ = static_cast<char>(0xE0 | (c >> 12));
      *dst++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *dst++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    pos = static_cast<std::size_t>(dst - out.data());
  }
  out.resize(pos);
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
#if defined(__SSE2__)
    while (end - p >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      if (_mm_movemask_epi8(v) != 0)
        break;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_unpacklo_epi8(v, _mm_setzero_si128()));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 8),
                       _mm_unpackhi_epi8(v, _mm_setzero_si128()));
      dst += 16;
      p += 16;
    }
#endif
    if (p == end)
      break;
    if (*p < 0x80) {
      *dst++ = *p++;
      continue;
    }
    const unsigned char b0 = *p;
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
    p += taken;  // a maximal ill-formed subpart is replaced as a whole
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
