// Log line layout and the timestamp format.
#include "app/LogLine.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/LocalTime.h"

namespace vantorix {
namespace {

std::tm At(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

TEST(LogLineTest, TimestampPadsEveryFieldAndUsesTheSeparatorOnlyInTheTime) {
  struct Case {
    std::tm time;
    std::u16string separator;
    std::u16string expected;
  };
  const Case cases[] = {
      {At(2024, 3, 5, 14, 7, 9), u":", u"2024-03-05 14:07:09"},
      {At(2024, 12, 31, 23, 59, 59), u":", u"2024-12-31 23:59:59"},
      {At(987, 1, 1, 0, 0, 0), u":", u"0987-01-01 00:00:00"},
      {At(2024, 3, 5, 4, 7, 9), u".", u"2024-03-05 04.07.09"},
      {At(2024, 3, 5, 4, 7, 9), u"h", u"2024-03-05 04h07h09"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatTimestamp(c.time, c.separator), c.expected);
  }
}

TEST(LogLineTest, LineCarriesTwoSeparatorsAfterTheTimestamp) {
  const std::u16string now = FormatTimestamp(At(2024, 3, 5, 14, 7, 9), u":") + u": ";
  EXPECT_EQ(MakeLogLine(u"SERVER", now, u"Client Connected!"),
            u"[SERVER] - 2024-03-05 14:07:09: : Client Connected!");
  EXPECT_EQ(MakeLogLine(u"", now, u"Client Connected"),
            u"[] - 2024-03-05 14:07:09: : Client Connected");
  // A multi-line message stays one line text whose first line alone carries the prefix.
  EXPECT_EQ(MakeLogLine(u"", now, u"{\r\n}"), u"[] - 2024-03-05 14:07:09: : {\r\n}");
}

TEST(LogLineTest, FormatNowAppendsColonSpaceToTheLocalTime) {
  const auto when = std::chrono::system_clock::from_time_t(1'700'000'000);
  EXPECT_EQ(FormatNow(when, u":"), FormatTimestamp(LocalTime(when), u":") + u": ");
}

// The lines a window shows for an entry, walked as the window walks them.
std::vector<std::u16string> Lines(std::u16string_view entry) {
  std::vector<std::u16string> lines;
  for (std::size_t at = 0;;) {
    const TLineSpan line = LineAt(entry, at);
    lines.emplace_back(entry.substr(at, line.End - at));
    if (line.Next >= entry.size()) {
      return lines;
    }
    at = line.Next;
  }
}

TEST(LogLineTest, AnEntrySplitsIntoLinesAtEachKindOfBreak) {
  struct Case {
    std::u16string entry;
    std::vector<std::u16string> lines;
  };
  const Case cases[] = {
      {u"", {u""}},
      {u"one", {u"one"}},
      {u"a\r\nb\nc\rd", {u"a", u"b", u"c", u"d"}},
      {u"a\n", {u"a"}},
      {u"a\r\n", {u"a"}},
      {u"a\r", {u"a"}},
      {u"a\n\n", {u"a", u""}},
      {u"\n", {u""}},
      {u"\r\n\r\nb", {u"", u"", u"b"}},
      {u"a\n\rb", {u"a", u"", u"b"}},
      {u"{\r\n    \"act\": \"echo\"\r\n}", {u"{", u"    \"act\": \"echo\"", u"}"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Lines(c.entry), c.lines) << c.entry.size();
  }
}

TEST(LogLineTest, LinesPastTheLimitAreCutWithTheCountOfWhatWasLeftOut) {
  const std::u16string atLimit(kShownLineLimit, u'a');
  struct Case {
    std::u16string line;
    std::size_t shownUnits;
    std::u16string omitted;
  };
  const std::u16string pair = u"\U0001F600";  // two units, one character
  const Case cases[] = {
      {u"short", 5, u""},
      {atLimit, kShownLineLimit, u""},
      {atLimit + u"b", kShownLineLimit, u" \u2026 (1 more characters)"},
      {atLimit + std::u16string(4321, u'b'), kShownLineLimit, u" \u2026 (4321 more characters)"},
      // A pair across the cut is left out whole, and counted once.
      {atLimit.substr(1) + pair + u"b", kShownLineLimit - 1, u" \u2026 (2 more characters)"},
      {atLimit + pair + pair, kShownLineLimit, u" \u2026 (2 more characters)"},
  };
  for (const Case& c : cases) {
    const TShownLine shown = ShownLine(c.line);
    EXPECT_EQ(shown.Text, std::u16string_view(c.line).substr(0, c.shownUnits)) << c.line.size();
    EXPECT_EQ(shown.Omitted, c.omitted) << c.line.size();
  }
}

}  // namespace
}  // namespace vantorix
