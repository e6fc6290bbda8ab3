// UTF-8 <-> UTF-16 conversion of the tool and error messages: valid text both ways, and one
// U+FFFD for each maximal ill-formed subpart.
#include "json/JsonUtf8.h"

#include <gtest/gtest.h>

namespace vantorix {
namespace {

TEST(JsonUtf8Test, Decode) {
  const struct {
    std::string_view bytes;
    std::u16string_view units;
  } cases[] = {
      {"", u""},
      {"plain ASCII text, longer than eight bytes", u"plain ASCII text, longer than eight bytes"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", u"\u00e9\u20ac\xD83D\xDE00"},
      {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
      {"a\xFF"
       "b",
       u"a\uFFFDb"},
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong: C0 is never valid
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},            // overlong three-byte form
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // an encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xE2\x82", u"\uFFFD"},                            // truncated at the end
      {"\xE2\x82x", u"\uFFFDx"},                          // truncated before ASCII
      {"\x80\x80", u"\uFFFD\uFFFD"},                      // stray continuation bytes
      {std::string_view("\0x", 2), std::u16string_view(u"\0x", 2)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(JsonUtf8Decode(c.bytes), c.units) << "bytes: " << c.bytes;
  }
}

TEST(JsonUtf8Test, Encode) {
  const struct {
    std::u16string_view units;
    std::string_view bytes;
  } cases[] = {
      {u"", ""},
      {u"abc", "abc"},
      {u"\u007f\u0080\u07ff\u0800\uffff", "\x7f\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
      {u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
      {u"\xD800", "\xEF\xBF\xBD"},
      {u"\xDC00\xD800", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {u"\xD800x", "\xEF\xBF\xBDx"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(JsonUtf8Encode(c.units), c.bytes);
}

// The ASCII fast paths take sixteen units at a time: a longer sequence must be handled at
// every offset, in both directions.
TEST(JsonUtf8Test, RoundTripAtEveryOffset) {
  const std::u16string specials[] = {u"\u00e9", u"\u20ac", u"\xD83D\xDE00", u"\u007f"};
  for (const std::u16string& special : specials) {
    for (std::size_t length = 0; length <= 40; ++length) {
      for (std::size_t at = 0; at <= length; ++at) {
        const std::u16string text =
            std::u16string(at, u'x') + special + std::u16string(length - at, u'y');
        const std::string bytes = JsonUtf8Encode(text);
        ASSERT_EQ(bytes,
                  std::string(at, 'x') + JsonUtf8Encode(special) + std::string(length - at, 'y'));
        ASSERT_EQ(JsonUtf8Decode(bytes), text) << length << " " << at;
      }
    }
  }
  std::string appended = "prefix";
  JsonUtf8EncodeAppend(u"\u00e9" + std::u16string(20, u'z'), appended);
  EXPECT_EQ(appended, "prefix\xC3\xA9" + std::string(20, 'z'));
}

}  // namespace
}  // namespace vantorix
