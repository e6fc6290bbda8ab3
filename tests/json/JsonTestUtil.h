// Helpers for the JSON tests: UTF-8 views of results and a uniform "value or error" outcome.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "json/JsonDocument.h"
#include "json/JsonUtf8.h"

namespace vantorix::testing {

inline std::string U8(std::u16string_view text) {
  return JsonUtf8Encode(text);
}

// Runs `f` and gives its result as UTF-8 text, or "!<error class>: <message>".
template <typename F>
std::string Outcome(F&& f) {
  try {
    return f();
  } catch (const EJsonParseError& e) {
    return std::string("!EJsonParseError: ") + e.what();
  } catch (const EJsonCastError& e) {
    return std::string("!EJsonCastError: ") + e.what();
  } catch (const EConvertError& e) {
    return std::string("!EConvertError: ") + e.what();
  } catch (const EListIndexError& e) {
    return std::string("!EListIndexError: ") + e.what();
  } catch (const EInvalidCast& e) {
    return std::string("!EInvalidCast: ") + e.what();
  } catch (const std::exception& e) {
    return std::string("!other: ") + e.what();
  }
}

// Parses a text that must give an object.
inline std::unique_ptr<TJsonObject> ParseObject(std::u16string_view text) {
  std::unique_ptr<TJsonNode> node = TJsonNode::Parse(text);
  auto* object = dynamic_cast<TJsonObject*>(node.get());
  EXPECT_NE(object, nullptr) << U8(text);
  if (!object)
    return nullptr;
  node.release();
  return std::unique_ptr<TJsonObject>(object);
}

inline std::string Compact(const TJsonNode& node) {
  return U8(node.ToJSON(true));
}

// A text cut at `limit` is the whole text's first `limit` units, one fewer where the cut would
// separate a surrogate pair, and counts every unit it left out.
inline void ExpectClippedPrefix(const std::u16string& whole, const TClippedText& clipped,
                                std::size_t limit) {
  const std::size_t kept = clipped.Text.size();
  EXPECT_EQ(kept + clipped.Omitted, whole.size()) << "limit " << limit;
  EXPECT_EQ(clipped.Text, whole.substr(0, kept)) << "limit " << limit;
  if (whole.size() <= limit) {
    EXPECT_EQ(clipped.Omitted, 0u) << "limit " << limit;
  } else {
    const bool splitsPair = limit > 0 && whole[limit - 1] >= 0xD800 && whole[limit - 1] <= 0xDBFF;
    EXPECT_EQ(kept, splitsPair ? limit - 1 : limit) << "limit " << limit;
  }
}

}  // namespace vantorix::testing
