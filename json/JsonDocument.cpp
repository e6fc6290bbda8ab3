// Document model: errors, the conversion table, object and array operations, value references
// and the number text shared with the writer.
#include "json/JsonDocument.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <utility>

#include "json/JsonInternal.h"
#include "json/JsonUtf8.h"

namespace vantorix {

EJsonParseError::EJsonParseError(const std::string& text, std::size_t position)
    : EJsonError(text + " (1, " + std::to_string(position + 1) + ")"), FPosition(position) {}

const char* JsonKindName(TJsonKind kind) noexcept {
  switch (kind) {
    case jkNone:
      return "null";
    case jkString:
      return "String";
    case jkInt:
      return "Integer";
    case jkLong:
      return "Long";
    case jkULong:
      return "ULong";
    case jkFloat:
      return "Float";
    case jkBool:
      return "Bool";
    case jkArray:
      return "Array";
    case jkObject:
      return "Object";
  }
  return "null";
}

void ThrowJsonCast(const char* from, const char* to) {
  throw EJsonCastError(std::string("Cannot cast ") + from + " into " + to);
}

// ---- bounded output ------------------------------------------------------------------------

void TBoundedText::Overflow(std::u16string_view text) {
  FText.append(text.substr(0, FRoom));
  FOmitted += text.size() - FRoom;
  FRoom = 0;
}

void TBoundedText::ReserveAfterLargePiece(std::size_t more) {
  // The string's own growth would size it for exactly this piece, and the next few units (the
  // brace after a large member) would then copy all of it into twice its size: tens of
  // megabytes of fresh pages faulted in. What follows a large piece is nearly always short, so
  // an eighth more is kept; pages never written are never touched.
  const std::size_t need = FText.size() + more;
  FText.reserve(need + need / 8);
}

TClippedText TBoundedText::Take() noexcept {
  // A high surrogate at the cut may have lost its low half; it goes with the rest.
  if (FOmitted != 0 && !FText.empty() && FText.back() >= 0xD800 && FText.back() <= 0xDBFF) {
    FText.pop_back();
    ++FOmitted;
  }
  return {std::move(FText), FOmitted};
}

TClippedText ClipText(std::u16string_view text, std::size_t maxUnits) {
  TBoundedText out(maxUnits);
  out.Append(text);
  return out.Take();
}

// ---- number text ---------------------------------------------------------------------------

namespace {

void AppendAscii(const char* begin, const char* end, std::u16string& out) {
  const std::size_t old = out.size();
  out.resize(old + static_cast<std::size_t>(end - begin));
  char16_t* dst = out.data() + old;
  while (begin < end)
    *dst++ = static_cast<unsigned char>(*begin++);
}

}  // namespace

void AppendIntText(std::int64_t value, std::u16string& out) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  AppendAscii(buffer, result.ptr, out);
}

void AppendUIntText(std::uint64_t value, std::u16string& out) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  AppendAscii(buffer, result.ptr, out);
}

void AppendFloatText(double value, std::u16string& out) {
  if (std::isnan(value)) {
    out.append(u"NAN");
    return;
  }
  if (std::isinf(value)) {
    out.append(value < 0 ? u"-INF" : u"INF");
    return;
  }
  if (value == 0) {
    out.push_back(u'0');  // negative zero too
    return;
  }
  // to_chars rounds the exact binary value correctly to 15 significant digits:
  // "d.dddddddddddddde[+-]x".
  char buffer[40];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value),
                                    std::chars_format::scientific, 14);
  const char* ePos = static_cast<const char*>(std::memchr(buffer, 'e', result.ptr - buffer));
  int exp10 = 0;
  std::from_chars(ePos + (ePos[1] == '+' ? 2 : 1), result.ptr, exp10);
  char digits[16];
  int n = 0;
  for (const char* p = buffer; p < ePos; ++p) {
    if (*p != '.')
      digits[n++] = *p;
  }
  while (n > 1 && digits[n - 1] == '0')
    --n;
  const int e = exp10 + 1;  // value = 0.d1d2...dn * 10^e

  char text[48];
  char* t = text;
  if (value < 0)
    *t++ = '-';
  if (e >= -3 && e <= 15) {
    if (e <= 0) {
      *t++ = '0';
      *t++ = '.';
      for (int k = 0; k < -e; ++k)
        *t++ = '0';
      for (int k = 0; k < n; ++k)
        *t++ = digits[k];
    } else {
      for (int k = 0; k < e; ++k)
        *t++ = k < n ? digits[k] : '0';
      if (n > e) {
        *t++ = '.';
        for (int k = e; k < n; ++k)
          *t++ = digits[k];
      }
    }
  } else {
    *t++ = digits[0];
    if (n > 1) {
      *t++ = '.';
      for (int k = 1; k < n; ++k)
        *t++ = digits[k];
    }
    *t++ = 'E';
    t = std::to_chars(t, text + sizeof text, e - 1).ptr;
  }
  AppendAscii(text, t, out);
}

