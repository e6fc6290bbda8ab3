// FormatJSON: a strict streaming reader that renders while it validates, with an explicit
// stack of open containers instead of recursion.
#include "json/FormatJson.h"

#include <exception>
#include <vector>

#include "json/JsonInternal.h"

namespace vantorix {

namespace {

constexpr std::size_t kMaxDepth = 512;

class TFormatter {
 public:
  TFormatter(std::u16string_view text, std::size_t limit) : FText(text), FOut(limit) {}

  // Gives false when the text is not one strict JSON value.
  bool Run() {
    SkipBlanks();
    for (;;) {
      if (!BeginValue())
        return false;
      // Close containers and move to the next member or element.
      for (;;) {
        if (FStack.empty()) {
          SkipBlanks();
          return FPos == FText.size();
        }
        SkipBlanks();
        if (FPos == FText.size())
          return false;
        const char16_t c = FText[FPos++];
        const char16_t open = FStack.back();
        if (c == u',') {
          FOut.Append(u",\r\n");
          Indent(FStack.size());
          if (open == u'{' && !BeginMember())
            return false;
          break;
        }
        if (c != (open == u'{' ? u'}' : u']'))
          return false;
        FStack.pop_back();
        FOut.Append(u"\r\n");
        Indent(FStack.size());
        FOut.Push(c);
      }
    }
  }

  TClippedText Take() { return FOut.Take(); }

 private:
  void SkipBlanks() {
    while (FPos < FText.size()) {
      const char16_t c = FText[FPos];
      if (c != u' ' && c != u'\t' && c != u'\n' && c != u'\r')
        break;
      ++FPos;
    }
  }

  void Indent(std::size_t level) { FOut.Append(level * 4, u' '); }

  // Renders a value at the reader's position (after blanks). An opened non-empty container is
  // pushed and its first member or element is begun; the caller then closes and continues.
  bool BeginValue() {
    for (;;) {
      SkipBlanks();
      if (FPos == FText.size())
        return false;
      const char16_t c = FText[FPos];
      if (c == u'{' || c == u'[') {
        if (FStack.size() >= kMaxDepth)
          return false;  // an empty one counts too
        ++FPos;
        const char16_t close = c == u'{' ? u'}' : u']';
        FOut.Push(c);
        FOut.Append(u"\r\n");
        SkipBlanks();
        if (FPos < FText.size() && FText[FPos] == close) {
          ++FPos;
          Indent(FStack.size());
          FOut.Push(close);
          return true;
        }
        FStack.push_back(c);
        Indent(FStack.size());
        if (c == u'{' && !BeginMember())
          return false;
        continue;  // the first member's value, or the first element
      }
      if (c == u'"')
        return String();
      if (c == u'-' || (c >= u'0' && c <= u'9'))
        return Number();
      return Literal(u"true") || Literal(u"false") || Literal(u"null");
    }
  }

  // A member name and its colon; the value follows.
  bool BeginMember() {
    SkipBlanks();
    if (FPos == FText.size() || FText[FPos] != u'"' || !String())
      return false;
    SkipBlanks();
    if (FPos == FText.size() || FText[FPos] != u':')
      return false;
    ++FPos;
    FOut.Append(u": ");
    return true;
  }

  bool Literal(std::u16string_view word) {
    if (FText.substr(FPos, word.size()) != word)
      return false;
    FPos += word.size();
    FOut.Append(word);
    return true;
  }

  static bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

  // RFC 8259 section 6; the text is copied exactly as written.
  bool Number() {
    const std::size_t start = FPos;
    const std::size_t n = FText.size();
    if (FText[FPos] == u'-')
      ++FPos;
    if (FPos == n || !IsDigit(FText[FPos]))
      return false;
    if (FText[FPos] == u'0') {
      ++FPos;
    } else {
      while (FPos < n && IsDigit(FText[FPos]))
        ++FPos;
    }
    if (FPos < n && FText[FPos] == u'.') {
      ++FPos;
      if (FPos == n || !IsDigit(FText[FPos]))
        return false;
      while (FPos < n && IsDigit(FText[FPos]))
        ++FPos;
    }
    if (FPos < n && (FText[FPos] == u'e' || FText[FPos] == u'E')) {
      ++FPos;
      if (FPos < n && (FText[FPos] == u'+' || FText[FPos] == u'-'))
        ++FPos;
      if (FPos == n || !IsDigit(FText[FPos]))
        return false;
      while (FPos < n && IsDigit(FText[FPos]))
        ++FPos;
    }
    FOut.Append(FText.substr(start, FPos - start));
    return true;
  }

  // RFC 8259 section 7: decodes every escape, rejects raw units below U+0020, and writes the
  // log's escaping (which also escapes "/" and leaves other control units raw).
  bool String() {
    const std::size_t n = FText.size();
    ++FPos;  // opening quotation mark
    FOut.Push(u'"');
    for (;;) {
      const std::size_t run = FPos;
      const char16_t* const begin = FText.data();
      FPos = static_cast<std::size_t>(ScanEscapableOrSlash(begin + FPos, begin + n) - begin);
      FOut.Append(FText.substr(run, FPos - run));
      if (FPos == n)
        return false;
      char16_t c = FText[FPos++];
      if (c == u'"')
        break;
      if (c < 0x20)
        return false;
      if (c == u'\\') {
        if (FPos == n)
          return false;
        const char16_t e = FText[FPos++];
        switch (e) {
          case u'"':
          case u'\\':
          case u'/':
            c = e;
            break;
          case u'b':
            c = 0x08;
            break;
          case u'f':
            c = 0x0C;
            break;
          case u'n':
            c = 0x0A;
            break;
          case u'r':
            c = 0x0D;
            break;
          case u't':
            c = 0x09;
            break;
          case u'u': {
            if (n - FPos < 4)
              return false;
            unsigned value = 0;
            for (int k = 0; k < 4; ++k) {
              const int digit = JsonHexDigitValue(FText[FPos++]);
              if (digit < 0)
                return false;
              value = value * 16 + static_cast<unsigned>(digit);
            }
            c = static_cast<char16_t>(value);
            break;
          }
          default:
            return false;
        }
      }
      WriteUnit(c);
    }
    FOut.Push(u'"');
    return true;
  }

  void WriteUnit(char16_t c) {
    if (c == u'/')
      FOut.Append(u"\\/");
    else if (const char16_t* escape = JsonShortEscape(c))
      FOut.Append(escape);
    else
      FOut.Push(c);
  }

  std::u16string_view FText;
  std::size_t FPos = 0;
  std::vector<char16_t> FStack;  // the opening bracket of each open container
  // Past its limit it only counts; the reader goes on to the end to validate, and since an
  // indentation costs a count rather than its spaces, the whole run is linear in the input.
  TBoundedText FOut;
};

}  // namespace

std::u16string FormatJSON(std::u16string_view json) noexcept {
  return FormatJSON(json, std::u16string::npos).Text;
}

TClippedText FormatJSON(std::u16string_view json, std::size_t maxUnits) noexcept {
  try {
    TFormatter formatter(json, maxUnits);
    if (!formatter.Run())
      return {};
    return formatter.Take();
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace vantorix
