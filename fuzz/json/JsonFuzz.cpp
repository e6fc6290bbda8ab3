// libFuzzer target: the reader, both writers and FormatJSON on arbitrary input. Whatever parses
// must write, parse and write again to the same text, and its line form must render; strict
// JSON that FormatJSON renders must parse.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/json/FuzzSupport.h"
#include "json/FormatJson.h"
#include "json/JsonDocument.h"

namespace {

using vantorix::fuzz::Require;
using vantorix::fuzz::RequirePrefix;

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

// The first unit that is not an RFC 8259 blank opens an object or an array.
bool OpensContainer(const std::u16string& text) {
  for (const char16_t c : text) {
    if (c != u' ' && c != u'\t' && c != u'\n' && c != u'\r')
      return c == u'{' || c == u'[';
  }
  return false;
}

// A rendering with every number outside strings replaced by "0": the model rewrites number
// texts (1.50 -> 1.5), FormatJSON keeps them, and everything else must agree.
std::u16string WithoutNumbers(const std::u16string& rendered) {
  std::u16string out;
  for (std::size_t i = 0; i < rendered.size();) {
    const char16_t c = rendered[i];
    if (c == u'"') {
      const std::size_t start = i++;
      while (i < rendered.size() && rendered[i] != u'"')
        i += rendered[i] == u'\\' ? 2 : 1;
      ++i;
      out.append(rendered, start, i - start);
    } else if (c == u'-' || (c >= u'0' && c <= u'9')) {
      while (i < rendered.size() &&
             (rendered[i] == u'-' || rendered[i] == u'+' || rendered[i] == u'.' ||
              rendered[i] == u'e' || rendered[i] == u'E' ||
              (rendered[i] >= u'0' && rendered[i] <= u'9')))
        ++i;
      out.push_back(u'0');
    } else {
      out.push_back(c);
      ++i;
    }
  }
  return out;
}

void Check(const std::u16string& text) {
  // FormatJSON's strict reader is independent of the model's reader, whose syntax is a
  // superset of RFC 8259 for object and array roots: what the strict one renders must parse,
  // to the same names, strings, literals and structure.
  const std::u16string strictRendering = vantorix::FormatJSON(text);
  const bool strict = !strictRendering.empty() && OpensContainer(text);
  std::unique_ptr<vantorix::TJsonNode> node;
  try {
    node = vantorix::TJsonNode::Parse(text);
  } catch (const vantorix::EJsonParseError&) {
    Require(!strict);
    return;
  }
  Require(node || !strict);
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
  // Cut short, each text is its own beginning and counts the rest.
  const std::size_t cut = text.size() % (rendered.size() + 1);
  RequirePrefix(rendered, vantorix::FormatJSON(compact, cut), cut);
  RequirePrefix(lines, node->ToJSON(false, cut), cut);
  RequirePrefix(compact, node->ToJSON(true, cut), cut);
  if (strict)
    Require(WithoutNumbers(rendered) == WithoutNumbers(strictRendering));
  ReadSomeMembers(*node);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantorix::fuzz::ForEachText(data, size, Check);
  return 0;
}
