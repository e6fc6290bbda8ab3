// The log and the client counter of vantorixd: both go to a text stream (standard output), in
// UTF-8, one line per line.
#pragma once

#include <ostream>
#include <string>

#include "app/ServerControls.h"

namespace vantorix {

// Window thread only. Writes each log entry as its lines (an entry holding CR LF, LF or CR
// line breaks becomes several lines; a break at its end adds no empty line), and the counter as the
// line "Clients connected: N" whenever its text changes. Flushes after every write so that a reader
// sees lines at once.
class TConsoleView final : public TLogControl, public TCounterLabel {
 public:
  // out must outlive the view.
  explicit TConsoleView(std::ostream& out);

  void AddEntry(const std::u16string& entry) override;
  void SetText(const std::u16string& text) override;

  // A line of the program's own ("listening on ..."), written as it is.
  void WriteLine(const std::string& line);

 private:
  std::ostream& FOut;
  std::u16string FCounter;
  bool FCounterShown = false;
};

}  // namespace vantorix
