// libFuzzer target: FormatJSON, the log's indented rendering with its own strict reader, on
// arbitrary text. A rendering is itself strict JSON whenever it holds no raw control unit (the
// rendering leaves those raw inside strings), and then renders to itself; cut short, it is its
// own beginning; nothing it is given makes it throw or fail.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/json/FuzzSupport.h"
#include "json/FormatJson.h"

namespace {

using vantorix::fuzz::Require;

bool HasRawControlUnit(const std::u16string& text) {
  return std::any_of(text.begin(), text.end(),
                     [](char16_t c) { return c < u' ' && c != u'\r' && c != u'\n'; });
}

void Check(const std::u16string& text) {
  const std::u16string rendered = vantorix::FormatJSON(text);
  const std::size_t cut = text.size() % (rendered.size() + 2);
  const vantorix::TClippedText clipped = vantorix::FormatJSON(text, cut);
  if (rendered.empty()) {
    // Not strict JSON, or nested too deeply: the same for every bound.
    Require(clipped.Text.empty() && clipped.Omitted == 0);
    return;
  }
  vantorix::fuzz::RequirePrefix(rendered, clipped, cut);
  // No line break after the last closing bracket, and none before the first unit.
  Require(rendered.back() != u'\n' && rendered.front() != u'\r');
  if (!HasRawControlUnit(rendered))
    Require(vantorix::FormatJSON(rendered) == rendered);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantorix::fuzz::ForEachText(data, size, Check);
  return 0;
}
