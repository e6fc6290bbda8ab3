// The reader: RFC 8259 syntax with this system's extensions (bare words, every unit up to
// U+0020 as blank, raw control units in strings, text after the root ignored), iterative with an
// explicit stack so that nesting is bounded by kMaxDepth and never by the call stack.
#include <charconv>
#include <string>
#include <vector>

#include "json/JsonDocument.h"
#include "json/JsonInternal.h"
#include "json/JsonUtf8.h"

namespace vantorix {

namespace {

constexpr std::size_t kMaxDepth = 512;
// Largest 15-digit number text that stays finite for readers of the written text; a literal
// beyond the double range reads as this value with its sign.
constexpr double kLargestFinite = 1.79769313486231e308;
// Smallest magnitude whose number text has an exponent the reader takes as written.
constexpr double kSmallestReadable = 1e-308;

enum TToken : std::uint8_t {
  tkEof,
  tkLBrace,
  tkRBrace,
  tkLBracket,
  tkRBracket,
  tkComma,
  tkColon,
  tkString,
  tkNumber,
  tkTrue,
  tkFalse,
  tkNull,
  tkIdent,
  tkInvalid,
};

const char* TokenName(TToken token) {
  switch (token) {
    case tkEof:
      return "end of file";
    case tkLBrace:
      return "\"{\"";
    case tkRBrace:
      return "\"}\"";
    case tkLBracket:
      return "\"[\"";
    case tkRBracket:
      return "\"]\"";
    case tkComma:
      return "\",\"";
    case tkColon:
      return "\":\"";
    case tkIdent:
      return "identifier";
    case tkInvalid:
      return "invalid symbol";
    case tkString:
    case tkNumber:
    case tkTrue:
    case tkFalse:
    case tkNull:
      break;
  }
  return "value";
}

constexpr const char* kValue = "value";

bool IsDigit(char16_t c) {
  return c >= u'0' && c <= u'9';
}
bool IsLetter(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}
bool IsWordUnit(char16_t c) {
  return IsLetter(c) || IsDigit(c) || c == u'_';
}

}  // namespace

class TJsonReader {
 public:
  TJsonReader(const char16_t* text, std::size_t length) : FText(text), FLen(length) {}
  // Reads `owned`, whose buffer may become the largest plain string value (see Run).
  explicit TJsonReader(std::u16string& owned)
      : FText(owned.data()), FLen(owned.size()), FOwned(&owned) {}

  std::unique_ptr<TJsonNode> Run() {
    while (FPos < FLen && FText[FPos] <= 0x20)
      ++FPos;
    if (FPos == FLen)
      return nullptr;

    struct TFrame {
      TJsonNode* Node;
      bool IsArray;
    };
    std::vector<TFrame> stack;
    std::unique_ptr<TJsonNode> root;
    if (FText[FPos] == u'[') {
      auto array = std::make_unique<TJsonArray>();
      NextToken();  // the "[" itself
      stack.push_back({array.get(), true});
      root = std::move(array);
    } else {
      auto object = std::make_unique<TJsonObject>();
      if (NextToken() != tkLBrace)
        Fail(TokenName(tkLBrace));
      stack.push_back({object.get(), false});
      root = std::move(object);
    }

    // Each pass reads one member or element of the top frame: its opening bracket, or the
    // previous member or element and its comma, have been read. `first` allows the closing
    // bracket of an empty container.
    bool first = true;
    while (!stack.empty()) {
      const TFrame frame = stack.back();
      NextToken();
      if (first && FToken == (frame.IsArray ? tkRBracket : tkRBrace)) {
        stack.pop_back();
        first = false;
        if (!stack.empty())
          CloseValues(stack);
        continue;
      }
      first = false;
      TJsonValue* slot;
      if (frame.IsArray) {
        slot = &static_cast<TJsonArray*>(frame.Node)->FItems.emplace_back();
      } else {
        if (FToken != tkString && FToken != tkIdent)
          Fail(kValue);
        TJsonMember& member = static_cast<TJsonObject*>(frame.Node)->FMembers.emplace_back();
        TakeString(member.Name);
        if (NextToken() != tkColon)
          Fail(TokenName(tkColon));
        NextToken();
        slot = &member.Value;
      }

      // A value stands at the reader's position.
      switch (FToken) {
        case tkString:
        case tkIdent:
          slot->FKind = jkString;
          if (!PassOver(frame.Node, frame.IsArray))
            TakeString(slot->FString);
          break;
        case tkNumber:
          ConvertNumber(*slot);
          break;
        case tkTrue:
        case tkFalse:
          slot->FKind = jkBool;
          slot->FBool = FToken == tkTrue;
          break;
        case tkNull:
          slot->FKind = jkObject;  // a null object
          break;
        case tkLBrace:
        case tkLBracket: {
          if (stack.size() >= kMaxDepth) {
            throw EJsonParseError("Nesting deeper than " + std::to_string(kMaxDepth) + " levels",
                                  FPos);
          }
          const bool isArray = FToken == tkLBracket;
          std::unique_ptr<TJsonNode> node;
          if (isArray) {
            node = std::make_unique<TJsonArray>();
          } else {
            node = std::make_unique<TJsonObject>();
          }
          slot->FKind = isArray ? jkArray : jkObject;
          stack.push_back({node.get(), isArray});
          slot->FNode = std::move(node);
          first = true;
          continue;
        }
        default:
          Fail(kValue);
      }
      CloseValues(stack);
    }
    // Exactly one more token is read after the root; the rest of the text is ignored.
    NextToken();
    if (FTaken.Node != nullptr) {
      // Nothing reads the text any more: the string moves to the front of its own buffer, which
      // the value then takes over.
      std::u16string& text = *FOwned;
      std::char_traits<char16_t>::move(text.data(), text.data() + FTaken.Start, FTaken.Length);
      text.resize(FTaken.Length);
      TakenSlot().FString = std::move(text);
      text.clear();
    }
    return root;
  }

