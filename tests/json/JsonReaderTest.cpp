// Reader: one table of input text and expected outcome (compact form, or the parse error with
// its line and column), plus number kinds, float values, surrogates and the nesting limit.
#include <gtest/gtest.h>

#include <string>

#include "json/JsonDocument.h"
#include "tests/json/JsonTestUtil.h"

namespace vantorix {
namespace {

using testing::Outcome;
using testing::U8;

// "none" for a blank text, the compact form of the result, or "!EJsonParseError: ...".
std::string ParseOutcome(std::u16string_view text) {
  return Outcome([&] {
    std::unique_ptr<TJsonNode> node = TJsonNode::Parse(text);
    return node ? U8(node->ToJSON(true)) : std::string("none");
  });
}

struct TReadCase {
  std::u16string_view text;
  const char* expected;
};

#define ERR(text) "!EJsonParseError: " text

TEST(JsonReaderTest, Table) {
  using namespace std::string_view_literals;
  const TReadCase cases[] = {
      // Blank texts: every unit up to U+0020 is blank.
      {u""sv, "none"},
      {u"   "sv, "none"},
      {u"\x01\t\n\r \x1f"sv, "none"},
      {u"\0\0"sv, "none"},
      // Roots: "[" makes an array, anything else must be an object.
      {u"[1,2]"sv, "[1,2]"},
      {u"[]"sv, "[]"},
      {u"{}"sv, "{}"},
      {u" \x01 {}"sv, "{}"},
      {u"abc"sv, ERR("Expected \"{\" but found identifier (1, 4)")},
      {u"\"x\""sv, ERR("Expected \"{\" but found value (1, 4)")},
      {u"  ]"sv, ERR("Expected \"{\" but found \"]\" (1, 4)")},
      {u"1"sv, ERR("Expected \"{\" but found value (1, 2)")},
      {u"\u00a0{}"sv, ERR("Expected \"{\" but found invalid symbol (1, 2)")},
      {u"{"sv, ERR("Unexpected end of file where value was expected (1, 2)")},
      {u"["sv, ERR("Unexpected end of file where value was expected (1, 2)")},
      // Members: duplicates stay, order stays, bare words as names and values.
      {u"{\"a\":1,\"a\":2}"sv, "{\"a\":1,\"a\":2}"},
      {u"{\"b\":1,\"a\":2}"sv, "{\"b\":1,\"a\":2}"},
      {u"{act: echo}"sv, "{\"act\":\"echo\"}"},
      {u"{$x:_y1, a1_b:c2}"sv, "{\"$x\":\"_y1\",\"a1_b\":\"c2\"}"},
      {u"{TRUE:True,Null:nullx}"sv, "{\"TRUE\":\"True\",\"Null\":\"nullx\"}"},
      {u"{\"a\":true,\"b\":false,\"c\":null}"sv, "{\"a\":true,\"b\":false,\"c\":null}"},
      {u"{_a$: 1}"sv, ERR("Expected \":\" but found identifier (1, 5)")},
      {u"{true:1}"sv, ERR("Expected value but found value (1, 6)")},
      {u"{1:2}"sv, ERR("Expected value but found value (1, 3)")},
      {u"{\u00e9:1}"sv, ERR("Expected value but found invalid symbol (1, 3)")},
      {u"{\"a\"\x01:\x02 1 }"sv, "{\"a\":1}"},
      // Nested containers.
      {u"{\"a\":[{},[],{\"b\":[1,[2]]}],\"c\":{}}"sv, "{\"a\":[{},[],{\"b\":[1,[2]]}],\"c\":{}}"},
      {u"[[[]],{}]"sv, "[[[]],{}]"},
      // After the root exactly one token is read, and must be well formed.
      {u"{\"a\":1} xyz"sv, "{\"a\":1}"},
      {u"{\"a\":1}??"sv, "{\"a\":1}"},
      {u"{\"a\":1}}"sv, "{\"a\":1}"},
      {u"{\"a\":1} {"sv, "{\"a\":1}"},
      {u"{}\"x\" \"y"sv, "{}"},
      {u"[] 1e"sv, "[]"},
      {u"{\"a\":1} \"abc"sv, ERR("String not closed (1, 9)")},
      {u"{\"a\":1} \"x\ny\""sv, ERR("Invalid character in string (1, 11)")},
      {u"{\"a\":1} \"\\uZZZZ\""sv, ERR("Invalid hex number \"Z\" (1, 12)")},
      // Separators.
      {u"{\"a\":1,}"sv, ERR("Expected value but found \"}\" (1, 9)")},
      {u"[1,]"sv, ERR("Expected value but found \"]\" (1, 5)")},
      {u"{,}"sv, ERR("Expected value but found \",\" (1, 3)")},
      {u"[,]"sv, ERR("Expected value but found \",\" (1, 3)")},
      {u"{\"a\":1,,}"sv, ERR("Expected value but found \",\" (1, 9)")},
      {u"{\"a\"::1}"sv, ERR("Expected value but found \":\" (1, 7)")},
      {u"{\"a\" 1}"sv, ERR("Expected \":\" but found value (1, 7)")},
      {u"{\"a\"}"sv, ERR("Expected \":\" but found \"}\" (1, 6)")},
      {u"{\"a\""sv, ERR("Unexpected end of file where \":\" was expected (1, 5)")},
      {u"{\"a\":"sv, ERR("Unexpected end of file where value was expected (1, 6)")},
      {u"{\"a\":1"sv, ERR("Unexpected end of file where \",\" was expected (1, 7)")},
      {u"{\"a\":1,"sv, ERR("Unexpected end of file where value was expected (1, 8)")},
      {u"[1"sv, ERR("Unexpected end of file where \",\" was expected (1, 3)")},
      {u"[[1]"sv, ERR("Unexpected end of file where \",\" was expected (1, 5)")},
      {u"{\"a\":1 \"b\":2}"sv, ERR("Expected \",\" but found value (1, 11)")},
      {u"[1 2]"sv, ERR("Expected \",\" but found value (1, 5)")},
      {u"{\"a\":1]"sv, ERR("Expected \",\" but found \"]\" (1, 8)")},
      {u"[1}"sv, ERR("Expected \",\" but found \"}\" (1, 4)")},
      {u"[{]"sv, ERR("Expected value but found \"]\" (1, 4)")},
      {u"{\"a\":}"sv, ERR("Expected value but found \"}\" (1, 7)")},
      // Rejected syntax: comments, single quotes, "+", leading zeros.
      {u"{\"a\":?}"sv, ERR("Expected value but found invalid symbol (1, 7)")},
      {u"{\"a\":+1}"sv, ERR("Expected value but found invalid symbol (1, 7)")},
      {u"{'a':1}"sv, ERR("Expected value but found invalid symbol (1, 3)")},
      {u"{\"a\":1 /* c */}"sv, ERR("Expected \",\" but found invalid symbol (1, 9)")},
      {u"{\"a\":1 // c\n}"sv, ERR("Expected \",\" but found invalid symbol (1, 9)")},
      {u"{\"a\":01}"sv, ERR("Expected \",\" but found value (1, 8)")},
      {u"{\"a\":-01}"sv, ERR("Expected \",\" but found value (1, 9)")},
      // Number shapes.
      {u"{\"a\":-}"sv, ERR("Expected value but found invalid symbol (1, 7)")},
      {u"{\"a\":-x}"sv, ERR("Expected value but found invalid symbol (1, 7)")},
      {u"{\"a\":-"sv, ERR("Expected value but found invalid symbol (1, 7)")},
      {u"{\"a\":.5}"sv, ERR("Expected value but found invalid symbol (1, 7)")},
      {u"{\"a\":1e}"sv, ERR("Expected value but found invalid symbol (1, 8)")},
      {u"{\"a\":1e+}"sv, ERR("Expected value but found invalid symbol (1, 9)")},
      {u"{\"a\":1.5E-}"sv, ERR("Expected value but found invalid symbol (1, 11)")},
      {u"[1e"sv, ERR("Expected value but found invalid symbol (1, 4)")},
      {u"[1."sv, ERR("Expected \",\" but found invalid symbol (1, 4)")},
      {u"[1.x]"sv, ERR("Expected \",\" but found identifier (1, 5)")},
      {u"[1..5]"sv, ERR("Expected \",\" but found invalid symbol (1, 5)")},
      {u"{\"a\":1E5}"sv, "{\"a\":100000}"},
      {u"[1.]"sv, "[1]"},
      {u"[1.e5]"sv, "[100000]"},
      {u"[-0,-0.0,0e5]"sv, "[0,0,0]"},
      {u"[1.5e0003,1e-0,2E+2]"sv, "[1500,1,200]"},
      {u"[1a]"sv, ERR("Expected \",\" but found identifier (1, 4)")},
      // Strings: escapes, raw control units, line breaks.
      {u"[\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"]"sv, "[\"\\\"\\\\/\\b\\f\\n\\r\\t\"]"},
      {u"[\"a\\qb\\'\"]"sv, "[\"aqb'\"]"},
      {u"[\"\\u00e9\\u00E9\"]"sv, "[\"\xC3\xA9\xC3\xA9\"]"},
      {u"[\"\\u0041\\u004a\"]"sv, "[\"AJ\"]"},
      {u"[\"\\uD83D\\uDE00\"]"sv, "[\"\xF0\x9F\x98\x80\"]"},
      {u"[\"\\u12\"]"sv, "[\"12\"]"},
      {u"[\"\\u1\"]"sv, "[\"1\"]"},
      {u"[\"\\u\"]"sv, "[\"\"]"},
      {u"[\"\\u123\"]"sv, "[\"123\"]"},
      {u"[\"\\u12345\"]"sv,
       "[\"\xE1\x88\xB4"
       "5\"]"},
      // An escaped quotation mark does not close the string, so it is one of the four units.
      {u"[\"\\u12\\\"x\"]"sv, ERR("Invalid hex number \"\\\" (1, 7)")},
      {u"[\"\\u\\\"abc\"]"sv, ERR("Invalid hex number \"\\\" (1, 5)")},
      {u"[\"\\u1\\\\\"]"sv, "[\"1\\\\\"]"},
      {u"[\"\\u\\n\"]"sv, "[\"\\n\"]"},
      {u"[\"\\uGHIJ\"]"sv, ERR("Invalid hex number \"G\" (1, 5)")},
      {u"[\"\\u12G4\"]"sv, ERR("Invalid hex number \"G\" (1, 7)")},
      {u"[\"\\u12\u00e94\"]"sv, ERR("Invalid hex number \"\xC3\xA9\" (1, 7)")},
      {u"[\"\\u12\n45\"]"sv, ERR("Invalid character in string (1, 7)")},
      {u"[\"a\tb\x01\x1f\x7f\"]"sv, "[\"a\\tb\\u0001\\u001f\x7f\"]"},
      {u"[\"a\n\"]"sv, ERR("Invalid character in string (1, 4)")},
      {u"[\"a\r\"]"sv, ERR("Invalid character in string (1, 4)")},
      {u"[\"\\\n\"]"sv, ERR("Invalid character in string (1, 4)")},
      {u"[\"\\"sv, ERR("String not closed (1, 2)")},
      {u"[\"\\\"]"sv, ERR("String not closed (1, 2)")},
      {u"{\"a\":\"xx"sv, ERR("String not closed (1, 6)")},
      {u"{\"a"sv, ERR("String not closed (1, 2)")},
      {u"[\"\\u12"sv, ERR("String not closed (1, 2)")},
      {u"[\"\0\"]"sv, "[\"\\u0000\"]"},
      {u"{\"\":\"\"}"sv, "{\"\":\"\"}"},
      {u"{\"a\\\"b\":1}"sv, "{\"a\\\"b\":1}"},
  };
  for (const TReadCase& c : cases) {
    EXPECT_EQ(ParseOutcome(c.text), c.expected) << "input: " << U8(c.text);
  }
}

// A text given up to the reader lends its buffer to its largest plain string value; the
// document is the same as the one read from a copy, whichever value that is.
TEST(JsonReaderTest, ParseTakingGivesTheSameDocument) {
  const std::u16string big(std::size_t{1} << 16, u'b');
  const std::u16string bigger = big + u"cc";
  const std::u16string small(100, u's');
  const struct {
    std::u16string text;
    bool taken;
  } cases[] = {
      {u"{\"act\":\"echo\",\"pad\":\"" + big + u"\",\"n\":1}", true},
      {u"[\"" + small + u"\",\"" + big + u"\",\"" + bigger + u"\",\"" + big + u"\"]", true},
      {u"{\"a\":{\"b\":[\"" + bigger + u"\"]},\"c\":\"" + big + u"\"}", true},
      {u" {\"" + big + u"\":\"" + small + u"\"} ", false},  // a name is never taken
      {u"{\"e\":\"\\n" + big + u"\"}", false},              // nor a string with escapes
      {u"{\"s\":\"" + small + u"\"}", false},
  };
  for (const auto& c : cases) {
    const std::u16string want = TJsonNode::Parse(c.text)->ToJSON(true);
    std::u16string given = c.text;
    EXPECT_EQ(TJsonNode::ParseTaking(std::move(given))->ToJSON(true), want) << c.taken;
    EXPECT_EQ(given.empty(), c.taken);
    if (!c.taken) {
      EXPECT_EQ(given, c.text);
    }
  }
  // A text that fails keeps its buffer.
  std::u16string broken = u"{\"pad\":\"" + big + u"\",}";
  EXPECT_THROW(TJsonNode::ParseTaking(std::move(broken)), EJsonParseError);
  EXPECT_EQ(broken, u"{\"pad\":\"" + big + u"\",}");
}

TEST(JsonReaderTest, ErrorCarriesLineColumnAndPosition) {
  try {
    TJsonNode::Parse(u"{\"a\":?}");
    FAIL() << "no error";
  } catch (const EJsonParseError& e) {
    EXPECT_EQ(e.Line(), 1);
    EXPECT_EQ(e.Column(), 7u);
    EXPECT_EQ(e.Position(), 6u);
  }
  // Line breaks are not counted: the line stays 1 and the column runs on.
  try {
    TJsonNode::Parse(u"{\n\"a\":\n?}");
    FAIL() << "no error";
  } catch (const EJsonParseError& e) {
    EXPECT_STREQ(e.what(), "Expected value but found invalid symbol (1, 9)");
  }
}

TEST(JsonReaderTest, LengthBoundsTheText) {
  const std::u16string text = u"{\"a\":1}{garbage";
  EXPECT_EQ(U8(TJsonNode::Parse(text.data(), 7)->ToJSON(true)), "{\"a\":1}");
  EXPECT_EQ(Outcome([&] { return U8(TJsonNode::Parse(text.data(), 6)->ToJSON(true)); }),
            ERR("Unexpected end of file where \",\" was expected (1, 7)"));
  EXPECT_EQ(TJsonNode::Parse(text.data(), 0), nullptr);
}

TEST(JsonReaderTest, RootClassFollowsFirstUnit) {
  auto array = TJsonNode::Parse(u" [1,2]");
  auto* a = dynamic_cast<TJsonArray*>(array.get());
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->Count(), 2);
  EXPECT_EQ(a->GetValue(0).Kind(), jkInt);
  EXPECT_EQ(a->GetValue(1).AsInt(), 2);
  auto object = TJsonNode::Parse(u"{}");
  EXPECT_NE(dynamic_cast<TJsonObject*>(object.get()), nullptr);
}

struct TNumberCase {
  const char16_t* text;
  TJsonKind kind;
  const char* written;
};

TEST(JsonReaderTest, NumberKindsAndValues) {
  const TNumberCase cases[] = {
      {u"0", jkInt, "0"},
      {u"123456789", jkInt, "123456789"},
      {u"999999999", jkInt, "999999999"},
      {u"1234567890", jkLong, "1234567890"},
      {u"2147483647", jkLong, "2147483647"},
      {u"-999999999", jkInt, "-999999999"},
      {u"-1000000000", jkInt, "-1000000000"},
      {u"-2147483647", jkInt, "-2147483647"},
      {u"-2147483648", jkLong, "-2147483648"},
      {u"9223372036854775807", jkLong, "9223372036854775807"},
      {u"9223372036854775808", jkULong, "9223372036854775808"},
      {u"18446744073709551615", jkULong, "18446744073709551615"},
      {u"18446744073709551616", jkFloat, "1.84467440737096E19"},
      {u"99999999999999999999", jkFloat, "1E20"},
      {u"100000000000000000000", jkFloat, "1E20"},
      {u"-9223372036854775807", jkLong, "-9223372036854775807"},
      {u"-9223372036854775808", jkFloat, "-9.22337203685478E18"},
      {u"-18446744073709551615", jkFloat, "-1.84467440737096E19"},
      {u"1e2", jkFloat, "100"},
      {u"0.10", jkFloat, "0.1"},
      {u"1e-7", jkFloat, "1E-7"},
      {u"-0.5", jkFloat, "-0.5"},
      {u"1.50", jkFloat, "1.5"},
      {u"0.1e1", jkFloat, "1"},
      {u"3.14159265358979323846", jkFloat, "3.14159265358979"},
      // The exponent is capped at 308 in magnitude.
      {u"1E400", jkFloat, "1E308"},
      {u"1e99999999999999999999", jkFloat, "1E308"},
      {u"1e-400", jkFloat, "1E-308"},
      {u"0e999", jkFloat, "0"},
      // Beyond the double range: the largest finite 15-digit value, with its sign.
      {u"9e308", jkFloat, "1.79769313486231E308"},
      {u"-9e308", jkFloat, "-1.79769313486231E308"},
      {u"10e308", jkFloat, "1.79769313486231E308"},
      {u"1.8e308", jkFloat, "1.79769313486231E308"},
      {u"1.7976931348623157e308", jkFloat, "1.79769313486232E308"},
      // Below 1E-308 (reachable only through leading zeros) a value reads as 0, so that its
      // written text never meets the exponent cap on the way back.
      {u"1e-320", jkFloat, "1E-308"},
      {u"1.5e-308", jkFloat, "1.5E-308"},
      {u"0.99999e-308", jkFloat, "0"},
      {u"0.00001e-308", jkFloat, "0"},
      {u"-0.00001e-308", jkFloat, "0"},
      {u"0.000000000000000001e-308", jkFloat, "0"},
      {u"-0.000000000000000001e-308", jkFloat, "0"},
      // Only the first 18 fraction digits count.
      {u"0.000000000000000001", jkFloat, "1E-18"},
      {u"0.0000000000000000019", jkFloat, "1E-18"},
      {u"0.0000000000000000001", jkFloat, "0"},
      // Every integer digit counts.
      {u"1000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
       u"0000000000e-90",
       jkFloat, "10000"},
  };
  for (const TNumberCase& c : cases) {
    const std::u16string text = u"[" + std::u16string(c.text) + u"]";
    SCOPED_TRACE(U8(text));
    auto node = TJsonNode::Parse(text);
    auto* array = dynamic_cast<TJsonArray*>(node.get());
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(array->GetValue(0).Kind(), c.kind);
    EXPECT_EQ(U8(array->ToJSON(true)), "[" + std::string(c.written) + "]");
  }
}

TEST(JsonReaderTest, SurrogatesPassThroughUnpaired) {
  auto node = TJsonNode::Parse(u"[\"\\uD800x\\uDC00\", \"\xD800\"]");
  ASSERT_TRUE(node);
  EXPECT_EQ(node->ToJSON(true), u"[\"\xD800x\xDC00\",\"\xD800\"]");
}

// Nesting is limited to 512 levels; deeper input is a parse error, never a stack overflow.
TEST(JsonReaderTest, NestingLimit) {
  const auto nested = [](std::size_t depth, std::u16string_view open, std::u16string_view close) {
    std::u16string text;
    for (std::size_t i = 0; i < depth; ++i)
      text += open;
    for (std::size_t i = 0; i < depth; ++i)
      text += close;
    return text;
  };
  const std::u16string arrays512 = nested(512, u"[", u"]");
  auto node = TJsonNode::Parse(arrays512);
  ASSERT_TRUE(node);
  EXPECT_EQ(node->ToJSON(true), arrays512);
  EXPECT_EQ(ParseOutcome(nested(513, u"[", u"]")), ERR("Nesting deeper than 512 levels (1, 514)"));

  // {"a":{"a":...}}: 512 objects parse, 513 do not.
  std::u16string objects = u"{";
  for (int i = 1; i < 512; ++i)
    objects += u"\"a\":{";
  objects += std::u16string(512, u'}');
  EXPECT_EQ(ParseOutcome(objects).substr(0, 6), "{\"a\":{");
  std::u16string deeper = u"{\"a\":" + objects + u"}";
  EXPECT_EQ(ParseOutcome(deeper), ERR("Nesting deeper than 512 levels (1, 2562)"));

  EXPECT_EQ(ParseOutcome(nested(1000000, u"[", u"")),
            ERR("Nesting deeper than 512 levels (1, 514)"));
  EXPECT_EQ(ParseOutcome(u"[" + nested(600, u"{\"k\":[", u"")).substr(0, 45),
            "!EJsonParseError: Nesting deeper than 512 lev");
}

}  // namespace
}  // namespace vantorix
