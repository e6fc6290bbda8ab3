// Scanning loops of the reader and writer over UTF-16 units, eight units at a time with SSE2
// where the target has it (every x86-64 does), one at a time otherwise.
#include "json/JsonInternal.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vantorix {

namespace {

bool EndsStringRun(char16_t c) {
  return c == u'"' || c == u'\\' || c == u'\n' || c == u'\r';
}
bool IsEscapable(char16_t c) {
  return c < 0x20 || c == u'"' || c == u'\\';
}

#if defined(__SSE2__)
const char16_t* FirstSet(const char16_t* p, int mask) {
  return p + (__builtin_ctz(static_cast<unsigned>(mask)) >> 1);
}
#endif

}  // namespace

const char16_t* ScanStringToken(const char16_t* p, const char16_t* end) noexcept {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi16(u'"');
  const __m128i backslash = _mm_set1_epi16(u'\\');
  const __m128i lf = _mm_set1_epi16(u'\n');
  const __m128i cr = _mm_set1_epi16(u'\r');
  while (end - p >= 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hit =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(v, quote), _mm_cmpeq_epi16(v, backslash)),
                     _mm_or_si128(_mm_cmpeq_epi16(v, lf), _mm_cmpeq_epi16(v, cr)));
    const int mask = _mm_movemask_epi8(hit);
    if (mask != 0)
      return FirstSet(p, mask);
    p += 8;
  }
#endif
  while (p < end && !EndsStringRun(*p))
    ++p;
  return p;
}

namespace {

template <bool Slash>
const char16_t* ScanEscapableUnits(const char16_t* p, const char16_t* end) noexcept {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi16(u'"');
  const __m128i backslash = _mm_set1_epi16(u'\\');
  const __m128i slash = _mm_set1_epi16(u'/');
  const __m128i below = _mm_set1_epi16(0x1F);
  const __m128i zero = _mm_setzero_si128();
  while (end - p >= 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Unsigned v <= 0x1F exactly when the saturating v - 0x1F is zero.
    const __m128i control = _mm_cmpeq_epi16(_mm_subs_epu16(v, below), zero);
    __m128i hit = _mm_or_si128(
        control, _mm_or_si128(_mm_cmpeq_epi16(v, quote), _mm_cmpeq_epi16(v, backslash)));
    if constexpr (Slash)
      hit = _mm_or_si128(hit, _mm_cmpeq_epi16(v, slash));
    const int mask = _mm_movemask_epi8(hit);
    if (mask != 0)
      return FirstSet(p, mask);
    p += 8;
  }
#endif
  while (p < end && !IsEscapable(*p) && !(Slash && *p == u'/'))
    ++p;
  return p;
}

}  // namespace

const char16_t* ScanEscapable(const char16_t* p, const char16_t* end) noexcept {
  return ScanEscapableUnits<false>(p, end);
}

const char16_t* ScanEscapableOrSlash(const char16_t* p, const char16_t* end) noexcept {
  return ScanEscapableUnits<true>(p, end);
}

}  // namespace vantorix
