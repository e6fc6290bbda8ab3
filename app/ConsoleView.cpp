// vantorixd's console output of the log and the client counter.
#include "app/ConsoleView.h"

#include "websocket/Utf8.h"

namespace vantorix {

TConsoleView::TConsoleView(std::ostream& out) : FOut(out) {}

void TConsoleView::AddEntry(const std::u16string& entry) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < entry.size(); ++i) {
    if (entry[i] != u'\r' && entry[i] != u'\n') {
      continue;
    }
    FOut << Utf8EncodeString(std::u16string_view(entry).substr(start, i - start)) << '\n';
    if (entry[i] == u'\r' && i + 1 < entry.size() && entry[i + 1] == u'\n') {
      ++i;
    }
    start = i + 1;
  }
  // A break at the very end terminates the last line; it does not start an empty one.
  if (start < entry.size() || start == 0) {
    FOut << Utf8EncodeString(std::u16string_view(entry).substr(start)) << '\n';
  }
  FOut.flush();
}

void TConsoleView::SetText(const std::u16string& text) {
  if (FCounterShown && text == FCounter) {
    return;
  }
  FCounter = text;
  FCounterShown = true;
  FOut << "Clients connected: " << Utf8EncodeString(text) << '\n';
  FOut.flush();
}

void TConsoleView::WriteLine(const std::string& line) {
  FOut << line << '\n';
  FOut.flush();
}

}  // namespace vantorix
