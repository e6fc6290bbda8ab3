// The error box text rule.
#include "app/ErrorReporter.h"

namespace vantorix {

std::u16string ErrorBoxText(std::u16string_view message) {
  std::u16string text(message);
  // Compared as code units: a character that sorts below "." already ends the sentence the way
  // the message's author wanted.
  if (!text.empty() && text.back() > u'.') {
    text += u'.';
  }
  return text;
}

}  // namespace vantorix
