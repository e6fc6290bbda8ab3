// libFuzzer target: the reader, both writers and FormatJSON on arbitrary input. Whatever parses
// must write, parse and write again to the same text, and its line form must render.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "json/FormatJson.h"
#include "json/JsonDocument.h"
#include "json/JsonUtf8.h"

namespace {

void Require(bool condition) {
  if (!condition)
    std::abort();
}

void ReadSomeMembers(vantorix::TJsonNode& node) {
  auto* object = dynamic_cast<vantorix::TJsonObject*>(&node);
  if (!object)
    return;
  for (const char16_t* name : {u"act", u"a", u"users", u"port"}) {
    try {
      (void)object->GetString(name);
    } catch (const std::exception&) {
    }
    try {
      (void)object->GetInt(name);
    } catch (const std::exception&) {
    }
    try {
      (void)object->GetBool(name);
    } catch (const std::exception&) {
    }
  }
}

void Check(const std::u16string& text) {
  (void)vantorix::FormatJSON(text);
  std::unique_ptr<vantorix::TJsonNode> node;
  try {
    node = vantorix::TJsonNode::Parse(text);
  } catch (const vantorix::EJsonParseError&) {
    return;
  }
  if (!node)
    return;
  const std::u16string compact = node->ToJSON(true);
  const std::u16string lines = node->ToJSON(false);
  // Parse errors from here on escape and are reported as crashes.
  const auto again = vantorix::TJsonNode::Parse(compact);
  Require(again && again->ToJSON(true) == compact);
  Require(again->ToJSON(false) == lines);
  const auto fromLines = vantorix::TJsonNode::Parse(lines);
  Require(fromLines && fromLines->ToJSON(true) == compact);
  const std::u16string rendered = vantorix::FormatJSON(lines);
  Require(!rendered.empty() && rendered == vantorix::FormatJSON(compact));
  ReadSomeMembers(*node);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // As the server sees a message: UTF-8 decoded to UTF-16.
  Check(vantorix::JsonUtf8Decode(std::string_view(reinterpret_cast<const char*>(data), size)));
  // Raw UTF-16 units, to reach every unit value, unpaired surrogates included.
  std::u16string units(size / 2, u'\0');
  if (!units.empty())
    std::memcpy(units.data(), data, units.size() * 2);
  Check(units);
  return 0;
}
