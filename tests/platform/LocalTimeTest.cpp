// Local time, and the time separator read from strftime formats, from Windows time pictures and
// from the user's settings.
#include "platform/LocalTime.h"

#include <gtest/gtest.h>

#include <clocale>
#include <ctime>
#include <string>

namespace vantorix {
namespace {

TEST(LocalTimeTest, BreaksDownInstantsThatMktimeTurnsBack) {
  for (const std::time_t seconds : {std::time_t{0} + 86400, std::time_t{951782400},
                                    std::time_t{1'700'000'000}, std::time_t{1'719'792'000}}) {
    std::tm local = LocalTime(std::chrono::system_clock::from_time_t(seconds));
    EXPECT_GE(local.tm_year, 70);
    local.tm_isdst = -1;
    EXPECT_EQ(std::mktime(&local), seconds);
  }
}

TEST(LocalTimeTest, SeparatorOfAStrftimeFormatIsTheTextBetweenHourAndMinute) {
  struct Case {
    const char* format;
    std::u16string expected;
  };
  const Case cases[] = {
      {"%H:%M:%S", u":"}, {"%H.%M.%S", u"."}, {"%I:%M:%S %p", u":"}, {"%T", u":"},
      {"%r", u":"},       {"%OH.%OM", u"."},  {"%k h %M", u" h "},   {"", u":"},
      {"%H%M%S", u":"},   {"%p %l-%M", u"-"}, {"%H:%S", u":"},       {"%", u":"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TimeSeparatorFromStrftime(c.format), c.expected) << c.format;
  }
}

TEST(LocalTimeTest, SeparatorOfAWindowsTimePictureIsTheLiteralBetweenHourAndMinute) {
  struct Case {
    std::u16string picture;
    std::u16string expected;
  };
  const Case cases[] = {
      {u"h:mm:ss tt", u":"},   // en-US
      {u"HH:mm:ss", u":"},     // de-DE
      {u"H.mm.ss", u"."},      // fi-FI
      {u"tt h:mm:ss", u":"},   // ko-KR: the marker comes first
      {u"HH' h 'mm", u" h "},  // quoted literal
      {u"H'h'mm'min'", u"h"},  // literal right after the hour
      {u"HH''mm", u"'"},       // two quotes are one
      {u"H\u6642mm\u5206", u"\u6642"},
      {u"HHmmss", u":"},     // nothing between
      {u"mm:ss", u":"},      // no hour
      {u"H:ss", u":"},       // no minute after the hour
      {u"HH 'm' ss", u":"},  // a quoted m is no minute
      {u"", u":"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TimeSeparatorFromPicture(c.picture), c.expected)
        << std::string(c.picture.begin(), c.picture.end());
  }
}

// The user's settings: CTest runs this binary in the Finnish locale, whose time format ("H.mm.ss"
// on Windows, which wine takes from LC_ALL, "%H.%M.%S" in glibc) gives ".". POSIX reads the
// LC_TIME locale that the program set.
TEST(LocalTimeTest, RegionalSeparatorFollowsTheUserSettings) {
#ifndef _WIN32
  ASSERT_NE(std::setlocale(LC_TIME, "C"), nullptr);
  EXPECT_EQ(RegionalTimeSeparator(), u":");
  ASSERT_NE(std::setlocale(LC_TIME, ""), nullptr) << "the Finnish locale is missing";
#endif
  EXPECT_EQ(RegionalTimeSeparator(), u".");
#ifndef _WIN32
  std::setlocale(LC_TIME, "C");
#endif
}

}  // namespace
}  // namespace vantorix
