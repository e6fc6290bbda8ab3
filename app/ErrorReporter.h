// Error message boxes: the one way a window shows the operator a failure that left one of its
// handlers, and the rule that turns a failure's message into the box text.
#pragma once

#include <string>
#include <string_view>

namespace vantorix {

// Shows one error message box with the stop icon and an OK button.
//
// Threading: window thread only. Ownership: the caller keeps the reporter alive while windows use
// it. Failure: none reported; a box that cannot be shown is not shown. ShowError returns once the
// operator has dismissed the box (a window's message loop may run meanwhile); recording
// implementations in tests return at once.
class TErrorReporter {
 public:
  virtual ~TErrorReporter() = default;
  virtual void ShowError(const std::u16string& text) = 0;
};

// The box text for a failure's message: the message with "." appended, unless the message is
// empty or its last character is "." or sorts below it (a blank, a line break, "!", ",", "-").
std::u16string ErrorBoxText(std::u16string_view message);

}  // namespace vantorix
