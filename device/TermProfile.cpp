// Reading the terminal control profile.
#include "device/TermProfile.h"

#include <optional>
#include <string>

#include "json/JsonUtf8.h"

namespace vantorix {

namespace {

constexpr std::array<std::u16string_view, kTermOperationCount> kOperationNames = {
    u"SetCommPassword",  u"ConnectNet",         u"Disconnect",     u"EnableDevice",
    u"ReadAllUserIDs",   u"ReadAllTemplates",   u"GetAllUserInfo", u"GetCardNumber",
    u"GetUserTemplate",  u"SetCardNumber",      u"SetUserInfo",    u"SetUserTemplate",
    u"DeleteEnrollData", u"DeleteUserTemplate", u"RefreshData",    u"GetLastError",
};

constexpr std::u16string_view kClassKey = u"class";

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t';
}

std::u16string_view Trim(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && IsBlank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

bool HasBlank(std::u16string_view text) {
  for (char16_t c : text) {
    if (IsBlank(c)) {
      return true;
    }
  }
  return false;
}

std::optional<std::size_t> OperationIndex(std::u16string_view name) {
  for (std::size_t i = 0; i < kOperationNames.size(); ++i) {
    if (kOperationNames[i] == name) {
      return i;
    }
  }
  return std::nullopt;
}

[[noreturn]] void Fail(int line, const std::string& message) {
  throw ETermProfileError("line " + std::to_string(line) + ": " + message);
}

std::string Quoted(std::u16string_view text) {
  return "\"" + JsonUtf8Encode(text) + "\"";
}

}  // namespace

std::u16string_view TermOperationName(TTermOperation operation) {
  return kOperationNames[static_cast<std::size_t>(operation)];
}

TTermProfile ParseTermProfile(std::string_view text) {
  // Notepad and other Windows editors begin UTF-8 files with a byte order mark.
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    text.remove_prefix(kByteOrderMark.size());
  }
  const std::u16string decoded = JsonUtf8Decode(text);
  TTermProfile profile;
  // The line each name was set on, 0 while unset; the class is the last entry.
  std::array<int, kTermOperationCount + 1> setOn{};
  std::u16string_view rest = decoded;
  for (int line = 1; !rest.empty(); ++line) {
    const std::size_t end = rest.find(u'\n');
    std::u16string_view content = rest.substr(0, end);
    rest = end == std::u16string_view::npos ? std::u16string_view() : rest.substr(end + 1);
    if (const std::size_t comment = content.find(u'#'); comment != std::u16string_view::npos) {
      content = content.substr(0, comment);
    }
    if (!content.empty() && content.back() == u'\r') {
      content.remove_suffix(1);
    }
    content = Trim(content);
    if (content.empty()) {
      continue;
    }
    const std::size_t equals = content.find(u'=');
    if (equals == std::u16string_view::npos) {
      Fail(line, "expected \"name = value\", found " + Quoted(content));
    }
    const std::u16string_view name = Trim(content.substr(0, equals));
    const std::u16string_view value = Trim(content.substr(equals + 1));
    std::size_t slot = kTermOperationCount;
    if (name != kClassKey) {
      const std::optional<std::size_t> index = OperationIndex(name);
      if (!index) {
        Fail(line, Quoted(name) + " is neither \"class\" nor one of the sixteen operation names");
      }
      slot = *index;
    }
    if (value.empty()) {
      Fail(line, Quoted(name) + " has no value");
    }
    if (HasBlank(value)) {
      Fail(line, "the value of " + Quoted(name) + " holds a blank: " + Quoted(value));
    }
    if (setOn[slot] != 0) {
      Fail(line, Quoted(name) + " is already set on line " + std::to_string(setOn[slot]));
    }
    setOn[slot] = line;
    (slot == kTermOperationCount ? profile.controlClass : profile.methods[slot]) = value;
  }
  if (profile.controlClass.empty()) {
    throw ETermProfileError("no \"class\" line names the control");
  }
  for (std::size_t i = 0; i < kTermOperationCount; ++i) {
    if (profile.methods[i].empty()) {
      profile.methods[i] = kOperationNames[i];
    }
  }
  return profile;
}

}  // namespace vantorix
