// Text-to-integer conversion: every accepted form, the rejections and the exact error text.
#include "json/TextToInt.h"

#include <gtest/gtest.h>

#include <optional>

#include "json/JsonUtf8.h"

namespace vantorix {
namespace {

struct TIntCase {
  const char16_t* text;
  std::optional<std::int32_t> expected;
};

TEST(TextToIntTest, AcceptedFormsAndRejections) {
  const TIntCase cases[] = {
      {u"4370", 4370},
      {u" 4370", 4370},
      {u"   -12", -12},
      {u"4370 ", std::nullopt},  // no trailing blank
      {u"\t5", std::nullopt},    // only U+0020 is a blank
      {u"0", 0},
      {u"0012", 12},
      {u"-12", -12},
      {u"+12", 12},
      {u"-0", 0},
      {u"2147483647", 2147483647},
      {u"2147483648", std::nullopt},
      {u"-2147483648", INT32_MIN},
      {u"-2147483649", std::nullopt},
      {u"99999999999999999999", std::nullopt},
      {u"0x10", 16},
      {u"0X10", 16},
      {u"$10", 16},
      {u"x10", 16},
      {u"X10", 16},
      {u"$aBcD", 0xABCD},
      {u"$FFFFFFFF", -1},
      {u"$ffffffff", -1},
      {u"$7FFFFFFF", INT32_MAX},
      {u"$80000000", INT32_MIN},
      {u"$100000000", std::nullopt},  // a 33rd significant bit
      {u"$000000001", 1},             // leading zeros are not significant
      {u"-$10", -16},
      {u"-0x10", -16},
      {u"+$10", 16},
      {u"-$FFFFFFFF", 1},
      {u"-$80000000", INT32_MIN},
      {u" $10", 16},
      {u"", std::nullopt},
      {u" ", std::nullopt},
      {u"-", std::nullopt},
      {u"+", std::nullopt},
      {u"$", std::nullopt},
      {u"0x", std::nullopt},
      {u"x", std::nullopt},
      {u"-$", std::nullopt},
      {u"12abc", std::nullopt},
      {u"1 2", std::nullopt},
      {u"- 1", std::nullopt},
      {u"--1", std::nullopt},
      {u"+-1", std::nullopt},
      {u"0x-1", std::nullopt},
      {u"$G", std::nullopt},
      {u"1.0", std::nullopt},
      {u"1e3", std::nullopt},
      {u"$$1", std::nullopt},
      {u"0$1", std::nullopt},
      {u"\uFF11", std::nullopt},  // a full-width digit is not a digit
  };
  for (const TIntCase& c : cases) {
    SCOPED_TRACE(JsonUtf8Encode(c.text));
    EXPECT_EQ(TryTextToInt(c.text), c.expected);
    if (c.expected) {
      EXPECT_EQ(TextToInt(c.text), *c.expected);
    } else {
      EXPECT_THROW(TextToInt(c.text), EConvertError);
    }
  }
}

TEST(TextToIntTest, ErrorMessageQuotesTheWholeText) {
  const struct {
    const char16_t* text;
    const char* message;
  } cases[] = {
      {u"12abc", "'12abc' is not a valid integer value"},
      {u"  x", "'  x' is not a valid integer value"},
      {u"", "'' is not a valid integer value"},
      {u"4370 ", "'4370 ' is not a valid integer value"},
      {u"\u00e91",
       "'\xC3\xA9"
       "1' is not a valid integer value"},
  };
  for (const auto& c : cases) {
    try {
      TextToInt(c.text);
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const EConvertError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

}  // namespace
}  // namespace vantorix
