// The two window controls the server form writes to: the log and the client counter label.
// Front-ends supply them (a memo and a label in the desktop program, standard output in vantorixd).
#pragma once

#include <string>

namespace vantorix {

// The operator log: an ordered list of entries. Window thread only.
class TLogControl {
 public:
  virtual ~TLogControl() = default;
  // Appends one entry; an entry may hold line breaks (CR LF, LF or CR) and stays one entry.
  virtual void AddEntry(const std::u16string& entry) = 0;
};

// The client counter label. Window thread only.
class TCounterLabel {
 public:
  virtual ~TCounterLabel() = default;
  // Replaces the label's text.
  virtual void SetText(const std::u16string& text) = 0;
};

}  // namespace vantorix
