// Text-to-integer conversion: decimal or "$"/"x"/"0x"-prefixed hexadecimal, 32-bit signed.
#include "json/TextToInt.h"

#include "json/JsonInternal.h"
#include "json/JsonUtf8.h"

namespace vantorix {

std::optional<std::int32_t> TryTextToInt(std::u16string_view text) noexcept {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && text[i] == u' ')
    ++i;
  bool negative = false;
  if (i < n && (text[i] == u'-' || text[i] == u'+')) {
    negative = text[i] == u'-';
    ++i;
  }
  bool hex = false;
  if (i < n && (text[i] == u'$' || text[i] == u'x' || text[i] == u'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < n && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
    hex = true;
    i += 2;
  }
  if (i == n)
    return std::nullopt;  // empty, or a sign/prefix without digits

  if (hex) {
    // Unsigned arithmetic throughout: the digits form a 32-bit pattern, and negating it wraps
    // (so "-$80000000" is the smallest value, not an overflow).
    std::uint32_t value = 0;
    for (; i < n; ++i) {
      const int digit = JsonHexDigitValue(text[i]);
      if (digit < 0)
        return std::nullopt;
      if (value > 0x0FFFFFFFu)
        return std::nullopt;  // a 33rd significant bit
      value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    if (negative)
      value = 0u - value;
    return static_cast<std::int32_t>(value);
  }

  // Decimal: accumulate the magnitude and compare against the limit of the sign.
  const std::uint32_t limit = negative ? 2147483648u : 2147483647u;
  std::uint32_t magnitude = 0;
  for (; i < n; ++i) {
    const char16_t c = text[i];
    if (c < u'0' || c > u'9')
      return std::nullopt;
    const std::uint32_t digit = c - u'0';
    if (magnitude > (limit - digit) / 10u)
      return std::nullopt;
    magnitude = magnitude * 10u + digit;
  }
  if (negative)
    magnitude = 0u - magnitude;
  return static_cast<std::int32_t>(magnitude);
}

std::int32_t TextToInt(std::u16string_view text) {
  if (const auto value = TryTextToInt(text))
    return *value;
  throw EConvertError("'" + JsonUtf8Encode(text) + "' is not a valid integer value");
}

}  // namespace vantorix
