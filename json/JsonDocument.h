// JSON document model (TJsonObject, TJsonArray, TJsonValue, TJsonValueRef), its reader
// (TJsonNode::Parse) and its two writers (TJsonNode::ToJSON), with the JSON error classes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "json/ClippedText.h"
#include "json/TextToInt.h"

namespace vantorix {

// Kinds of stored values, in this order. A JSON null read from text is stored as jkObject
// without an object (a "null object"); jkNone only exists while a value reference creates a
// member. Date kinds are not used by this system and are not represented.
enum TJsonKind : std::uint8_t {
  jkNone,
  jkString,
  jkInt,
  jkLong,
  jkULong,
  jkFloat,
  jkBool,
  jkArray,
  jkObject,
};

// Base of the JSON errors. what() is the UTF-8 message.
class EJsonError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A value read or converted as a kind it cannot be: "Cannot cast <stored> into <requested>".
class EJsonCastError : public EJsonError {
 public:
  using EJsonError::EJsonError;
};

// A syntax error found by TJsonNode::Parse: "<text> (<line>, <column>)". Line is always 1
// (line breaks are not counted); Column is one more than Position, the number of UTF-16 units
// consumed when the error arose.
class EJsonParseError : public EJsonError {
 public:
  EJsonParseError(const std::string& text, std::size_t position);
  int Line() const noexcept { return 1; }
  std::size_t Column() const noexcept { return FPosition + 1; }
  std::size_t Position() const noexcept { return FPosition; }

 private:
  std::size_t FPosition;
};

// An array index outside 0..Count-1: "List index out of bounds (<index>)".
class EListIndexError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// TJsonObject::ExtractArray on a member that holds an object: "Invalid class typecast".
class EInvalidCast : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TJsonArray;
class TJsonObject;
class TJsonWriter;
class TJsonReader;

// Abstract base of TJsonObject and TJsonArray. A node owns its whole subtree. Nodes are not
// thread-safe: a document is used by one thread at a time, and even reading can add members.
// Writing and destroying recurse once per level of nesting; the reader bounds parsed documents
// at 512 levels, and documents built through the API are as deep as their builder makes them.
// Operations that add text or nodes raise std::bad_alloc when memory runs out.
class TJsonNode {
 public:
  TJsonNode() = default;
  TJsonNode(const TJsonNode&) = delete;
  TJsonNode& operator=(const TJsonNode&) = delete;
  virtual ~TJsonNode();

  // Parses `Len` UTF-16 units at `S`. Gives a new root owned by the caller: a TJsonArray when
  // the first non-blank unit is "[", else a TJsonObject; nullptr for an empty or blank text.
  // Raises EJsonParseError on a syntax error or nesting beyond 512 levels (nothing is kept).
  static std::unique_ptr<TJsonNode> Parse(const char16_t* S, std::size_t Len);
  static std::unique_ptr<TJsonNode> Parse(std::u16string_view S) {
    return Parse(S.data(), S.size());
  }
  // The same for a text the caller gives up: the buffer of S may become the value of its
  // largest string (one without escapes, of 64 Ki units or more), which then costs no copy.
  // S is left empty when its buffer was taken, else unchanged (also on a raised error).
  static std::unique_ptr<TJsonNode> ParseTaking(std::u16string&& S);

  // Compact form (true) or line form (false: TAB indentation, LF after every line).
  std::u16string ToJSON(bool Compact) const;
  // The same text cut after at most MaxUnits units; the rest is only counted, so a document whose
  // text is far longer costs a walk of the document and MaxUnits units of text.
  TClippedText ToJSON(bool Compact, std::size_t MaxUnits) const;
  std::u16string ToString() const { return ToJSON(true); }

  // Writes this node through the writer; each node class supplies it.
  virtual void WriteJSON(TJsonWriter& Writer) const = 0;
};

// One stored value: a kind and its payload. Values of kind jkArray/jkObject own their node
// (which may be absent). Move-only.
class TJsonValue {
 public:
  TJsonValue() noexcept = default;
  TJsonValue(TJsonValue&&) noexcept = default;
  TJsonValue& operator=(TJsonValue&&) noexcept = default;
  ~TJsonValue() = default;

  TJsonKind Kind() const noexcept { return FKind; }

 private:
  friend class TJsonObject;
  friend class TJsonArray;
  friend class TJsonValueRef;
  friend class TJsonReader;
  friend class TJsonWriter;
  friend std::u16string JsonValueAsString(const TJsonValue& value);
  friend std::int32_t JsonValueAsInt(const TJsonValue& value);
  friend bool JsonValueAsBool(const TJsonValue& value);

  void Clear() noexcept {
    FNode.reset();
    FString.clear();
  }

