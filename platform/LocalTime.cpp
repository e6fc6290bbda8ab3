// Local time, and the time separator read from strftime formats and from Windows time pictures.
#include "platform/LocalTime.h"

#include <cwchar>

namespace vantorix {
namespace {

// Multibyte text of the current locale to UTF-16; an undecodable text gives nothing.
std::u16string FromLocaleText(std::string_view text) {
  std::u16string out;
  std::mbstate_t state{};
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    wchar_t wc = 0;
    const std::size_t used = std::mbrtowc(&wc, p, left, &state);
    if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2)) {
      return {};
    }
    const std::size_t step = used == 0 ? 1 : used;
    const auto code = static_cast<char32_t>(wc);
    if (code >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(code);
    }
    p += step;
    left -= step;
  }
  return out;
}

}  // namespace

std::tm LocalTime(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  return local;
}

std::u16string TimeSeparatorFromStrftime(std::string_view format) {
  // The hour conversion may carry a flag or an E/O modifier ("%-H", "%OH"); the separator is
  // whatever literal text stands between it and the minute conversion.
  const std::string_view hours = "HIkl";
  const std::string_view modifiers = "-_0^#EO";
  std::size_t i = 0;
  while (i + 1 < format.size()) {
    if (format[i] != '%') {
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    while (j < format.size() && modifiers.find(format[j]) != std::string_view::npos) {
      ++j;
    }
    if (j >= format.size()) {
      break;
    }
    if (format[j] == 'T' || format[j] == 'R') {
      return u":";
    }
    if (hours.find(format[j]) == std::string_view::npos) {
      i = j + 1;
      continue;
    }
    const std::size_t start = j + 1;
    const std::size_t next = format.find('%', start);
    if (next == std::string_view::npos || next == start) {
      return u":";
    }
    std::size_t m = next + 1;
    while (m < format.size() && modifiers.find(format[m]) != std::string_view::npos) {
      ++m;
    }
    if (m >= format.size() || format[m] != 'M') {
      return u":";
    }
    std::u16string separator = FromLocaleText(format.substr(start, next - start));
    return separator.empty() ? std::u16string(u":") : separator;
  }
  return u":";
}

std::u16string TimeSeparatorFromPicture(std::u16string_view picture) {
  // The picture's fields are runs of h, H, m, s and t outside quotes; everything else is literal.
  bool quoted = false;
  bool afterHour = false;
  std::u16string literal;
  for (std::size_t i = 0; i < picture.size(); ++i) {
    const char16_t c = picture[i];
    if (c == u'\'') {
      if (i + 1 < picture.size() && picture[i + 1] == u'\'') {
        literal += u'\'';
        ++i;
      } else {
        quoted = !quoted;
      }
      continue;
    }
    const bool field = !quoted && (c == u'h' || c == u'H' || c == u'm' || c == u's' || c == u't');
    if (!field) {
      literal += c;
      continue;
    }
    if (c == u'h' || c == u'H') {
      afterHour = true;
      literal.clear();
    } else if (afterHour) {
      return c == u'm' && !literal.empty() ? literal : std::u16string(u":");
    }
  }
  return u":";
}

}  // namespace vantorix
