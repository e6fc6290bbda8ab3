// libFuzzer target: the text-to-integer conversion against a model written here from its
// accepted forms: leading blanks (U+0020 only), an optional sign, decimal digits in the signed
// 32-bit range or hexadecimal digits after "$", "x", "X", "0x" or "0X" forming at most 32
// significant bits ("-" negating the pattern), and nothing after. Every value also converts
// back from the texts that write it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/json/FuzzSupport.h"
#include "json/TextToInt.h"

namespace {

using vantorix::fuzz::Require;

// The digit's value in base 10 or 16, or -1.
int DigitValue(char16_t c, int base) {
  constexpr std::u16string_view kDigits = u"0123456789abcdef";
  const char16_t lower = c >= u'A' && c <= u'F' ? static_cast<char16_t>(c + 32) : c;
  const std::size_t at = kDigits.substr(0, static_cast<std::size_t>(base)).find(lower);
  return at == std::u16string_view::npos ? -1 : static_cast<int>(at);
}

std::optional<std::int32_t> Model(std::u16string_view text) {
  std::size_t blanks = 0;
  while (blanks < text.size() && text[blanks] == u' ')
    ++blanks;
  text.remove_prefix(blanks);
  const bool negative = !text.empty() && text[0] == u'-';
  if (!text.empty() && (text[0] == u'-' || text[0] == u'+'))
    text.remove_prefix(1);
  int base = 10;
  for (std::u16string_view prefix : {u"0x", u"0X", u"$", u"x", u"X"}) {
    if (text.starts_with(prefix) && text.size() > prefix.size()) {
      base = 16;
      text.remove_prefix(prefix.size());
      break;
    }
  }
  if (text.empty())
    return std::nullopt;
  // 64 bits hold any value of up to 9 more digits than the limits need; the significant digits
  // are counted so that long runs of leading zeros are still accepted.
  std::uint64_t magnitude = 0;
  std::size_t significant = 0;
  for (const char16_t c : text) {
    const int digit = DigitValue(c, base);
    if (digit < 0)
      return std::nullopt;
    if (magnitude == 0 && digit == 0)
      continue;
    if (++significant > (base == 16 ? 8u : 10u))
      return std::nullopt;
    magnitude = magnitude * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
  }
  if (base == 16) {
    std::uint32_t pattern = static_cast<std::uint32_t>(magnitude);
    if (negative)
      pattern = ~pattern + 1u;
    std::int32_t value;
    std::memcpy(&value, &pattern, sizeof value);
    return value;
  }
  const std::int64_t value =
      negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  if (value < INT32_MIN || value > INT32_MAX)
    return std::nullopt;
  return static_cast<std::int32_t>(value);
}

bool WellFormed(std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] >= 0xDC00 && text[i] <= 0xDFFF)
      return false;
    if (text[i] >= 0xD800 && text[i] <= 0xDBFF) {
      if (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF)
        return false;
      ++i;
    }
  }
  return true;
}

void Check(const std::u16string& text) {
  const std::optional<std::int32_t> expected = Model(text);
  Require(vantorix::TryTextToInt(text) == expected);
  try {
    Require(vantorix::TextToInt(text) == expected);
  } catch (const vantorix::EConvertError& e) {
    Require(!expected);
    // what() ends at a U+0000 of the text.
    if (text.find(u'\0') != std::u16string::npos)
      return;
    const std::string_view message = e.what();
    constexpr std::string_view kTail = "' is not a valid integer value";
    Require(message.starts_with('\'') && message.ends_with(kTail));
    // The whole input is quoted, unless it holds an unpaired surrogate, which UTF-8 cannot
    // carry.
    if (WellFormed(text))
      Require(vantorix::JsonUtf8Decode(message.substr(1, message.size() - 1 - kTail.size())) ==
              text);
  }
}

// Every value converts back from its decimal text and its hexadecimal pattern.
void CheckWritten(std::int32_t value) {
  const std::string decimal = std::to_string(value);
  Require(vantorix::TryTextToInt(std::u16string(decimal.begin(), decimal.end())) == value);
  char hex[16];
  std::uint32_t pattern;
  std::memcpy(&pattern, &value, sizeof pattern);
  std::snprintf(hex, sizeof hex, "  $%X", pattern);
  Require(vantorix::TryTextToInt(std::u16string(hex, hex + std::strlen(hex))) == value);
  std::snprintf(hex, sizeof hex, "-0x%08x", ~pattern + 1u);
  Require(vantorix::TryTextToInt(std::u16string(hex, hex + std::strlen(hex))) == value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantorix::fuzz::ForEachText(data, size, Check);
  if (size >= 4) {
    std::int32_t value;
    std::memcpy(&value, data, sizeof value);
    CheckWritten(value);
  }
  return 0;
}
