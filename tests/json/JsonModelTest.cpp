// Document model: the conversion table, setters, GetArray/ExtractArray, value references,
// arrays and enumerators, and the error classes with their messages.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <type_traits>

#include "json/JsonDocument.h"
#include "json/JsonInternal.h"
#include "tests/json/JsonTestUtil.h"

namespace vantorix {
namespace {

using testing::Compact;
using testing::Outcome;
using testing::ParseObject;
using testing::U8;

static_assert(std::is_base_of_v<EJsonError, EJsonCastError>);
static_assert(std::is_base_of_v<EJsonError, EJsonParseError>);
static_assert(std::is_base_of_v<std::exception, EJsonError>);
static_assert(std::is_base_of_v<std::exception, EListIndexError>);
static_assert(std::is_base_of_v<std::exception, EInvalidCast>);
static_assert(std::is_base_of_v<std::exception, EConvertError>);
static_assert(!std::is_base_of_v<EJsonError, EConvertError>);

struct TConversionCase {
  const char16_t* value;  // JSON text of member "v"
  TJsonKind kind;
  const char* asString;
  const char* asInt;
  const char* asBool;
};

// Every stored kind read as text, int32 and bool, through the object accessors and through a
// bound value reference (both must agree).
TEST(JsonModelTest, ConversionTable) {
  const char* castObject[] = {"!EJsonCastError: Cannot cast Object into String",
                              "!EJsonCastError: Cannot cast Object into Integer",
                              "!EJsonCastError: Cannot cast Object into Bool"};
  const char* castArray[] = {"!EJsonCastError: Cannot cast Array into String",
                             "!EJsonCastError: Cannot cast Array into Integer",
                             "!EJsonCastError: Cannot cast Array into Bool"};
  const TConversionCase cases[] = {
      {u"null", jkObject, castObject[0], castObject[1], castObject[2]},
      {u"{}", jkObject, castObject[0], castObject[1], castObject[2]},
      {u"{\"a\":1}", jkObject, castObject[0], castObject[1], castObject[2]},
      {u"[]", jkArray, castArray[0], castArray[1], castArray[2]},
      {u"[1]", jkArray, castArray[0], castArray[1], castArray[2]},
      {u"4370", jkInt, "4370", "4370", "true"},
      {u"0", jkInt, "0", "0", "false"},
      {u"-5", jkInt, "-5", "-5", "true"},
      {u"2", jkInt, "2", "2", "true"},
      {u"12345678901", jkLong, "12345678901", "-539222987", "true"},
      {u"4294967297", jkLong, "4294967297", "1", "true"},
      {u"-9223372036854775807", jkLong, "-9223372036854775807", "1", "true"},
      {u"18446744073709551615", jkULong, "18446744073709551615", "-1", "true"},
      {u"9223372036854775808", jkULong, "9223372036854775808", "0", "true"},
      {u"1.50", jkFloat, "1.5", "1", "true"},
      {u"-2.5", jkFloat, "-2.5", "-2", "true"},
      {u"0.0", jkFloat, "0", "0", "false"},
      {u"0.7", jkFloat, "0.7", "0", "true"},
      {u"3000000000.7", jkFloat, "3000000000.7", "-1294967296", "true"},
      {u"-9.2e18", jkFloat, "-9.2E18", "1650982912", "true"},
      {u"9.9e18", jkFloat, "9.9E18", "0", "true"},  // beyond int64: 0
      {u"1e300", jkFloat, "1E300", "0", "true"},
      {u"true", jkBool, "true", "1", "true"},
      {u"false", jkBool, "false", "0", "false"},
      {u"\"12\"", jkString, "12", "12", "false"},
      {u"\"0x1F\"", jkString, "0x1F", "31", "false"},
      {u"\" 7\"", jkString, " 7", "7", "false"},
      {u"\"1.9\"", jkString, "1.9", "1", "false"},
      {u"\"-1.9\"", jkString, "-1.9", "-1", "false"},
      {u"\"  2.5\"", jkString, "  2.5", "2", "false"},
      {u"\"1e3\"", jkString, "1e3", "1000", "false"},
      {u"\"1.5E+1\"", jkString, "1.5E+1", "15", "false"},
      {u"\"4294967297.5\"", jkString, "4294967297.5", "1", "false"},
      {u"\"9e999\"", jkString, "9e999", "0", "false"},
      // Out of the int32 range for the integer conversion, so read as a float.
      {u"\"2147483648\"", jkString, "2147483648", "-2147483648", "false"},
      {u"\"$100000000\"", jkString, "$100000000",
       "!EConvertError: '$100000000' is not a valid floating point value", "false"},
      {u"\"1.\"", jkString, "1.", "1", "false"},
      {u"\".5\"", jkString, ".5", "0", "false"},
      {u"\"abc\"", jkString, "abc", "!EConvertError: 'abc' is not a valid floating point value",
       "false"},
      {u"\"12abc\"", jkString, "12abc",
       "!EConvertError: '12abc' is not a valid floating point value", "false"},
      {u"\"\"", jkString, "", "!EConvertError: '' is not a valid floating point value", "false"},
      {u"\"1.5 \"", jkString, "1.5 ", "!EConvertError: '1.5 ' is not a valid floating point value",
       "false"},
      {u"\"1e\"", jkString, "1e", "!EConvertError: '1e' is not a valid floating point value",
       "false"},
      {u"\".\"", jkString, ".", "!EConvertError: '.' is not a valid floating point value", "false"},
      {u"\"INF\"", jkString, "INF", "!EConvertError: 'INF' is not a valid floating point value",
       "false"},
      {u"\"true\"", jkString, "true", "!EConvertError: 'true' is not a valid floating point value",
       "true"},
      {u"\"True\"", jkString, "True", "!EConvertError: 'True' is not a valid floating point value",
       "false"},
      {u"bare", jkString, "bare", "!EConvertError: 'bare' is not a valid floating point value",
       "false"},
  };
  for (const TConversionCase& c : cases) {
    const std::u16string text = u"{\"v\":" + std::u16string(c.value) + u"}";
    SCOPED_TRACE(U8(text));
    auto doc = ParseObject(text);
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->GetValue(u"v").Kind(), c.kind);
    EXPECT_EQ(Outcome([&] { return U8(doc->GetString(u"v")); }), c.asString);
    EXPECT_EQ(Outcome([&] { return std::to_string(doc->GetInt(u"v")); }), c.asInt);
    EXPECT_EQ(Outcome([&] { return std::string(doc->GetBool(u"v") ? "true" : "false"); }),
              c.asBool);
    EXPECT_EQ(Outcome([&] { return U8(doc->GetValue(u"v").AsString()); }), c.asString);
    EXPECT_EQ(Outcome([&] { return std::to_string(doc->GetValue(u"v").AsInt()); }), c.asInt);
    // Reading never changes the document.
    EXPECT_EQ(doc->ToJSON(true), TJsonNode::Parse(text)->ToJSON(true));
  }
}

TEST(JsonModelTest, MissingMemberReadsAsDefaultsAndAddsNothing) {
  auto doc = ParseObject(u"{\"act\":\"echo\"}");
  EXPECT_EQ(doc->GetString(u"state"), u"");
  EXPECT_EQ(doc->GetInt(u"state"), 0);
  EXPECT_FALSE(doc->GetBool(u"state"));
  TJsonValueRef ref = doc->GetValue(u"state");
  EXPECT_FALSE(ref.IsBound());
  EXPECT_EQ(ref.AsString(), u"");
  EXPECT_EQ(ref.AsInt(), 0);
  EXPECT_EQ(doc->GetString(u"Act"), u"");  // names are case-sensitive
  EXPECT_EQ(Compact(*doc), "{\"act\":\"echo\"}");
}

TEST(JsonModelTest, SettersReplaceInPlaceOrAppend) {
  auto doc = ParseObject(u"{\"a\":1,\"b\":[1,{\"x\":2}],\"a\":3}");
  const struct {
    void (*apply)(TJsonObject&);
    const char* after;
  } steps[] = {
      {[](TJsonObject& o) { o.SetString(u"b", u"x"); }, "{\"a\":1,\"b\":\"x\",\"a\":3}"},
      {[](TJsonObject& o) { o.SetInt(u"a", -7); }, "{\"a\":-7,\"b\":\"x\",\"a\":3}"},
      {[](TJsonObject& o) { o.SetBool(u"c", true); }, "{\"a\":-7,\"b\":\"x\",\"a\":3,\"c\":true}"},
      {[](TJsonObject& o) { o.SetString(u"c", u"q\""); },
       "{\"a\":-7,\"b\":\"x\",\"a\":3,\"c\":\"q\\\"\"}"},
      {[](TJsonObject& o) { o.SetString(u"c", u"q\""); },
       "{\"a\":-7,\"b\":\"x\",\"a\":3,\"c\":\"q\\\"\"}"},
      {[](TJsonObject& o) { o.SetBool(u"b", false); },
       "{\"a\":-7,\"b\":false,\"a\":3,\"c\":\"q\\\"\"}"},
      {[](TJsonObject& o) { o.SetInt(u"d", INT32_MIN); },
       "{\"a\":-7,\"b\":false,\"a\":3,\"c\":\"q\\\"\",\"d\":-2147483648}"},
  };
  for (const auto& step : steps) {
    step.apply(*doc);
    EXPECT_EQ(Compact(*doc), step.after);
  }
  EXPECT_EQ(doc->GetInt(u"a"), -7);
  EXPECT_EQ(doc->GetString(u"c"), u"q\"");
}

TEST(JsonModelTest, SetterReplacesNullAndObjectValues) {
  auto doc = ParseObject(u"{\"n\":null,\"o\":{\"deep\":[[1]]}}");
  doc->SetInt(u"n", 1);
  doc->SetString(u"o", u"s");
  EXPECT_EQ(Compact(*doc), "{\"n\":1,\"o\":\"s\"}");
  EXPECT_EQ(doc->GetInt(u"n"), 1);
}

struct TArrayCase {
  const char16_t* doc;
  const char* result;  // "count N", "none" or an error
  const char* after;
};

TEST(JsonModelTest, GetArray) {
  const TArrayCase cases[] = {
      {u"{\"act\":\"echo\"}", "count 0", "{\"act\":\"echo\",\"devices\":[]}"},
      {u"{\"devices\":[1,2]}", "count 2", "{\"devices\":[1,2]}"},
      {u"{\"devices\":[],\"devices\":5}", "count 0", "{\"devices\":[],\"devices\":5}"},
      {u"{\"devices\":null}", "!EJsonCastError: Cannot cast Object into Array",
       "{\"devices\":null}"},
      {u"{\"devices\":{}}", "!EJsonCastError: Cannot cast Object into Array", "{\"devices\":{}}"},
      {u"{\"devices\":\"x\"}", "!EJsonCastError: Cannot cast String into Array",
       "{\"devices\":\"x\"}"},
      {u"{\"devices\":5}", "!EJsonCastError: Cannot cast Integer into Array", "{\"devices\":5}"},
      {u"{\"devices\":12345678901}", "!EJsonCastError: Cannot cast Long into Array",
       "{\"devices\":12345678901}"},
      {u"{\"devices\":18446744073709551615}", "!EJsonCastError: Cannot cast ULong into Array",
       "{\"devices\":18446744073709551615}"},
      {u"{\"devices\":1.5}", "!EJsonCastError: Cannot cast Float into Array", "{\"devices\":1.5}"},
      {u"{\"devices\":true}", "!EJsonCastError: Cannot cast Bool into Array", "{\"devices\":true}"},
  };
  for (const TArrayCase& c : cases) {
    SCOPED_TRACE(U8(c.doc));
    auto doc = ParseObject(c.doc);
    EXPECT_EQ(Outcome([&] {
                TJsonArray* array = doc->GetArray(u"devices");
                return array ? "count " + std::to_string(array->Count()) : std::string("none");
              }),
              c.result);
    EXPECT_EQ(Compact(*doc), c.after);
  }
  // The array added for a missing name is the document's own: filling it shows in the output.
  auto doc = ParseObject(u"{}");
  doc->GetArray(u"users")->AddObject()->SetInt(u"a", 1);
  doc->GetArray(u"users")->AddObject();
  EXPECT_EQ(Compact(*doc), "{\"users\":[{\"a\":1},{}]}");
}

TEST(JsonModelTest, ExtractArray) {
  const TArrayCase cases[] = {
      {u"{\"act\":\"x\"}", "none", "{\"act\":\"x\"}"},
      {u"{\"users\":[1,\"a\"],\"act\":\"x\"}", "count 2", "{\"act\":\"x\"}"},
      {u"{\"act\":\"x\",\"users\":[]}", "count 0", "{\"act\":\"x\"}"},
      {u"{\"users\":5,\"act\":\"x\"}", "none", "{\"act\":\"x\"}"},
      {u"{\"users\":\"s\"}", "none", "{}"},
      {u"{\"users\":null}", "none", "{}"},
      {u"{\"users\":{}}", "!EInvalidCast: Invalid class typecast", "{}"},
      {u"{\"a\":1,\"users\":{\"b\":[1]},\"c\":2}", "!EInvalidCast: Invalid class typecast",
       "{\"a\":1,\"c\":2}"},
      {u"{\"users\":[1],\"users\":[2,3]}", "count 1", "{\"users\":[2,3]}"},
  };
  for (const TArrayCase& c : cases) {
    SCOPED_TRACE(U8(c.doc));
    auto doc = ParseObject(c.doc);
    EXPECT_EQ(Outcome([&] {
                std::unique_ptr<TJsonArray> array = doc->ExtractArray(u"users");
                return array ? "count " + std::to_string(array->Count()) : std::string("none");
              }),
              c.result);
    EXPECT_EQ(Compact(*doc), c.after);
  }
  // The caller owns the extracted array: it outlives the document it came from.
  auto doc = ParseObject(u"{\"users\":[{\"name\":\"A\"}],\"act\":\"synctodevice\"}");
  std::unique_ptr<TJsonArray> users = doc->ExtractArray(u"users");
  doc.reset();
  ASSERT_TRUE(users);
  EXPECT_EQ(Compact(*users), "[{\"name\":\"A\"}]");
  EXPECT_EQ(users->GetValue(0).AsObject()->GetString(u"name"), u"A");
}

TEST(JsonModelTest, ArrayIndexErrors) {
  auto doc = ParseObject(u"{\"a\":[10,20],\"e\":[]}");
  TJsonArray* array = doc->GetArray(u"a");
  TJsonArray* empty = doc->GetArray(u"e");
  const struct {
    TJsonArray* array;
    std::int32_t index;
    const char* result;
  } cases[] = {
      {array, 0, "10"},
      {array, 1, "20"},
      {array, 2, "!EListIndexError: List index out of bounds (2)"},
      {array, -1, "!EListIndexError: List index out of bounds (-1)"},
      {array, INT32_MIN, "!EListIndexError: List index out of bounds (-2147483648)"},
      {empty, 0, "!EListIndexError: List index out of bounds (0)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Outcome([&] { return U8(c.array->GetValue(c.index).AsString()); }), c.result);
  }
  EXPECT_EQ(Compact(*doc), "{\"a\":[10,20],\"e\":[]}");
}

TEST(JsonModelTest, Enumerator) {
  auto doc = ParseObject(u"{\"e\":[],\"a\":[\"x\",2,true]}");
  TJsonArrayEnumerator none = doc->GetArray(u"e")->GetEnumerator();
  EXPECT_FALSE(none.MoveNext());
  EXPECT_FALSE(none.MoveNext());

  TJsonArray* array = doc->GetArray(u"a");
  TJsonArrayEnumerator it = array->GetEnumerator();
  std::u16string seen;
  while (it.MoveNext()) {
    TJsonValueRef current = it.Current();
    seen += (current.Kind() == jkObject ? u"{}" : current.AsString()) + u";";
    // Count is read at each MoveNext, so an element added on the way is visited too.
    if (seen == u"x;")
      array->AddObject();
  }
  EXPECT_EQ(seen, u"x;2;true;{};");
  EXPECT_EQ(Outcome([&] { return U8(it.Current().AsString()); }),
            "!EJsonCastError: Cannot cast Object into String");
  EXPECT_FALSE(it.MoveNext());
  EXPECT_EQ(array->Count(), 4);
}

TEST(JsonModelTest, UnboundReferenceCreatesTheMemberWhenTakenAsContainer) {
  auto doc = ParseObject(u"{\"x\":1}");
  TJsonValueRef ref = doc->GetValue(u"fpTemplates");
  EXPECT_EQ(ref.AsString(), u"");
  EXPECT_EQ(Compact(*doc), "{\"x\":1}");
  TJsonArray* templates = ref.AsArray();
  ASSERT_TRUE(templates);
  EXPECT_TRUE(ref.IsBound());
  EXPECT_EQ(ref.Kind(), jkArray);
  EXPECT_EQ(ref.AsArray(), templates);  // bound now: no second member
  EXPECT_EQ(Compact(*doc), "{\"x\":1,\"fpTemplates\":[]}");
  EXPECT_EQ(Outcome([&] { return U8(templates->GetValue(0).AsString()); }),
            "!EListIndexError: List index out of bounds (0)");

  TJsonObject* inner = doc->GetValue(u"o").AsObject();
  ASSERT_TRUE(inner);
  inner->SetString(u"k", u"v");
  EXPECT_EQ(doc->GetValue(u"o").AsObject(), inner);
  EXPECT_EQ(Compact(*doc), "{\"x\":1,\"fpTemplates\":[],\"o\":{\"k\":\"v\"}}");
}

TEST(JsonModelTest, BoundReferenceToContainer) {
  auto doc = ParseObject(u"{\"l\":[null,\"x\",{},[],{\"a\":1},5]}");
  TJsonArray* list = doc->GetArray(u"l");
  const struct {
    std::int32_t index;
    const char* asObject;
    const char* asArray;
  } cases[] = {
      {0, "none", "!EJsonCastError: Cannot cast Object into Array"},
      {1, "!EJsonCastError: Cannot cast String into Object",
       "!EJsonCastError: Cannot cast String into Array"},
      {2, "object {}", "!EJsonCastError: Cannot cast Object into Array"},
      {3, "!EJsonCastError: Cannot cast Array into Object", "array []"},
      {4, "object {\"a\":1}", "!EJsonCastError: Cannot cast Object into Array"},
      {5, "!EJsonCastError: Cannot cast Integer into Object",
       "!EJsonCastError: Cannot cast Integer into Array"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.index);
    EXPECT_EQ(Outcome([&] {
                TJsonObject* o = list->GetValue(c.index).AsObject();
                return o ? "object " + Compact(*o) : std::string("none");
              }),
              c.asObject);
    EXPECT_EQ(Outcome([&] {
                TJsonArray* a = list->GetValue(c.index).AsArray();
                return a ? "array " + Compact(*a) : std::string("none");
              }),
              c.asArray);
  }
  EXPECT_EQ(Compact(*doc), "{\"l\":[null,\"x\",{},[],{\"a\":1},5]}");
}

// A users document built the way the device code builds it, read back the way the write does.
TEST(JsonModelTest, BuildAndReadUsersDocument) {
  TJsonObject doc;
  for (int u = 0; u < 2; ++u) {
    TJsonObject* user = doc.GetArray(u"users")->AddObject();
    user->SetString(u"enrollNumber", std::u16string(1, static_cast<char16_t>(u'1' + u)));
    user->SetBool(u"enabled", u == 0);
    user->SetInt(u"privilege", u * 3);
    if (u == 1) {
      TJsonObject* tpl = user->GetArray(u"fpTemplates")->AddObject();
      tpl->SetInt(u"fingerIndex", 6);
      tpl->SetString(u"templateData", u"QUJD");
    }
    user->SetInt(u"fpCount", u);
  }
  EXPECT_EQ(Compact(doc),
            "{\"users\":[{\"enrollNumber\":\"1\",\"enabled\":true,\"privilege\":0,\"fpCount\":0},"
            "{\"enrollNumber\":\"2\",\"enabled\":false,\"privilege\":3,\"fpTemplates\":[{"
            "\"fingerIndex\":6,\"templateData\":\"QUJD\"}],\"fpCount\":1}]}");
  TJsonObject* second = doc.GetArray(u"users")->GetValue(1).AsObject();
  EXPECT_EQ(
      second->GetValue(u"fpTemplates").AsArray()->GetValue(0).AsObject()->GetInt(u"fingerIndex"),
      6);
  EXPECT_EQ(second->GetString(u"privilege"), u"3");
}

TEST(JsonModelTest, NumberText) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {1.5, "1.5"},
      {100, "100"},
      {0.0001, "0.0001"},
      {0.00001, "1E-5"},
      {1e15, "1E15"},
      {1e14, "100000000000000"},
      {123456789012345.0, "123456789012345"},
      {1234567890123456.0, "1.23456789012346E15"},
      {123456789012345678.0, "1.23456789012346E17"},
      {-2.5, "-2.5"},
      {0.0, "0"},
      {-0.0, "0"},
      {0.1, "0.1"},
      {1.0 / 3, "0.333333333333333"},
      {2.0 / 3, "0.666666666666667"},
      {0.001234, "0.001234"},
      {0.0001234, "0.0001234"},
      {0.00001234, "1.234E-5"},
      {1e-7, "1E-7"},
      {18446744073709551616.0, "1.84467440737096E19"},
      {-9223372036854775808.0, "-9.22337203685478E18"},
      {99999999999999.9, "99999999999999.9"},
      {999999999999999.9, "1E15"},
      {9999999999999999.0, "1E16"},
      {0.9999999999999999, "1"},
      {1.79769313486231e308, "1.79769313486231E308"},
      {std::numeric_limits<double>::max(), "1.79769313486232E308"},
      {std::numeric_limits<double>::denorm_min(), "4.94065645841247E-324"},
      {std::numeric_limits<double>::infinity(), "INF"},
      {-std::numeric_limits<double>::infinity(), "-INF"},
      {std::numeric_limits<double>::quiet_NaN(), "NAN"},
  };
  for (const auto& c : cases) {
    std::u16string text;
    AppendFloatText(c.value, text);
    EXPECT_EQ(U8(text), c.text) << c.value;
  }
}

TEST(JsonModelTest, FloatTruncationHasNoUndefinedCases) {
  const struct {
    double value;
    std::int64_t expected;
  } cases[] = {
      {1.9, 1},
      {-1.9, -1},
      {-0x1p63, INT64_MIN},
      {0x1p63, 0},
      {0x1p62, 0x4000000000000000},
      {1e300, 0},
      {-1e300, 0},
      {std::numeric_limits<double>::infinity(), 0},
      {std::numeric_limits<double>::quiet_NaN(), 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TruncateToInt64(c.value), c.expected) << c.value;
}

}  // namespace
}  // namespace vantorix
