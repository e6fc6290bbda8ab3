// Status messages. The escaping is taken from the document writer itself, so a status message
// and a reply written by ToJSON can never disagree about how a string is escaped.
#include "app/StatusMessage.h"

#include "json/JsonDocument.h"

namespace vantorix {

std::u16string EscapeJsonString(std::u16string_view text) {
  // Written as {"s":"<escaped>"}: the escaped text sits between a fixed prefix and suffix.
  constexpr std::u16string_view kPrefix = u"{\"s\":\"";
  constexpr std::u16string_view kSuffix = u"\"}";
  TJsonObject holder;
  holder.SetString(u"s", text);
  const std::u16string written = holder.ToJSON(true);
  return written.substr(kPrefix.size(), written.size() - kPrefix.size() - kSuffix.size());
}

std::u16string StatusMessage(TStatusKind kind, std::u16string_view state,
                             std::u16string_view remark) {
  std::u16string message = kind == TStatusKind::Start ? u"{\"status\":\"start\", \"state\":\""
                                                      : u"{\"status\":\"finish\", \"state\":\"";
  message += EscapeJsonString(state);
  message += u"\", \"remarks\":\"";
  message += EscapeJsonString(remark);
  message += u"\"}";
  return message;
}

}  // namespace vantorix
