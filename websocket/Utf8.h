// UTF-8 <-> UTF-16 conversion for the wire edge (RFC 3629). Never fails: ill-formed input and
// unpaired surrogates become U+FFFD. And a check that UTF-8 is well-formed.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "websocket/Bytes.h"

namespace vantorix {

// Decodes UTF-8. Each maximal ill-formed subpart (Unicode 15, section 3.9, U+FFFD substitution of
// maximal subparts) becomes one U+FFFD; overlong forms, surrogates and values above U+10FFFF are
// ill-formed. No byte order mark is added or stripped.
std::u16string Utf8Decode(std::span<const std::uint8_t> bytes);
std::u16string Utf8Decode(std::string_view bytes);

// Checks UTF-8 that arrives in pieces, a character possibly cut between two of them: well-formed
// by the same rules as the decoder (no overlong forms, surrogates or values above U+10FFFF).
class TUtf8Validator {
 public:
  // Takes the next bytes. False once the bytes so far cannot begin well-formed UTF-8, and from
  // then on.
  bool Feed(std::span<const std::uint8_t> bytes);
  // Whether everything fed is well-formed UTF-8 that ends on a character boundary.
  bool Complete() const { return FValid && FNeed == 0; }

 private:
  bool FValid = true;
  std::size_t FNeed = 0;                // continuation bytes still due
  std::uint8_t FLo = 0x80, FHi = 0xBF;  // the range allowed for the next of them
};

// Encodes UTF-16 as UTF-8; an unpaired surrogate is written as U+FFFD (EF BF BD).
TBytes Utf8Encode(std::u16string_view text);
// The length of Utf8Encode(text), and its bytes written to out (room for that many), returning
// the end of what was written: for callers that place the text inside a larger buffer.
std::size_t Utf8Length(std::u16string_view text);
std::uint8_t* Utf8EncodeTo(std::u16string_view text, std::uint8_t* out);
std::string Utf8EncodeString(std::u16string_view text);

}  // namespace vantorix