 private:
  // With a text to take (the second constructor), the largest plain string value is not copied
  // but noted, to be moved into its slot's string once the whole text is read: until then the
  // text is still being read. Gives whether the current value was noted so; a value noted
  // earlier that it outgrows gets its copy now. Slots are found again by container and index,
  // since a container's vector may move its values as it grows.
  bool PassOver(TJsonNode* container, bool isArray) {
    if (FOwned == nullptr || FToken != tkString || FEscaped || FSpanLen < kTakeAtLeast ||
        FSpanLen <= FTaken.Length) {
      return false;
    }
    if (FTaken.Node != nullptr)
      TakenSlot().FString.assign(FText + FTaken.Start, FTaken.Length);
    const std::size_t count = isArray ? static_cast<TJsonArray*>(container)->FItems.size()
                                      : static_cast<TJsonObject*>(container)->FMembers.size();
    FTaken = {container, isArray, count - 1, FSpanStart, FSpanLen};
    return true;
  }

  TJsonValue& TakenSlot() {
    if (FTaken.IsArray)
      return static_cast<TJsonArray*>(FTaken.Node)->FItems[FTaken.Index];
    return static_cast<TJsonObject*>(FTaken.Node)->FMembers[FTaken.Index].Value;
  }

  // After a complete member or element: a comma keeps the top frame for the next one; its
  // closing bracket completes the frame, which is itself a value of the frame below.
  template <typename TStack>
  void CloseValues(TStack& stack) {
    while (!stack.empty()) {
      NextToken();
      if (FToken == tkComma)
        return;
      if (FToken != (stack.back().IsArray ? tkRBracket : tkRBrace))
        Fail(TokenName(tkComma));
      stack.pop_back();
    }
  }

  [[noreturn]] void Fail(const char* required) {
    if (FToken == tkEof) {
      throw EJsonParseError(
          std::string("Unexpected end of file where ") + required + " was expected", FLen);
    }
    throw EJsonParseError(std::string("Expected ") + required + " but found " + TokenName(FToken),
                          FPos);
  }

  // Reads the next token; FPos ends up after it. Strings are decoded here, so their errors
  // arise as soon as the token is read.
  TToken NextToken() {
    while (FPos < FLen && FText[FPos] <= 0x20)
      ++FPos;
    if (FPos == FLen)
      return FToken = tkEof;
    FStart = FPos;
    const char16_t c = FText[FPos];
    switch (c) {
      case u'{':
        ++FPos;
        return FToken = tkLBrace;
      case u'}':
        ++FPos;
        return FToken = tkRBrace;
      case u'[':
        ++FPos;
        return FToken = tkLBracket;
      case u']':
        ++FPos;
        return FToken = tkRBracket;
      case u',':
        ++FPos;
        return FToken = tkComma;
      case u':':
        ++FPos;
        return FToken = tkColon;
      case u'"':
        ReadString();
        return FToken = tkString;
      default:
        break;
    }
    if (c == u'-' || IsDigit(c))
      return FToken = ReadNumber();
    if (IsLetter(c) || c == u'_' || c == u'$') {
      ++FPos;
      while (FPos < FLen && IsWordUnit(FText[FPos]))
        ++FPos;
      const std::u16string_view word(FText + FStart, FPos - FStart);
      FEscaped = false;
      if (word == u"true")
        return FToken = tkTrue;
      if (word == u"false")
        return FToken = tkFalse;
      if (word == u"null")
        return FToken = tkNull;
      return FToken = tkIdent;
    }
    ++FPos;  // "." at the start of a token, "+", "/", "'" and everything else
    return FToken = tkInvalid;
  }

