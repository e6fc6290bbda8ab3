// vantorixd's console output of the log and the client counter.
#include "app/ConsoleView.h"

#include <string_view>
#include <utility>

#include "websocket/Utf8.h"

namespace vantorix {

TConsoleView::TConsoleView(TConsoleSink sink) : FSink(std::move(sink)) {}

void TConsoleView::AddEntry(const std::u16string& entry) {
  // Encoded whole, then the breaks are rewritten in the bytes: CR and LF encode as themselves
  // and no multi-byte sequence holds a byte below 0x80, so this is the same as encoding line by
  // line, with one allocation per entry instead of one per line.
  std::string text = Utf8EncodeString(entry);
  std::size_t out = 0;
  for (std::size_t in = 0; in < text.size(); ++in) {
    const char c = text[in];
    if (c == '\r') {
      text[out++] = '\n';
      if (in + 1 < text.size() && text[in + 1] == '\n') {
        ++in;
      }
    } else {
      text[out++] = c;
    }
  }
  text.resize(out);
  // A break at the very end terminates the last line; it does not start an empty one.
  if (text.empty() || text.back() != '\n') {
    text += '\n';
  }
  FSink(std::move(text));
}

void TConsoleView::SetText(const std::u16string& text) {
  if (FCounterShown && text == FCounter) {
    return;
  }
  FCounter = text;
  FCounterShown = true;
  FSink("Clients connected: " + Utf8EncodeString(text) + "\n");
}

void TConsoleView::WriteLine(const std::string& line) {
  FSink(line + "\n");
}

}  // namespace vantorix
