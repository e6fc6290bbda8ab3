// vantorixd's console output of the log and the client counter.
#include "app/ConsoleView.h"

#include <string_view>
#include <utility>

#include "websocket/Utf8.h"

namespace vantorix {

TConsoleView::TConsoleView(TConsoleSink sink) : FSink(std::move(sink)) {}

void TConsoleView::AddEntry(const std::u16string& entry) {
  std::string text;
  std::size_t start = 0;
  for (std::size_t i = 0; i < entry.size(); ++i) {
    if (entry[i] != u'\r' && entry[i] != u'\n') {
      continue;
    }
    text += Utf8EncodeString(std::u16string_view(entry).substr(start, i - start));
    text += '\n';
    if (entry[i] == u'\r' && i + 1 < entry.size() && entry[i + 1] == u'\n') {
      ++i;
    }
    start = i + 1;
  }
  // A break at the very end terminates the last line; it does not start an empty one.
  if (start < entry.size() || start == 0) {
    text += Utf8EncodeString(std::u16string_view(entry).substr(start));
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
