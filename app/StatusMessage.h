// The start and finish status messages broadcast around every device job.
#pragma once

#include <string>
#include <string_view>

namespace vantorix {

enum class TStatusKind { Start, Finish };

// {"status":"start", "state":"<state>", "remarks":"<remark>"} (or "finish"), with exactly that
// spacing. The state and the remark are escaped as the JSON writer escapes strings, so the
// message is always valid JSON and a state cannot add members to it; a text without a
// character that needs escaping is inserted as it is.
std::u16string StatusMessage(TStatusKind kind, std::u16string_view state,
                             std::u16string_view remark);

// The JSON writer's escaping of one string value, without the surrounding quotation marks.
std::u16string EscapeJsonString(std::u16string_view text);

}  // namespace vantorix
