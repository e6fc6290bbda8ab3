// What the JSON fuzz targets share: aborting checks, the two ways input bytes become text, and
// the test of a text cut short.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "json/ClippedText.h"
#include "json/JsonUtf8.h"

namespace vantorix::fuzz {

inline void Require(bool condition) {
  if (!condition)
    std::abort();
}

// Calls check with the input as the server sees a message (UTF-8 decoded to UTF-16), then with
// its bytes as raw UTF-16 units, to reach every unit value, unpaired surrogates included.
template <typename TCheck>
void ForEachText(const std::uint8_t* data, std::size_t size, TCheck check) {
  check(JsonUtf8Decode(std::string_view(reinterpret_cast<const char*>(data), size)));
  std::u16string units(size / 2, u'\0');
  if (!units.empty())
    std::memcpy(units.data(), data, units.size() * 2);
  check(units);
}

// A text cut at `limit` is the first limit units of the whole one (one fewer where the cut
// would separate a surrogate pair) and counts the rest.
inline void RequirePrefix(const std::u16string& whole, const TClippedText& clipped,
                          std::size_t limit) {
  const std::size_t kept = clipped.Text.size();
  Require(kept + clipped.Omitted == whole.size() && whole.compare(0, kept, clipped.Text) == 0);
  Require(kept == std::min(limit, whole.size()) ||
          (kept + 1 == limit && whole[kept] >= 0xD800 && whole[kept] <= 0xDBFF));
}

}  // namespace vantorix::fuzz
