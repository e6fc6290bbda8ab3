// Readers of the entries of device commands, shared by the jobs and by the check a command
// passes before it reaches a terminal, so that the two can never disagree.
#include "device/DeviceRecords.h"

#include <string>

#include "json/TextToInt.h"

namespace vantorix {

TJsonObject& RecordAt(TJsonArray& array, std::int32_t index) {
  TJsonObject* record = array.GetValue(index).AsObject();
  if (record == nullptr) {
    throw EJsonCastError("Cannot cast null into Object");
  }
  return *record;
}

TUserRecord ReadUserRecord(TJsonObject& user) {
  TUserRecord record;
  record.enrollNumber = user.GetString(u"enrollNumber");
  record.enabled = user.GetBool(u"enabled");
  record.name = user.GetString(u"name");
  record.cardNumber = user.GetString(u"cardNumber");
  record.privilege = user.GetInt(u"privilege");
  record.fpCount = user.GetInt(u"fpCount");
  record.password = user.GetString(u"password");
  if (record.fpCount <= 0) {
    return record;
  }
  // Asking the model for a missing array would add an empty one to the record; a missing
  // member simply has no entries.
  TJsonValueRef member = user.GetValue(u"fpTemplates");
  TJsonArray* templates = member.IsBound() ? member.AsArray() : nullptr;
  for (std::int32_t j = 0; j < record.fpCount; ++j) {
    if (templates == nullptr) {
      // Missing, or an array-kind member without an array: position j is past its end.
      throw EListIndexError("List index out of bounds (" + std::to_string(j) + ")");
    }
    TJsonObject& fp = RecordAt(*templates, j);
    TTemplateRecord& entry = record.templates.emplace_back();
    entry.flag = fp.GetInt(u"flag");
    entry.fingerIndex = fp.GetInt(u"fingerIndex");
    entry.templateData = fp.GetString(u"templateData");
  }
  return record;
}

TDeletionEntry ReadDeletionEntry(TJsonObject& entry, const char16_t* argument) {
  TDeletionEntry deletion;
  deletion.enrollNumber = entry.GetString(u"enrollNumber");
  deletion.value = TextToInt(entry.GetString(argument));
  return deletion;
}

void CheckTerminalAddress(const std::u16string& port, const std::u16string& key) {
  TextToInt(key);
  TextToInt(port);
}

}  // namespace vantorix
