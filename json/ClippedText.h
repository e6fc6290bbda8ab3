// A text cut short at a bound, with the count of what was left out.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vantorix {

// The first units of a longer text, and how many UTF-16 units of it were left out (0 when the
// text is whole). A cut never separates the two halves of a surrogate pair.
struct TClippedText {
  std::u16string Text;
  std::size_t Omitted = 0;
};

// The first maxUnits units of text (one fewer where the cut would separate a surrogate pair).
TClippedText ClipText(std::u16string_view text, std::size_t maxUnits);

}  // namespace vantorix
