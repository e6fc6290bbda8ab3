// FormatJSON: the rendering (four spaces, CR LF, log escaping, numbers as written) and the
// strict reader's rejections, which give an empty text.
#include "json/FormatJson.h"

#include <gtest/gtest.h>

#include "json/JsonDocument.h"
#include "tests/json/JsonTestUtil.h"

namespace vantorix {
namespace {

using testing::U8;

struct TFormatCase {
  std::u16string_view input;
  const char16_t* rendered;  // "" when the input has no rendering
};

TEST(FormatJsonTest, Renders) {
  using namespace std::string_view_literals;
  const TFormatCase cases[] = {
      {u"{}"sv, u"{\r\n}"},
      {u"[]"sv, u"[\r\n]"},
      {u" \t\r\n{ } \n"sv, u"{\r\n}"},
      {u"{\"act\":\"echo\",\"devices\":[{\"ip\":\"a\",\"port\":1}],\"x\":{},\"y\":[]}"sv,
       u"{\r\n"
       u"    \"act\": \"echo\",\r\n"
       u"    \"devices\": [\r\n"
       u"        {\r\n"
       u"            \"ip\": \"a\",\r\n"
       u"            \"port\": 1\r\n"
       u"        }\r\n"
       u"    ],\r\n"
       u"    \"x\": {\r\n"
       u"    },\r\n"
       u"    \"y\": [\r\n"
       u"    ]\r\n"
       u"}"},
      {u"[[1,[]],{},null,true,false]"sv,
       u"[\r\n    [\r\n        1,\r\n        [\r\n        ]\r\n    ],\r\n    {\r\n    },\r\n"
       u"    null,\r\n    true,\r\n    false\r\n]"},
      {u"{\"a\":1,\"a\":2,\"b\":{\"c\":{}}}"sv,
       u"{\r\n    \"a\": 1,\r\n    \"a\": 2,\r\n    \"b\": {\r\n        \"c\": {\r\n        }\r\n"
       u"    }\r\n}"},
      // Numbers keep their text.
      {u"[1.50,-0,1e5,1E+5,-1.5e-3,0.0]"sv,
       u"[\r\n    1.50,\r\n    -0,\r\n    1e5,\r\n    1E+5,\r\n    -1.5e-3,\r\n    0.0\r\n]"},
      // The writer's \t, /, \u0001 and é come out as \t, \/, a raw U+0001 and é.
      {u"[\"\\t/\\u0001\u00e9\"]"sv, u"[\r\n    \"\\t\\/\x01\u00e9\"\r\n]"},
      {u"[\"\\u0041\\/\\\"\\\\\\b\\f\\n\\r\\t\\u001F\\u007f\\uD800\\u00E9\"]"sv,
       u"[\r\n    \"A\\/\\\"\\\\\\b\\f\\n\\r\\t\x1f\x7f\xD800\u00e9\"\r\n]"},
      {u"{\"k/\\n\":\"\"}"sv, u"{\r\n    \"k\\/\\n\": \"\"\r\n}"},
      // Any single value, as RFC 8259 allows.
      {u"1"sv, u"1"},
      {u" \"x\" "sv, u"\"x\""},
      {u"null"sv, u"null"},
      // Rejections.
      {u""sv, u""},
      {u"  "sv, u""},
      {u"{"sv, u""},
      {u"{}x"sv, u""},
      {u"{} {}"sv, u""},
      {u"[1,]"sv, u""},
      {u"{\"a\":1,}"sv, u""},
      {u"[,1]"sv, u""},
      {u"[1 2]"sv, u""},
      {u"{\"a\" 1}"sv, u""},
      {u"{\"a\":1 \"b\":2}"sv, u""},
      {u"{\"a\"}"sv, u""},
      {u"{a:1}"sv, u""},
      {u"{1:1}"sv, u""},
      {u"[\"a\"]]"sv, u""},
      {u"[}"sv, u""},
      {u"{]"sv, u""},
      {u"01"sv, u""},
      {u"+1"sv, u""},
      {u"1."sv, u""},
      {u".5"sv, u""},
      {u"1e"sv, u""},
      {u"1e+"sv, u""},
      {u"-"sv, u""},
      {u"-a"sv, u""},
      {u"tru"sv, u""},
      {u"nul"sv, u""},
      {u"True"sv, u""},
      {u"INF"sv, u""},
      {u"NAN"sv, u""},
      {u"'x'"sv, u""},
      {u"\"a\tb\""sv, u""},
      {u"\"a\nb\""sv, u""},
      {u"\"\0\""sv, u""},
      {u"\"\\x\""sv, u""},
      {u"\"\\u12\""sv, u""},
      {u"\"\\u12G4\""sv, u""},
      {u"\"abc"sv, u""},
      {u"\"\\"sv, u""},
      {u"\x01{}"sv, u""},
      {u"\u00a0{}"sv, u""},
      {u"{}\x0b"sv, u""},
      {u"[1] // c"sv, u""},
  };
  for (const TFormatCase& c : cases) {
    EXPECT_EQ(U8(FormatJSON(c.input)), U8(c.rendered)) << "input: " << U8(c.input);
  }
}

// Plain runs of a string are scanned eight units at a time: a unit the rendering escapes (or
// rejects) must be found at every offset of a block and in the tail.
TEST(FormatJsonTest, StringUnitsAtEveryOffset) {
  const struct {
    std::u16string_view unit;      // as written in the input
    std::u16string_view rendered;  // in the rendering; empty: no rendering
  } cases[] = {
      {u"/", u"\\/"},   {u"\\/", u"\\/"},   {u"\\\"", u"\\\""}, {u"\\\\", u"\\\\"},
      {u"\\n", u"\\n"}, {u"\\u0041", u"A"}, {u"\x01", u""},     {u"\n", u""},
  };
  for (const auto& c : cases) {
    for (std::size_t at = 0; at < 20; ++at) {
      const std::u16string before(at, u'a');
      const std::u16string after(19 - at, u'b');
      const std::u16string input = u"[\"" + before + std::u16string(c.unit) + after + u"\"]";
      const std::u16string want =
          c.rendered.empty()
              ? u""
              : u"[\r\n    \"" + before + std::u16string(c.rendered) + after + u"\"\r\n]";
      EXPECT_EQ(FormatJSON(input), want) << U8(input);
    }
  }
}

TEST(FormatJsonTest, NestingLimit) {
  const auto nested = [](std::size_t depth) {
    return std::u16string(depth, u'[') + std::u16string(depth, u']');
  };
  const std::u16string rendered = FormatJSON(nested(512));
  ASSERT_FALSE(rendered.empty());
  EXPECT_EQ(rendered.substr(rendered.size() - 3), u"\r\n]");
  EXPECT_EQ(FormatJSON(nested(513)), u"");  // the innermost, empty array counts as a level
  EXPECT_EQ(FormatJSON(std::u16string(1000000, u'[')), u"");
  std::u16string objects;
  for (int i = 0; i < 513; ++i)
    objects += u"{\"a\":";
  objects += u"1" + std::u16string(513, u'}');
  EXPECT_EQ(FormatJSON(objects), u"");
}

// Every command that parses has a rendering: its line form is strict JSON within the limit.
TEST(FormatJsonTest, RendersTheLineFormOfParsedDocuments) {
  const char16_t* inputs[] = {
      u"{act: echo, state: 1}",
      u"{\"s\":\"\x01\x7f\\u0000/\",\"n\":[1.5e300,-9e999,18446744073709551616,0.1]}",
      u"[{\"a\":[[],{}]},null,true]",
  };
  for (const char16_t* input : inputs) {
    auto node = TJsonNode::Parse(input);
    ASSERT_TRUE(node);
    EXPECT_FALSE(FormatJSON(node->ToJSON(false)).empty()) << U8(input);
    EXPECT_EQ(FormatJSON(node->ToJSON(false)), FormatJSON(node->ToJSON(true))) << U8(input);
  }
}

// A bounded rendering is the first units of the whole one with the rest counted, for every
// bound; input it cannot render gives nothing, however much of it was rendered before the error.
TEST(FormatJsonTest, BoundedRenderingIsAPrefixAndCountsTheRest) {
  const std::u16string inputs[] = {
      u"{\"act\":\"echo\",\"devices\":[{\"ip\":\"a/b\",\"port\":1.50}],\"x\":{},\"y\":[]}",
      u"[\"\\t\\/\\u0001\U0001F600\\uD83D\\uDE00\",[[[[]]]],-0,true]",
      u"\"\U0001F600\U0001F600\"",
  };
  for (const std::u16string& input : inputs) {
    const std::u16string whole = FormatJSON(input);
    ASSERT_FALSE(whole.empty()) << U8(input);
    for (std::size_t limit = 0; limit <= whole.size() + 2; ++limit) {
      testing::ExpectClippedPrefix(whole, FormatJSON(input, limit), limit);
    }
  }
  for (const std::u16string_view rejected : {u"[[[[1,]]]]", u"[\"abc\" 1]", u"{\"a\":1} x"}) {
    for (const std::size_t limit : {std::size_t{0}, std::size_t{3}, std::u16string::npos}) {
      const TClippedText clipped = FormatJSON(rejected, limit);
      EXPECT_EQ(clipped.Text, u"") << U8(rejected);
      EXPECT_EQ(clipped.Omitted, 0u) << U8(rejected);
    }
  }
}

// Deep nesting makes the rendering far longer than its input (every line is indented by its
// depth); a bounded rendering still counts exactly what it leaves out.
TEST(FormatJsonTest, BoundedRenderingOfDeepNestingCountsExactly) {
  const std::u16string nested = std::u16string(400, u'[') + std::u16string(400, u']');
  std::u16string input = u"{\"act\":\"echo\",\"x\":[" + nested;
  for (int i = 0; i < 20; ++i) {
    input += u"," + nested;
  }
  input += u"]}";
  const std::u16string whole = FormatJSON(input);
  ASSERT_GT(whole.size(), 200 * input.size());
  for (const std::size_t limit : {std::size_t{1} << 20, whole.size() / 2, whole.size() - 1}) {
    testing::ExpectClippedPrefix(whole, FormatJSON(input, limit), limit);
  }
}

}  // namespace
}  // namespace vantorix
