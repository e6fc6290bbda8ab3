// Indented rendering of a JSON text for the operator log (four spaces, CR LF line breaks).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "json/ClippedText.h"

namespace vantorix {

// Reads `json` as strict RFC 8259 JSON (one value, blanks space/TAB/LF/CR only, at most 512
// levels of nesting) with a reader of its own, and renders it: four-space indentation, CR LF
// between lines, none after the last; numbers keep their text; strings escape '"', '\\', '/'
// and BS/TAB/LF/FF/CR and leave every other unit raw. Gives an empty text for input it cannot
// render. Never throws (an allocation failure also gives the empty text); no state.
std::u16string FormatJSON(std::u16string_view json) noexcept;

// The same rendering cut after at most maxUnits units: what lies beyond is only counted (in
// Omitted) while the reader still checks the whole input, so the cost is proportional to the
// input plus maxUnits however deep the nesting (the full rendering grows with depth times size).
// Input it cannot render gives an empty text with Omitted 0.
TClippedText FormatJSON(std::u16string_view json, std::size_t maxUnits) noexcept;

}  // namespace vantorix
