// The entries that device commands carry, read the way the jobs use them: user records with
// their templates, deletion entries, and a terminal's port and key texts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "json/JsonDocument.h"

namespace vantorix {

// Every reader here is a pure function of its arguments: no state, callable from any thread
// (one thread at a time per document, as the JSON model requires). None changes the document.
// Failure: the JSON model's errors (EJsonCastError, EConvertError, EListIndexError) for an entry
// that cannot be read; the readers never catch anything.

// The element at index taken as an object. A JSON null element raises EJsonCastError
// ("Cannot cast null into Object") instead of giving no object; other kinds raise the model's
// cast error, an index outside the array EListIndexError.
TJsonObject& RecordAt(TJsonArray& array, std::int32_t index);

struct TTemplateRecord {
  std::int32_t flag = 0;
  std::int32_t fingerIndex = 0;
  std::u16string templateData;
};

// A user record as the write stores it.
struct TUserRecord {
  std::u16string enrollNumber;
  bool enabled = false;
  std::u16string name;
  std::u16string cardNumber;
  std::int32_t privilege = 0;
  std::int32_t fpCount = 0;
  std::u16string password;
  // Entries 0 to fpCount - 1 of "fpTemplates"; none when fpCount is 0 or negative.
  std::vector<TTemplateRecord> templates;
};

// Reads, in this order, "enrollNumber" (text), "enabled" (boolean), "name", "cardNumber"
// (texts), "privilege", "fpCount" (integers), "password" (text), then for each position j below
// fpCount the entry j of "fpTemplates" as an object with "flag", "fingerIndex" (integers) and
// "templateData" (text). Missing members read as empty text, 0 or false. Raises EListIndexError
// "List index out of bounds (j)" for the first position past the templates (a missing
// "fpTemplates" has none).
TUserRecord ReadUserRecord(TJsonObject& user);

// A deletion entry: the user and the backup number or finger index.
struct TDeletionEntry {
  std::u16string enrollNumber;
  std::int32_t value = 0;
};

// Reads "enrollNumber" and then the member `argument` ("deleteOption" or "fingerIndex") as text,
// and converts the latter with the text-to-integer conversion (EConvertError when it does not
// convert, a missing member included).
TDeletionEntry ReadDeletionEntry(TJsonObject& entry, const char16_t* argument);

// Converts a terminal's key and then its port text as connecting does (EConvertError for a text
// that does not convert), so that a command can be refused before it reaches any terminal.
void CheckTerminalAddress(const std::u16string& port, const std::u16string& key);

}  // namespace vantorix
