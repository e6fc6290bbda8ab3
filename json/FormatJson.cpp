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
  explicit TFormatter(std::u16string_view text) : FText(text) {}

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
          FOut.append(u",\r\n");
          Indent(FStack.size());
          if (open == u'{' && !BeginMember())
            return false;
          break;
        }
        if (c != (open == u'{' ? u'}' : u']'))
          return false;
        FStack.pop_back();
        FOut.append(u"\r\n");
        Indent(FStack.size());
        FOut.push_back(c);
      }
    }
  }

  std::u16string Take() { return std::move(FOut); }

 private:
  void SkipBlanks() {
    while (FPos < FText.size()) {
      const char16_t c = FText[FPos];
      if (c != u' ' && c != u'\t' && c != u'\n' && c != u'\r')
        break;
      ++FPos;
    }
  }

  void Indent(std::size_t level) { FOut.append(level * 4, u' '); }

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
        FOut.push_back(c);
        FOut.append(u"\r\n");
        SkipBlanks();
        if (FPos < FText.size() && FText[FPos] == close) {
          ++FPos;
          Indent(FStack.size());
          FOut.push_back(close);
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
    FOut.append(u": ");
    return true;
  }

  bool Literal(std::u16string_view word) {
    if (FText.substr(FPos, word.size()) != word)
      return false;
    FPos += word.size();
    FOut.append(word);
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
    FOut.append(FText.substr(start, FPos - start));
    return true;
  }

  // RFC 8259 section 7: decodes every escape, rejects raw units below U+0020, and writes the
  // log's escaping (which also escapes "/" and leaves other control units raw).
  bool String() {
    const std::size_t n = FText.size();
    ++FPos;  // opening quotation mark
    FOut.push_back(u'"');
    for (;;) {
      const std::size_t run = FPos;
      while (FPos < n) {
        const char16_t c = FText[FPos];
        if (c == u'"' || c == u'\\' || c == u'/' || c < 0x20)
          break;
        ++FPos;
      }
      FOut.append(FText.substr(run, FPos - run));
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
    FOut.push_back(u'"');
    return true;
  }

  void WriteUnit(char16_t c) {
    if (c == u'/')
      FOut.append(u"\\/");
    else if (const char16_t* escape = JsonShortEscape(c))
      FOut.append(escape);
    else
      FOut.push_back(c);
  }

  std::u16string_view FText;
  std::size_t FPos = 0;
  std::vector<char16_t> FStack;  // the opening bracket of each open container
  std::u16string FOut;
};

}  // namespace

std::u16string FormatJSON(std::u16string_view json) noexcept {
  try {
    TFormatter formatter(json);
    if (!formatter.Run())
      return std::u16string();
    return formatter.Take();
  } catch (const std::exception&) {
    return std::u16string();
  }
}

}  // namespace vantorix
