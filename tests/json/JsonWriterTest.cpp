// Writers: the compact and line forms, and the escaping they share.
#include <gtest/gtest.h>

#include "json/JsonDocument.h"
#include "tests/json/JsonTestUtil.h"

namespace vantorix {
namespace {

using testing::U8;

struct TWriteCase {
  const char16_t* input;
  const char* compact;
  const char* lines;
};

TEST(JsonWriterTest, CompactAndLineForms) {
  const TWriteCase cases[] = {
      {u"{}", "{}", "{}\n"},
      {u"[]", "[]", "[]\n"},
      {u"{\"act\":\"echo\",\"devices\":[{\"ip\":\"a\",\"port\":1}],\"x\":{},\"y\":[]}",
       "{\"act\":\"echo\",\"devices\":[{\"ip\":\"a\",\"port\":1}],\"x\":{},\"y\":[]}",
       "{\n"
       "\t\"act\": \"echo\",\n"
       "\t\"devices\": [\n"
       "\t\t{\n"
       "\t\t\t\"ip\": \"a\",\n"
       "\t\t\t\"port\": 1\n"
       "\t\t}\n"
       "\t],\n"
       "\t\"x\": {},\n"
       "\t\"y\": []\n"
       "}\n"},
      {u" { \"n\" : null , \"b\" : [ true , false , null , [ [ 1 ] ] ] } ",
       "{\"n\":null,\"b\":[true,false,null,[[1]]]}",
       "{\n"
       "\t\"n\": null,\n"
       "\t\"b\": [\n"
       "\t\ttrue,\n"
       "\t\tfalse,\n"
       "\t\tnull,\n"
       "\t\t[\n"
       "\t\t\t[\n"
       "\t\t\t\t1\n"
       "\t\t\t]\n"
       "\t\t]\n"
       "\t]\n"
       "}\n"},
      {u"[{},[],{\"a\":{\"b\":{}}}]", "[{},[],{\"a\":{\"b\":{}}}]",
       "[\n"
       "\t{},\n"
       "\t[],\n"
       "\t{\n"
       "\t\t\"a\": {\n"
       "\t\t\t\"b\": {}\n"
       "\t\t}\n"
       "\t}\n"
       "]\n"},
      {u"{\"s\":\"a\tb/\x01\u00e9\"}", "{\"s\":\"a\\tb/\\u0001\xC3\xA9\"}",
       "{\n\t\"s\": \"a\\tb/\\u0001\xC3\xA9\"\n}\n"},
  };
  for (const TWriteCase& c : cases) {
    SCOPED_TRACE(U8(c.input));
    auto node = TJsonNode::Parse(c.input);
    ASSERT_TRUE(node);
    EXPECT_EQ(U8(node->ToJSON(true)), c.compact);
    EXPECT_EQ(U8(node->ToString()), c.compact);
    EXPECT_EQ(U8(node->ToJSON(false)), c.lines);
    // Either form reads back to the same document.
    EXPECT_EQ(U8(TJsonNode::Parse(node->ToJSON(false))->ToJSON(true)), c.compact);
  }
}

TEST(JsonWriterTest, EscapingOfEveryUnitBelow0x80) {
  std::u16string all;
  for (char16_t c = 0; c < 0x80; ++c)
    all.push_back(c);
  all += u"\u00e9\u20ac\xD800";
  TJsonObject object;
  object.SetString(all, all);
  std::u16string expected;
  const char* controls[] = {
      "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
      "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
      "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
      "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f"};
  for (const char* c : controls) {
    for (const char* p = c; *p; ++p)
      expected.push_back(static_cast<char16_t>(*p));
  }
  for (char16_t c = 0x20; c < 0x80; ++c) {
    if (c == u'"' || c == u'\\')
      expected.push_back(u'\\');
    expected.push_back(c);
  }
  expected += u"\u00e9\u20ac\xD800";
  const std::u16string quoted = u"\"" + expected + u"\"";
  EXPECT_EQ(object.ToJSON(true), u"{" + quoted + u":" + quoted + u"}");
  EXPECT_EQ(object.ToJSON(false), u"{\n\t" + quoted + u": " + quoted + u"\n}\n");
  // And the reader takes every escape back.
  auto back = TJsonNode::Parse(object.ToJSON(true));
  EXPECT_EQ(dynamic_cast<TJsonObject&>(*back).GetString(all), all);
}

TEST(JsonWriterTest, LongDocumentRoundTrips) {
  TJsonObject doc;
  TJsonArray* users = doc.GetArray(u"users");
  for (int i = 0; i < 2000; ++i) {
    TJsonObject* user = users->AddObject();
    user->SetInt(u"n", i);
    user->SetString(u"t", std::u16string(static_cast<std::size_t>(i % 50), u'A'));
  }
  const std::u16string compact = doc.ToJSON(true);
  EXPECT_EQ(TJsonNode::Parse(compact)->ToJSON(true), compact);
  EXPECT_EQ(TJsonNode::Parse(doc.ToJSON(false))->ToJSON(true), compact);
}

// A large string member is copied into the text once: the few units after it (the closing quote,
// the next members, the brace) fit behind it instead of moving the whole text into a buffer twice
// its size. Its escapes, before and after the large run, are written as ever.
TEST(JsonWriterTest, TextAfterALargeStringFitsBehindIt) {
  const std::size_t size = std::size_t{1} << 20;
  struct {
    std::u16string Value;
    std::u16string Written;
  } cases[] = {
      {std::u16string(size, u'p'), std::u16string(size, u'p')},
      {u"\n" + std::u16string(size, u'p') + u"\"", u"\\n" + std::u16string(size, u'p') + u"\\\""},
  };
  for (const auto& c : cases) {
    TJsonObject doc;
    doc.SetString(u"state", u"s");
    doc.SetString(u"pad", c.Value);
    doc.GetArray(u"devices");
    const std::u16string compact = doc.ToJSON(true);
    EXPECT_EQ(compact, u"{\"state\":\"s\",\"pad\":\"" + c.Written + u"\",\"devices\":[]}");
    EXPECT_LT(compact.capacity(), compact.size() + compact.size() / 4);
  }
}

// The scanners look at eight units at a time: a unit to escape must be found at every offset
// of a block and in the tail, by the writer and by the reader.
TEST(JsonWriterTest, EscapesAtEveryOffset) {
  const struct {
    char16_t unit;
    const char16_t* written;
  } specials[] = {{u'"', u"\\\""},    {u'\\', u"\\\\"},   {u'\n', u"\\n"}, {u'\r', u"\\r"},
                  {0x1F, u"\\u001f"}, {0x00, u"\\u0000"}, {0x20, u" "},    {0xFFFF, u"\xFFFF"}};
  for (const auto& special : specials) {
    for (std::size_t length = 1; length <= 40; ++length) {
      for (std::size_t at = 0; at < length; ++at) {
        std::u16string text(length, u'a');
        text[at] = special.unit;
        TJsonObject object;
        object.SetString(u"k", text);
        const std::u16string expected = u"{\"k\":\"" + std::u16string(at, u'a') + special.written +
                                        std::u16string(length - at - 1, u'a') + u"\"}";
        ASSERT_EQ(object.ToJSON(true), expected) << length << " " << at;
        auto back = TJsonNode::Parse(expected);
        ASSERT_EQ(dynamic_cast<TJsonObject&>(*back).GetString(u"k"), text) << length << " " << at;
      }
    }
  }
}

// A bounded write keeps the first units of the text it would write and counts the rest, in both
// forms, whatever kind of value (string run, escape, number, indentation) the bound falls in.
TEST(JsonWriterTest, BoundedWriteIsAPrefixAndCountsTheRest) {
  auto document = testing::ParseObject(
      u"{\"users\":[{\"n\":123456789,\"f\":-1.5e300,\"s\":\"a\u0001\\\"\U0001F600z\"},"
      u"[[[]],{}],true,null,18446744073709551615],\"x\":{\"y\":[false]}}");
  ASSERT_NE(document, nullptr);
  for (const bool compact : {true, false}) {
    const std::u16string whole = document->ToJSON(compact);
    for (std::size_t limit = 0; limit <= whole.size() + 2; ++limit) {
      testing::ExpectClippedPrefix(whole, document->ToJSON(compact, limit), limit);
    }
  }
}

}  // namespace
}  // namespace vantorix