  TJsonKind FKind = jkNone;
  union {
    std::int32_t FInt;
    std::int64_t FLong = 0;
    std::uint64_t FULong;
    double FFloat;
    bool FBool;
  };
  std::u16string FString;
  std::unique_ptr<TJsonNode> FNode;
};

// A member of an object: a name and its value.
struct TJsonMember {
  std::u16string Name;
  TJsonValue Value;
};

// Refers to one stored value (bound), or to a member an object does not have yet (unbound: it
// remembers the object and the name). Owns nothing; valid until the member or element list of
// the container it points into changes.
class TJsonValueRef {
 public:
  bool IsBound() const noexcept { return FValue != nullptr; }
  // The stored kind; jkNone when unbound.
  TJsonKind Kind() const noexcept { return FValue ? FValue->Kind() : jkNone; }

  // Unbound: "" and 0, nothing added. Bound: the conversion table (EJsonCastError for arrays
  // and objects, EConvertError for a string that is no number).
  std::u16string AsString() const;
  std::int32_t AsInt() const;

  // Unbound: appends the remembered member holding a new empty array/object and binds to it.
  // Bound: jkNone becomes a new empty array/object; jkArray/jkObject give their node (nullptr
  // for none); any other kind raises EJsonCastError. The result is owned by the document.
  TJsonArray* AsArray();
  TJsonObject* AsObject();

 private:
  friend class TJsonObject;
  friend class TJsonArray;
  explicit TJsonValueRef(TJsonValue& value) noexcept : FValue(&value) {}
  TJsonValueRef(TJsonObject& owner, std::u16string_view name) : FOwner(&owner), FName(name) {}
  // AsArray and AsObject for container class TNode of kind `kind`; defined in the .cpp.
  template <class TNode>
  TNode* AsContainer(TJsonKind kind, const char* kindName);

  TJsonValue* FValue = nullptr;
  TJsonObject* FOwner = nullptr;
  std::u16string FName;
};

// A position in one array, starting before the first element. The array must outlive it.
class TJsonArrayEnumerator {
 public:
  explicit TJsonArrayEnumerator(TJsonArray& array) noexcept : FArray(&array) {}
  // Advances and gives true while the position is below Count - 1 (Count read at each call).
  bool MoveNext() noexcept;
  TJsonValueRef Current() const;

 private:
  TJsonArray* FArray;
  std::int32_t FIndex = -1;
};

// An ordered list of values.
class TJsonArray final : public TJsonNode {
 public:
  TJsonArray() = default;
  ~TJsonArray() override;

  std::int32_t Count() const noexcept { return static_cast<std::int32_t>(FItems.size()); }
  // Raises EListIndexError when Index < 0 or Index >= Count.
  TJsonValueRef GetValue(std::int32_t Index);
  // Appends a new empty object (owned by the array) and returns it.
  TJsonObject* AddObject();
  TJsonArrayEnumerator GetEnumerator() noexcept { return TJsonArrayEnumerator(*this); }

  void WriteJSON(TJsonWriter& Writer) const override;

 private:
  friend class TJsonReader;
  friend class TJsonWriter;
  std::vector<TJsonValue> FItems;
};

// An ordered list of members; names compare exactly, unit by unit, and lookups see the first
// member with a name (duplicates stay where they are).
class TJsonObject final : public TJsonNode {
 public:
  TJsonObject() = default;
  ~TJsonObject() override;

  // The first member with that name through the conversion table; a missing name gives "", 0,
  // false and adds nothing. EJsonCastError for arrays/objects (null included), EConvertError
  // from GetInt for a string that is no number.
  std::u16string GetString(std::u16string_view Name) const;
  std::int32_t GetInt(std::u16string_view Name) const;
  bool GetBool(std::u16string_view Name) const;

  // Replace the first member's value in place (an owned node is destroyed), or append.
  void SetString(std::u16string_view Name, std::u16string_view Value);
  void SetInt(std::u16string_view Name, std::int32_t Value);
  void SetBool(std::u16string_view Name, bool Value);

  // A missing name appends a new empty array and returns it. jkArray gives its array (nullptr
  // for none), jkNone nullptr; any other kind raises EJsonCastError (kind, Array).
  TJsonArray* GetArray(std::u16string_view Name);
  // Removes the first member with that name and hands its array to the caller; nullptr for a
  // missing name, a member without an array, null or a scalar. A member holding an object is
  // removed too and raises EInvalidCast.
  std::unique_ptr<TJsonArray> ExtractArray(std::u16string_view Name);
  // Bound to the first member with that name, else unbound (nothing added yet).
  TJsonValueRef GetValue(std::u16string_view Name);

  void WriteJSON(TJsonWriter& Writer) const override;

 private:
  friend class TJsonReader;
  friend class TJsonWriter;
  friend class TJsonValueRef;
  TJsonValue* Find(std::u16string_view name) noexcept;
  const TJsonValue* Find(std::u16string_view name) const noexcept;
  TJsonValue& FindOrAppend(std::u16string_view name);

  std::vector<TJsonMember> FMembers;
};

}  // namespace vantorix
