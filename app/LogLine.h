// The operator log's line format and its timestamp: "yyyy-mm-dd hh:nn:ss" with the user's time
// separator, and the line "[" sender "] - " timestamp ": " ": " message.
#pragma once

#include <chrono>
#include <cstddef>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "json/ClippedText.h"

namespace vantorix {

// The source of "now" for timestamps; any thread may call it.
using TClock = std::function<std::chrono::system_clock::time_point()>;

// The system clock.
std::chrono::system_clock::time_point SystemNow();

// "yyyy-mm-dd hh:nn:ss" for the broken-down local time t: four-digit year, every other field two
// digits with a leading zero, 24-hour clock; timeSeparator stands between hour, minute and second.
std::u16string FormatTimestamp(const std::tm& t, std::u16string_view timeSeparator);

// The local date and time of `when` as FormatTimestamp gives it, followed by ": ".
std::u16string FormatNow(std::chrono::system_clock::time_point when,
                         std::u16string_view timeSeparator);

// The longest message one log line carries, in UTF-16 units (1 MiB of ASCII text): no message,
// however large or deeply nested the command behind it, makes the log cost more than that.
inline constexpr std::size_t kLogMessageLimit = std::size_t{1} << 20;

// The message of a log line from a text cut at kLogMessageLimit: the text itself when nothing
// was left out, else the text followed by "… [N more characters not shown]" (N in UTF-16
// units).
std::u16string LogMessageText(TClippedText message);

// One log line: "[" sender "] - " now ": " message, where now is GetNow's text (which already ends
// in ": ", so the line carries the separator twice).
std::u16string MakeLogLine(std::u16string_view sender, std::u16string_view now,
                           std::u16string_view message);

// One line of a log entry, for controls that show an entry line by line.
struct TLineSpan {
  std::size_t End;   // where the line's text ends (its break, or the end of the entry)
  std::size_t Next;  // where the next line starts; at or past the entry's end after the last line
};

// The line of entry that starts at `at`. Breaks are CR LF, LF or a lone CR. Every entry has at
// least one line (an empty entry is one empty line), and a break at the very end ends the last
// line without starting another. Walk an entry with at = 0, then at = Next while
// Next < entry.size().
TLineSpan LineAt(std::u16string_view entry, std::size_t at);

// The longest line, in UTF-16 units, that a window's log shows whole. Laying out a line costs
// time in proportion to its length: the one line of an echoed 5 MB text would hold the window
// for seconds each time it is drawn.
inline constexpr std::size_t kShownLineLimit = 20000;

// What a window's log shows of one line: Text, followed by Omitted. A line up to
// kShownLineLimit units is shown whole (Omitted empty); a longer one by its first
// kShownLineLimit units (one fewer rather than half a surrogate pair) and
// " … (N more characters)", N counting the characters left out.
struct TShownLine {
  std::u16string_view Text;
  std::u16string Omitted;
};
TShownLine ShownLine(std::u16string_view line);

}  // namespace vantorix
