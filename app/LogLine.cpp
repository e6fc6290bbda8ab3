// Timestamps and log lines of the operator log.
#include "app/LogLine.h"

#include <algorithm>
#include <string>
#include <utility>

#include "platform/LocalTime.h"

namespace vantorix {
namespace {

void AppendDigits(std::u16string& out, int value, int width) {
  // Built backwards in place: every log line's timestamp passes here six times.
  char16_t digits[16];
  int count = 0;
  do {
    digits[count++] = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  } while (value > 0 && count < 16);
  while (count < width && count < 16) {
    digits[count++] = u'0';
  }
  while (count > 0) {
    out += digits[--count];
  }
}

bool IsHighSurrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char16_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

}  // namespace

std::chrono::system_clock::time_point SystemNow() {
  return std::chrono::system_clock::now();
}

std::u16string FormatTimestamp(const std::tm& t, std::u16string_view timeSeparator) {
  std::u16string out;
  out.reserve(19 + 2 * timeSeparator.size() + 2);
  AppendDigits(out, t.tm_year + 1900, 4);
  out += u'-';
  AppendDigits(out, t.tm_mon + 1, 2);
  out += u'-';
  AppendDigits(out, t.tm_mday, 2);
  out += u' ';
  AppendDigits(out, t.tm_hour, 2);
  out += timeSeparator;
  AppendDigits(out, t.tm_min, 2);
  out += timeSeparator;
  AppendDigits(out, t.tm_sec, 2);
  return out;
}

std::u16string FormatNow(std::chrono::system_clock::time_point when,
                         std::u16string_view timeSeparator) {
  return FormatTimestamp(LocalTime(when), timeSeparator) + u": ";
}

std::u16string LogMessageText(TClippedText message) {
  if (message.Omitted == 0) {
    return std::move(message.Text);
  }
  const std::string count = std::to_string(message.Omitted);
  message.Text += u"\u2026 [";
  message.Text.append(count.begin(), count.end());
  message.Text += u" more characters not shown]";
  return std::move(message.Text);
}

std::u16string MakeLogLine(std::u16string_view sender, std::u16string_view now,
                           std::u16string_view message) {
  std::u16string line;
  line.reserve(sender.size() + now.size() + message.size() + 8);
  line += u'[';
  line += sender;
  line += u"] - ";
  line += now;
  line += u": ";
  line += message;
  return line;
}

TLineSpan LineAt(std::u16string_view entry, std::size_t at) {
  const std::size_t end = std::min(entry.find_first_of(u"\r\n", at), entry.size());
  std::size_t next = end + 1;
  if (end + 1 < entry.size() && entry[end] == u'\r' && entry[end + 1] == u'\n') {
    next = end + 2;
  }
  return {end, next};
}

TShownLine ShownLine(std::u16string_view line) {
  if (line.size() <= kShownLineLimit) {
    return {line, {}};
  }
  std::size_t cut = kShownLineLimit;
  if (IsHighSurrogate(line[cut - 1])) {
    --cut;
  }
  // Characters, not units: a low surrogate after a high one completes a character.
  long long omitted = 0;
  for (std::size_t i = cut; i < line.size(); ++i) {
    const bool completesPair = i > cut && IsLowSurrogate(line[i]) && IsHighSurrogate(line[i - 1]);
    omitted += completesPair ? 0 : 1;
  }
  const std::string count = std::to_string(omitted);
  return {line.substr(0, cut),
          u" \u2026 (" + std::u16string(count.begin(), count.end()) + u" more characters)"};
}

}  // namespace vantorix
