// The log and the client counter of vantorixd: both become UTF-8 text, one line per line, for
// standard output.
#pragma once

#include <functional>
#include <string>

#include "app/ServerControls.h"

namespace vantorix {

// Receives the view's text, one piece of whole lines at a time; it must not wait for the
// output (vantorixd hands the pieces to its console writer).
using TConsoleSink = std::function<void(std::string text)>;

// Window thread only. Writes each log entry as its lines (an entry holding CR LF, LF or CR
// line breaks becomes several lines; a break at its end adds no empty line), and the counter as the
// line "Clients connected: N" whenever its text changes. Each entry, counter line and line of the
// program's own goes to the sink as one piece, at once.
class TConsoleView final : public TLogControl, public TCounterLabel {
 public:
  explicit TConsoleView(TConsoleSink sink);

  void AddEntry(const std::u16string& entry) override;
  void SetText(const std::u16string& text) override;

  // A line of the program's own ("listening on ..."), written as it is.
  void WriteLine(const std::string& line);

 private:
  TConsoleSink FSink;
  std::u16string FCounter;
  bool FCounterShown = false;
};

}  // namespace vantorix
