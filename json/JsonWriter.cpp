// The two writers: compact form (no blanks) and line form (TAB indentation, LF after each line).
#include <string>

#include "json/JsonDocument.h"
#include "json/JsonInternal.h"

namespace vantorix {

// Walks a tree and appends its text to one buffer. Recursion depth is the nesting depth of the
// document, which the reader bounds at 512 levels.
class TJsonWriter {
 public:
  explicit TJsonWriter(bool compact) : FCompact(compact) {}

  void WriteObject(const TJsonObject& object) {
    const auto& members = object.FMembers;
    if (members.empty()) {
      FOut.append(u"{}");
      return;
    }
    FOut.push_back(u'{');
    if (FCompact) {
      bool first = true;
      for (const TJsonMember& member : members) {
        if (!first)
          FOut.push_back(u',');
        first = false;
        WriteString(member.Name);
        FOut.push_back(u':');
        WriteValue(member.Value);
      }
    } else {
      FOut.push_back(u'\n');
      ++FLevel;
      const std::size_t last = members.size() - 1;
      for (std::size_t i = 0; i <= last; ++i) {
        Indent();
        WriteString(members[i].Name);
        FOut.append(u": ");
        WriteValue(members[i].Value);
        if (i != last)
          FOut.push_back(u',');
        FOut.push_back(u'\n');
      }
      --FLevel;
      Indent();
    }
    FOut.push_back(u'}');
  }

  void WriteArray(const TJsonArray& array) {
    const auto& items = array.FItems;
    if (items.empty()) {
      FOut.append(u"[]");
      return;
    }
    FOut.push_back(u'[');
    if (FCompact) {
      bool first = true;
      for (const TJsonValue& item : items) {
        if (!first)
          FOut.push_back(u',');
        first = false;
        WriteValue(item);
      }
    } else {
      FOut.push_back(u'\n');
      ++FLevel;
      const std::size_t last = items.size() - 1;
      for (std::size_t i = 0; i <= last; ++i) {
        Indent();
        WriteValue(items[i]);
        if (i != last)
          FOut.push_back(u',');
        FOut.push_back(u'\n');
      }
      --FLevel;
      Indent();
    }
    FOut.push_back(u']');
  }

  void EndLine() { FOut.push_back(u'\n'); }
  std::u16string Take() { return std::move(FOut); }

 private:
  void Indent() { FOut.append(static_cast<std::size_t>(FLevel), u'\t'); }

  void WriteValue(const TJsonValue& value) {
    switch (value.FKind) {
      case jkNone:
        FOut.append(u"null");
        break;
      case jkString:
        WriteString(value.FString);
        break;
      case jkInt:
        AppendIntText(value.FInt, FOut);
        break;
      case jkLong:
        AppendIntText(value.FLong, FOut);
        break;
      case jkULong:
        AppendUIntText(value.FULong, FOut);
        break;
      case jkFloat:
        AppendFloatText(value.FFloat, FOut);
        break;
      case jkBool:
        FOut.append(value.FBool ? u"true" : u"false");
        break;
      case jkArray:
        if (value.FNode) {
          value.FNode->WriteJSON(*this);
        } else {
          FOut.append(u"[]");
        }
        break;
      case jkObject:
        if (value.FNode) {
          value.FNode->WriteJSON(*this);
        } else {
          FOut.append(u"null");
        }
        break;
    }
  }

  // Escapes '"', '\\' and U+0000..U+001F; everything else, "/" and non-ASCII included, is
  // copied unchanged. Runs without escapes are appended in one piece.
  void WriteString(const std::u16string& text) {
    FOut.push_back(u'"');
    const char16_t* p = text.data();
    const char16_t* const end = p + text.size();
    while (p < end) {
      const char16_t* run = p;
      p = ScanEscapable(p, end);
      FOut.append(run, static_cast<std::size_t>(p - run));
      if (p == end)
        break;
      const char16_t c = *p++;
      if (const char16_t* escape = JsonShortEscape(c)) {
        FOut.append(escape);
      } else {
        static constexpr char16_t kHex[] = u"0123456789abcdef";
        const char16_t unicode[] = {u'\\', u'u', u'0', u'0', kHex[c >> 4], kHex[c & 0xF]};
        FOut.append(unicode, 6);
      }
    }
    FOut.push_back(u'"');
  }

  bool FCompact;
  int FLevel = 0;
  std::u16string FOut;
};

void TJsonObject::WriteJSON(TJsonWriter& Writer) const {
  Writer.WriteObject(*this);
}
void TJsonArray::WriteJSON(TJsonWriter& Writer) const {
  Writer.WriteArray(*this);
}

std::u16string TJsonNode::ToJSON(bool Compact) const {
  TJsonWriter writer(Compact);
  WriteJSON(writer);
  if (!Compact)
    writer.EndLine();
  return writer.Take();
}

}  // namespace vantorix