// ---- conversion table ----------------------------------------------------------------------

std::int64_t TruncateToInt64(double value) noexcept {
  if (std::isnan(value) || value >= 0x1p63 || value < -0x1p63)
    return 0;
  return static_cast<std::int64_t>(value);
}

namespace {

std::int32_t LowBits(std::int64_t value) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

std::int32_t LowBits(std::uint64_t value) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

// The fallback of the integer rule: leading U+0020 blanks, an optional sign, digits with an
// optional "." and fraction (at least one digit in all), an optional exponent. Nothing else.
bool TryDecimalFloat(std::u16string_view text, double& value) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && text[i] == u' ')
    ++i;
  std::string ascii;
  ascii.reserve(n - i);
  if (i < n && (text[i] == u'-' || text[i] == u'+')) {
    if (text[i] == u'-')
      ascii.push_back('-');
    ++i;
  }
  int mantissaDigits = 0;
  auto takeDigits = [&]() {
    int count = 0;
    while (i < n && text[i] >= u'0' && text[i] <= u'9') {
      ascii.push_back(static_cast<char>(text[i++]));
      ++count;
    }
    return count;
  };
  mantissaDigits += takeDigits();
  if (i < n && text[i] == u'.') {
    ascii.push_back('.');
    ++i;
    mantissaDigits += takeDigits();
  }
  if (mantissaDigits == 0)
    return false;
  if (i < n && (text[i] == u'e' || text[i] == u'E')) {
    ascii.push_back('e');
    ++i;
    if (i < n && (text[i] == u'-' || text[i] == u'+'))
      ascii.push_back(static_cast<char>(text[i++]));
    if (takeDigits() == 0)
      return false;
  }
  if (i != n)
    return false;
  const auto result = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
  if (result.ec == std::errc::result_out_of_range) {
    value = 0;  // beyond any integer anyway, or below one: either way it reads as 0
  } else if (result.ec != std::errc() || result.ptr != ascii.data() + ascii.size()) {
    return false;
  }
  return true;
}

std::int32_t StringAsInt(const std::u16string& text) {
  if (const auto value = TryTextToInt(text))
    return *value;
  double number = 0;
  if (!TryDecimalFloat(text, number)) {
    throw EConvertError("'" + JsonUtf8Encode(text) + "' is not a valid floating point value");
  }
  return LowBits(TruncateToInt64(number));
}

}  // namespace

std::u16string JsonValueAsString(const TJsonValue& value) {
  std::u16string text;
  switch (value.FKind) {
    case jkNone:
      break;
    case jkString:
      text = value.FString;
      break;
    case jkInt:
      AppendIntText(value.FInt, text);
      break;
    case jkLong:
      AppendIntText(value.FLong, text);
      break;
    case jkULong:
      AppendUIntText(value.FULong, text);
      break;
    case jkFloat:
      AppendFloatText(value.FFloat, text);
      break;
    case jkBool:
      text = value.FBool ? u"true" : u"false";
      break;
    case jkArray:
    case jkObject:
      ThrowJsonCast(JsonKindName(value.FKind), "String");
  }
  return text;
}

std::int32_t JsonValueAsInt(const TJsonValue& value) {
  switch (value.FKind) {
    case jkNone:
      return 0;
    case jkString:
      return StringAsInt(value.FString);
    case jkInt:
      return value.FInt;
    case jkLong:
      return LowBits(value.FLong);
    case jkULong:
      return LowBits(value.FULong);
    case jkFloat:
      return LowBits(TruncateToInt64(value.FFloat));
    case jkBool:
      return value.FBool ? 1 : 0;
    case jkArray:
    case jkObject:
      break;
  }
  ThrowJsonCast(JsonKindName(value.FKind), "Integer");
}

bool JsonValueAsBool(const TJsonValue& value) {
  switch (value.FKind) {
    case jkNone:
      return false;
    case jkString:
      return value.FString == u"true";
    case jkInt:
      return value.FInt != 0;
    case jkLong:
      return value.FLong != 0;
    case jkULong:
      return value.FULong != 0;
    case jkFloat:
      return value.FFloat != 0;  // a NaN compares unequal, so it reads as true
    case jkBool:
      return value.FBool;
    case jkArray:
    case jkObject:
      break;
  }
  ThrowJsonCast(JsonKindName(value.FKind), "Bool");
}

// ---- nodes ---------------------------------------------------------------------------------

TJsonNode::~TJsonNode() = default;
TJsonArray::~TJsonArray() = default;
TJsonObject::~TJsonObject() = default;

TJsonValueRef TJsonArray::GetValue(std::int32_t Index) {
  if (Index < 0 || Index >= Count()) {
    throw EListIndexError("List index out of bounds (" + std::to_string(Index) + ")");
  }
  return TJsonValueRef(FItems[static_cast<std::size_t>(Index)]);
}

