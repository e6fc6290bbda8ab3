// The two writers: compact form (no blanks) and line form (TAB indentation, LF after each line).
#include <string>
#include <string_view>

#include "json/JsonDocument.h"
#include "json/JsonInternal.h"

namespace vantorix {

// Walks a tree and appends its text to one buffer, which keeps at most `limit` units. Recursion
// depth is the nesting depth of the document, which the reader bounds at 512 levels.
class TJsonWriter {
 public:
  TJsonWriter(bool compact, std::size_t limit) : FCompact(compact), FOut(limit) {}

  void WriteObject(const TJsonObject& object) {
    const auto& members = object.FMembers;
    if (members.empty()) {
      FOut.Append(u"{}");
      return;
    }
    FOut.Push(u'{');
    if (FCompact) {
      bool first = true;
      for (const TJsonMember& member : members) {
        if (!first)
          FOut.Push(u',');
        first = false;
        WriteString(member.Name);
        FOut.Push(u':');
        WriteValue(member.Value);
      }
    } else {
      FOut.Push(u'\n');
      ++FLevel;
      const std::size_t last = members.size() - 1;
      for (std::size_t i = 0; i <= last; ++i) {
        Indent();
        WriteString(members[i].Name);
        FOut.Append(u": ");
        WriteValue(members[i].Value);
        if (i != last)
          FOut.Push(u',');
        FOut.Push(u'\n');
      }
      --FLevel;
      Indent();
    }
    FOut.Push(u'}');
  }

  void WriteArray(const TJsonArray& array) {
    const auto& items = array.FItems;
    if (items.empty()) {
      FOut.Append(u"[]");
      return;
    }
    FOut.Push(u'[');
    if (FCompact) {
      bool first = true;
      for (const TJsonValue& item : items) {
        if (!first)
          FOut.Push(u',');
        first = false;
        WriteValue(item);
      }
    } else {
      FOut.Push(u'\n');
      ++FLevel;
      const std::size_t last = items.size() - 1;
      for (std::size_t i = 0; i <= last; ++i) {
        Indent();
        WriteValue(items[i]);
        if (i != last)
          FOut.Push(u',');
        FOut.Push(u'\n');
      }
      --FLevel;
      Indent();
    }
    FOut.Push(u']');
  }

  void EndLine() { FOut.Push(u'\n'); }
  TClippedText Take() { return FOut.Take(); }

 private:
  void Indent() { FOut.Append(static_cast<std::size_t>(FLevel), u'\t'); }

  void WriteValue(const TJsonValue& value) {
    switch (value.FKind) {
      case jkNone:
        FOut.Append(u"null");
        break;
      case jkString:
        WriteString(value.FString);
        break;
      case jkInt:
        AppendIntText(value.FInt, Number());
        FOut.Append(FNumber);
        break;
      case jkLong:
        AppendIntText(value.FLong, Number());
        FOut.Append(FNumber);
        break;
      case jkULong:
        AppendUIntText(value.FULong, Number());
        FOut.Append(FNumber);
        break;
      case jkFloat:
        AppendFloatText(value.FFloat, Number());
        FOut.Append(FNumber);
        break;
      case jkBool:
        FOut.Append(value.FBool ? u"true" : u"false");
        break;
      case jkArray:
        if (value.FNode) {
          value.FNode->WriteJSON(*this);
        } else {
          FOut.Append(u"[]");
        }
        break;
      case jkObject:
        if (value.FNode) {
          value.FNode->WriteJSON(*this);
        } else {
          FOut.Append(u"null");
        }
        break;
    }
  }

  // Escapes '"', '\\' and U+0000..U+001F; everything else, "/" and non-ASCII included, is
  // copied unchanged. Runs without escapes are appended in one piece.
  void WriteString(const std::u16string& text) {
    FOut.Push(u'"');
    const char16_t* p = text.data();
    const char16_t* const end = p + text.size();
    while (p < end) {
      const char16_t* run = p;
      p = ScanEscapable(p, end);
      FOut.Append(std::u16string_view(run, static_cast<std::size_t>(p - run)));
      if (p == end)
        break;
      const char16_t c = *p++;
      if (const char16_t* escape = JsonShortEscape(c)) {
        FOut.Append(escape);
      } else {
        static constexpr char16_t kHex[] = u"0123456789abcdef";
        const char16_t unicode[] = {u'\\', u'u', u'0', u'0', kHex[c >> 4], kHex[c & 0xF]};
        FOut.Append(std::u16string_view(unicode, 6));
      }
    }
    FOut.Push(u'"');
  }

  // The number text buffer, emptied for each number; it keeps its capacity between numbers.
  std::u16string& Number() {
    FNumber.clear();
    return FNumber;
  }

  bool FCompact;
  int FLevel = 0;
  TBoundedText FOut;
  std::u16string FNumber;
};

void TJsonObject::WriteJSON(TJsonWriter& Writer) const {
  Writer.WriteObject(*this);
}
void TJsonArray::WriteJSON(TJsonWriter& Writer) const {
  Writer.WriteArray(*this);
}

std::u16string TJsonNode::ToJSON(bool Compact) const {
  return ToJSON(Compact, std::u16string::npos).Text;
}

TClippedText TJsonNode::ToJSON(bool Compact, std::size_t MaxUnits) const {
  TJsonWriter writer(Compact, MaxUnits);
  WriteJSON(writer);
  if (!Compact)
    writer.EndLine();
  return writer.Take();
}

}  // namespace vantorix
