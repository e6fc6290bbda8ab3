// Helpers shared by the files of the JSON library; not part of its public interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json/ClippedText.h"
#include "json/JsonDocument.h"

namespace vantorix {

// The kind's name in type-cast messages ("String", "Integer", ...).
const char* JsonKindName(TJsonKind kind) noexcept;

// Raises EJsonCastError "Cannot cast <from> into <to>".
[[noreturn]] void ThrowJsonCast(const char* from, const char* to);

// Number text: 15 significant digits, plain form for decimal exponents -3..15 (in 0.d1d2..
// notation), else d1.d2..E<exp>; "INF", "-INF", "NAN" for the non-finite values.
void AppendFloatText(double value, std::u16string& out);
void AppendIntText(std::int64_t value, std::u16string& out);
void AppendUIntText(std::uint64_t value, std::u16string& out);

// Conversion table of the model: a stored value read as text, 32-bit integer or boolean.
std::u16string JsonValueAsString(const TJsonValue& value);
std::int32_t JsonValueAsInt(const TJsonValue& value);
bool JsonValueAsBool(const TJsonValue& value);

// First unit in [p, end) that ends a plain run of a string token: '"', '\\', LF or CR.
const char16_t* ScanStringToken(const char16_t* p, const char16_t* end) noexcept;
// First unit in [p, end) that the writer escapes: '"', '\\' or a unit below U+0020.
const char16_t* ScanEscapable(const char16_t* p, const char16_t* end) noexcept;
// The same, also stopping at '/' (which the log's rendering escapes).
const char16_t* ScanEscapableOrSlash(const char16_t* p, const char16_t* end) noexcept;

// Value of one hexadecimal digit (either case), or -1 for any other unit.
constexpr int JsonHexDigitValue(char16_t c) noexcept {
  if (c >= u'0' && c <= u'9')
    return c - u'0';
  if (c >= u'a' && c <= u'f')
    return c - u'a' + 10;
  if (c >= u'A' && c <= u'F')
    return c - u'A' + 10;
  return -1;
}

// The two-character escape of RFC 8259 section 7 for '"', '\\', BS, HT, LF, FF or CR; nullptr
// for every other unit. Callers decide themselves what "/" and the other control units become.
constexpr const char16_t* JsonShortEscape(char16_t c) noexcept {
  switch (c) {
    case u'"':
      return u"\\\"";
    case u'\\':
      return u"\\\\";
    case 0x08:
      return u"\\b";
    case 0x09:
      return u"\\t";
    case 0x0A:
      return u"\\n";
    case 0x0C:
      return u"\\f";
    case 0x0D:
      return u"\\r";
    default:
      return nullptr;
  }
}

// Output of the writers and of FormatJSON: keeps at most `limit` units and only counts the rest,
// so that a producer stops paying for text nobody keeps while it still walks all of its input.
class TBoundedText {
 public:
  explicit TBoundedText(std::size_t limit = std::u16string::npos) noexcept : FRoom(limit) {}

  void Append(std::u16string_view text) {
    if (text.size() <= FRoom) {
      if (text.size() >= kLargePiece && text.size() > FText.capacity() - FText.size())
        ReserveAfterLargePiece(text.size());
      FText.append(text);
      FRoom -= text.size();
    } else {
      Overflow(text);
    }
  }
  void Append(std::size_t count, char16_t unit) {
    if (count <= FRoom) {
      FText.append(count, unit);
      FRoom -= count;
    } else {
      FText.append(FRoom, unit);
      FOmitted += count - FRoom;
      FRoom = 0;
    }
  }
  void Push(char16_t unit) {
    if (FRoom != 0) {
      FText.push_back(unit);
      --FRoom;
    } else {
      ++FOmitted;
    }
  }
  // The text kept and the count left out; the text is never cut inside a surrogate pair.
  TClippedText Take() noexcept;

 private:
  void Overflow(std::u16string_view text);
  // Makes room for a large piece of `more` units and some headroom after it.
  void ReserveAfterLargePiece(std::size_t more);
  static constexpr std::size_t kLargePiece = std::size_t{1} << 16;

  std::u16string FText;
  std::size_t FRoom;
  std::size_t FOmitted = 0;
};

// A double truncated toward zero as a signed 64-bit integer; 0 for a NaN or outside the range.
std::int64_t TruncateToInt64(double value) noexcept;

}  // namespace vantorix