TJsonObject* TJsonArray::AddObject() {
  auto object = std::make_unique<TJsonObject>();
  TJsonObject* result = object.get();
  TJsonValue& value = FItems.emplace_back();
  value.FKind = jkObject;
  value.FNode = std::move(object);
  return result;
}

bool TJsonArrayEnumerator::MoveNext() noexcept {
  if (FIndex < FArray->Count() - 1) {
    ++FIndex;
    return true;
  }
  return false;
}

TJsonValueRef TJsonArrayEnumerator::Current() const {
  return FArray->GetValue(FIndex);
}

TJsonValue* TJsonObject::Find(std::u16string_view name) noexcept {
  for (TJsonMember& member : FMembers) {
    if (member.Name == name)
      return &member.Value;
  }
  return nullptr;
}

const TJsonValue* TJsonObject::Find(std::u16string_view name) const noexcept {
  for (const TJsonMember& member : FMembers) {
    if (member.Name == name)
      return &member.Value;
  }
  return nullptr;
}

TJsonValue& TJsonObject::FindOrAppend(std::u16string_view name) {
  if (TJsonValue* value = Find(name))
    return *value;
  TJsonMember& member = FMembers.emplace_back();
  member.Name.assign(name);
  return member.Value;
}

std::u16string TJsonObject::GetString(std::u16string_view Name) const {
  const TJsonValue* value = Find(Name);
  return value ? JsonValueAsString(*value) : std::u16string();
}

std::int32_t TJsonObject::GetInt(std::u16string_view Name) const {
  const TJsonValue* value = Find(Name);
  return value ? JsonValueAsInt(*value) : 0;
}

bool TJsonObject::GetBool(std::u16string_view Name) const {
  const TJsonValue* value = Find(Name);
  return value ? JsonValueAsBool(*value) : false;
}

void TJsonObject::SetString(std::u16string_view Name, std::u16string_view Value) {
  TJsonValue& value = FindOrAppend(Name);
  if (value.FKind == jkString && value.FString == Value)
    return;
  value.FNode.reset();
  value.FKind = jkString;
  value.FString.assign(Value);
}

void TJsonObject::SetInt(std::u16string_view Name, std::int32_t Value) {
  TJsonValue& value = FindOrAppend(Name);
  value.Clear();
  value.FKind = jkInt;
  value.FInt = Value;
}

void TJsonObject::SetBool(std::u16string_view Name, bool Value) {
  TJsonValue& value = FindOrAppend(Name);
  value.Clear();
  value.FKind = jkBool;
  value.FBool = Value;
}

TJsonArray* TJsonObject::GetArray(std::u16string_view Name) {
  if (TJsonValue* value = Find(Name)) {
    switch (value->FKind) {
      case jkArray:
        return static_cast<TJsonArray*>(value->FNode.get());
      case jkNone:
        return nullptr;
      default:
        ThrowJsonCast(JsonKindName(value->FKind), "Array");
    }
  }
  return TJsonValueRef(*this, Name).AsArray();
}

std::unique_ptr<TJsonArray> TJsonObject::ExtractArray(std::u16string_view Name) {
  for (auto it = FMembers.begin(); it != FMembers.end(); ++it) {
    if (it->Name != Name)
      continue;
    TJsonValue value = std::move(it->Value);
    FMembers.erase(it);
    if (value.FKind == jkArray) {
      return std::unique_ptr<TJsonArray>(static_cast<TJsonArray*>(value.FNode.release()));
    }
    if (value.FKind == jkObject && value.FNode)
      throw EInvalidCast("Invalid class typecast");
    return nullptr;
  }
  return nullptr;
}

TJsonValueRef TJsonObject::GetValue(std::u16string_view Name) {
  if (TJsonValue* value = Find(Name))
    return TJsonValueRef(*value);
  return TJsonValueRef(*this, Name);
}

// ---- value references ----------------------------------------------------------------------

std::u16string TJsonValueRef::AsString() const {
  return FValue ? JsonValueAsString(*FValue) : std::u16string();
}

std::int32_t TJsonValueRef::AsInt() const {
  return FValue ? JsonValueAsInt(*FValue) : 0;
}

template <class TNode>
TNode* TJsonValueRef::AsContainer(TJsonKind kind, const char* kindName) {
  if (!FValue) {
    TJsonMember& member = FOwner->FMembers.emplace_back();
    member.Name = FName;
    FValue = &member.Value;
  }
  if (FValue->FKind == jkNone) {
    auto node = std::make_unique<TNode>();
    TNode* result = node.get();
    FValue->FNode = std::move(node);
    FValue->FKind = kind;
    return result;
  }
  if (FValue->FKind == kind)
    return static_cast<TNode*>(FValue->FNode.get());
  ThrowJsonCast(JsonKindName(FValue->FKind), kindName);
}

TJsonArray* TJsonValueRef::AsArray() {
  return AsContainer<TJsonArray>(jkArray, "Array");
}

TJsonObject* TJsonValueRef::AsObject() {
  return AsContainer<TJsonObject>(jkObject, "Object");
}

}  // namespace vantorix