  // Scans a string starting at the opening quotation mark. Without escapes the token is the
  // span of the text between the quotes; with escapes it is decoded into FBuffer.
  void ReadString() {
    const std::size_t open = FPos;
    std::size_t p = open + 1;
    std::size_t runStart = p;
    FEscaped = false;
    for (;;) {
      p = static_cast<std::size_t>(ScanStringToken(FText + p, FText + FLen) - FText);
      if (p >= FLen)
        throw EJsonParseError("String not closed", open);
      const char16_t u = FText[p];
      if (u == u'"')
        break;
      if (u != u'\\')
        throw EJsonParseError("Invalid character in string", p);
      if (!FEscaped) {
        FEscaped = true;
        FBuffer.clear();
      }
      FBuffer.append(FText + runStart, p - runStart);
      if (p + 1 >= FLen)
        throw EJsonParseError("String not closed", open);
      const char16_t e = FText[p + 1];
      p += 2;
      switch (e) {
        case u'"':
        case u'\\':
        case u'/':
          FBuffer.push_back(e);
          break;
        case u'b':
          FBuffer.push_back(0x08);
          break;
        case u'f':
          FBuffer.push_back(0x0C);
          break;
        case u'n':
          FBuffer.push_back(0x0A);
          break;
        case u'r':
          FBuffer.push_back(0x0D);
          break;
        case u't':
          FBuffer.push_back(0x09);
          break;
        case u'u':
          ReadHexEscape(p);
          break;
        case u'\n':
        case u'\r':
          throw EJsonParseError("Invalid character in string", p - 1);
        default:
          FBuffer.push_back(e);  // the backslash is dropped, the unit stays
          break;
      }
      runStart = p;
    }
    if (FEscaped) {
      FBuffer.append(FText + runStart, p - runStart);
    } else {
      FSpanStart = open + 1;
      FSpanLen = p - (open + 1);
    }
    FPos = p + 1;
  }

  // After "\u" at `p`: four hexadecimal digits give one unit. When the closing quotation mark
  // (or the end of the text) comes within the next four units, the "\u" is dropped and they
  // stay as text. A quotation mark after a backslash does not close the string, so it counts
  // as one of the four (and then fails as a digit).
  void ReadHexEscape(std::size_t& p) {
    if (p + 4 > FLen)
      return;
    for (std::size_t k = 0; k < 4; ++k) {
      if (FText[p + k] == u'"')
        return;
      if (FText[p + k] == u'\\')
        ++k;  // the unit after it is escaped
    }
    unsigned value = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char16_t u = FText[p + k];
      const int digit = JsonHexDigitValue(u);
      if (digit < 0) {
        if (u == u'\n' || u == u'\r')
          throw EJsonParseError("Invalid character in string", p + k);
        throw EJsonParseError(
            "Invalid hex number \"" + JsonUtf8Encode(std::u16string_view(&u, 1)) + "\"", p + k);
      }
      value = value * 16 + static_cast<unsigned>(digit);
    }
    FBuffer.push_back(static_cast<char16_t>(value));
    p += 4;
  }

  void TakeString(std::u16string& target) {
    if (FToken == tkIdent) {
      target.assign(FText + FStart, FPos - FStart);
    } else if (FEscaped) {
      target.assign(FBuffer);
    } else {
      target.assign(FText + FSpanStart, FSpanLen);
    }
  }

  TToken ReadNumber() {
    std::size_t p = FPos;
    FNegative = FText[p] == u'-';
    if (FNegative) {
      ++p;
      if (p >= FLen || !IsDigit(FText[p])) {
        FPos = FStart + 1;
        return tkInvalid;
      }
    }
    FIntStart = p;
    if (FText[p] == u'0') {
      ++p;  // a "0" ends the integer part
    } else {
      while (p < FLen && IsDigit(FText[p]))
        ++p;
    }
    FIntEnd = p;
    FFracStart = FFracEnd = p;
    FIsFloat = false;
    FExponent = 0;
    // The "." belongs to the number only when some unit follows it.
    if (p + 1 < FLen && FText[p] == u'.') {
      FIsFloat = true;
      FFracStart = ++p;
      while (p < FLen && IsDigit(FText[p]))
        ++p;
      FFracEnd = p;
    }
    if (p < FLen && (FText[p] == u'e' || FText[p] == u'E')) {
      FIsFloat = true;
      ++p;
      bool negativeExponent = false;
      if (p < FLen && (FText[p] == u'+' || FText[p] == u'-')) {
        negativeExponent = FText[p] == u'-';
        ++p;
      }
      if (p >= FLen || !IsDigit(FText[p])) {
        FPos = p;
        return tkInvalid;
      }
      int exponent = 0;
      while (p < FLen && IsDigit(FText[p])) {
        if (exponent < 308)
          exponent = exponent * 10 + (FText[p] - u'0');
        ++p;
      }
      if (exponent > 308)
        exponent = 308;
      FExponent = negativeExponent ? -exponent : exponent;
    }
    FPos = p;
    return tkNumber;
  }

