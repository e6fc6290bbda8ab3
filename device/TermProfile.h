// The terminal control profile: which COM class a site's terminal jobs use, and the names that
// class gives the sixteen operations of the terminal control.
#pragma once

#include <array>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vantorix {

// The sixteen operations of TTermControl, in the order of its declaration.
enum class TTermOperation : std::size_t {
  SetCommPassword,
  ConnectNet,
  Disconnect,
  EnableDevice,
  ReadAllUserIDs,
  ReadAllTemplates,
  GetAllUserInfo,
  GetCardNumber,
  GetUserTemplate,
  SetCardNumber,
  SetUserInfo,
  SetUserTemplate,
  DeleteEnrollData,
  DeleteUserTemplate,
  RefreshData,
  GetLastError,
};
inline constexpr std::size_t kTermOperationCount = 16;

// The operation's name as TTermControl spells it ("ConnectNet").
std::u16string_view TermOperationName(TTermOperation operation);

struct TTermProfile {
  // The control's ProgID ("Site.Terminal") or its CLSID in braces.
  std::u16string controlClass;
  // The control's method for each operation, indexed by TTermOperation; the operation's own name
  // where the profile names none.
  std::array<std::u16string, kTermOperationCount> methods;

  const std::u16string& Method(TTermOperation operation) const {
    return methods[static_cast<std::size_t>(operation)];
  }
};

// A profile that cannot be used as written; what() is the UTF-8 message, "line N: ..." for a
// line at fault.
class ETermProfileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads a profile from its UTF-8 text (a byte order mark, CR LF line ends and blank lines
// allowed). One setting per line, "name = value", where "#" starts a comment that runs to the
// end of the line. "class" names the control (required); each of the sixteen operation names may
// name the control's method for that operation. Names and values hold no blanks.
// Raises ETermProfileError for a line that is not a setting, an unknown name, a name given twice,
// an empty value or a missing "class". Pure function, any thread.
TTermProfile ParseTermProfile(std::string_view text);

}  // namespace vantorix