  void ConvertNumber(TJsonValue& value) {
    const std::size_t digits = FIntEnd - FIntStart;
    if (!FIsFloat && digits <= 20) {
      std::uint64_t magnitude = 0;
      bool fits = true;
      for (std::size_t i = FIntStart; i < FIntEnd; ++i) {
        const unsigned digit = FText[i] - u'0';
        if (magnitude > (UINT64_MAX - digit) / 10) {
          fits = false;
          break;
        }
        magnitude = magnitude * 10 + digit;
      }
      if (fits) {
        if (!FNegative) {
          if (digits <= 9) {
            value.FKind = jkInt;
            value.FInt = static_cast<std::int32_t>(magnitude);
          } else if (magnitude <= static_cast<std::uint64_t>(INT64_MAX)) {
            value.FKind = jkLong;
            value.FLong = static_cast<std::int64_t>(magnitude);
          } else {
            value.FKind = jkULong;
            value.FULong = magnitude;
          }
          return;
        }
        if (magnitude < (1ull << 31)) {
          value.FKind = jkInt;
          value.FInt = -static_cast<std::int32_t>(magnitude);
          return;
        }
        if (magnitude <= static_cast<std::uint64_t>(INT64_MAX)) {
          value.FKind = jkLong;
          value.FLong = -static_cast<std::int64_t>(magnitude);
          return;
        }
      }
    }
    value.FKind = jkFloat;
    value.FFloat = FloatValue();
  }

  // The integer digits, at most 18 fraction digits, the capped exponent; correctly rounded.
  double FloatValue() {
    FNumber.clear();
    for (std::size_t i = FIntStart; i < FIntEnd; ++i)
      FNumber.push_back(static_cast<char>(FText[i]));
    const std::size_t fracEnd = std::min(FFracEnd, FFracStart + 18);
    if (fracEnd > FFracStart) {
      FNumber.push_back('.');
      for (std::size_t i = FFracStart; i < fracEnd; ++i) {
        FNumber.push_back(static_cast<char>(FText[i]));
      }
    }
    FNumber.push_back('e');
    FNumber.append(std::to_string(FExponent));
    double magnitude = 0;
    const auto result = std::from_chars(FNumber.data(), FNumber.data() + FNumber.size(), magnitude);
    if (result.ec == std::errc::result_out_of_range) {
      // Overflow or underflow: the power of ten of the leading digit tells which.
      long lead = 0;
      std::size_t i = FIntStart;
      while (i < FIntEnd && FText[i] == u'0')
        ++i;
      if (i < FIntEnd) {
        lead = static_cast<long>(FIntEnd - i) - 1;
      } else {
        std::size_t f = FFracStart;
        while (f < fracEnd && FText[f] == u'0')
          ++f;
        lead = -static_cast<long>(f - FFracStart) - 1;
      }
      magnitude = lead + FExponent > 0 ? kLargestFinite : 0.0;
    } else if (magnitude < kSmallestReadable) {
      // The writer would give such a value an exponent below -308, which the cap above would
      // read back as a different number; it reads as 0 instead, so text written from a parsed
      // document always reads back to the same document.
      magnitude = 0.0;
    }
    return FNegative ? -magnitude : magnitude;
  }

  const char16_t* FText;
  std::size_t FLen;
  std::size_t FPos = 0;
  std::size_t FStart = 0;
  TToken FToken = tkEof;

  // Last string token: a span of the text, or the decoded FBuffer when it held escapes.
  bool FEscaped = false;
  std::size_t FSpanStart = 0;
  std::size_t FSpanLen = 0;
  static constexpr std::size_t kTakeAtLeast = std::size_t{1} << 16;
  std::u16string* FOwned = nullptr;
  struct {
    TJsonNode* Node = nullptr;
    bool IsArray = false;
    std::size_t Index = 0;
    std::size_t Start = 0;
    std::size_t Length = 0;
  } FTaken;
  std::u16string FBuffer;

  // Last number token.
  bool FNegative = false;
  bool FIsFloat = false;
  std::size_t FIntStart = 0, FIntEnd = 0, FFracStart = 0, FFracEnd = 0;
  int FExponent = 0;
  std::string FNumber;
};

std::unique_ptr<TJsonNode> TJsonNode::Parse(const char16_t* S, std::size_t Len) {
  TJsonReader reader(S, Len);
  return reader.Run();
}

std::unique_ptr<TJsonNode> TJsonNode::ParseTaking(std::u16string&& S) {
  TJsonReader reader(S);
  return reader.Run();
}

}  // namespace vantorix
