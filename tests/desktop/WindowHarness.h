// The desktop window under test: TMainForm on a test port with recorded error boxes, its log read
// back line by line, and a port held by another socket.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/desktop/MainForm.h"
#include "tests/app/FormHarness.h"

namespace vantorix::test {

inline constexpr int kWindowWaitMs = 10000;

// A line of the window's log split into sender and message; a line that is not a log line's
// first line (the rest of a multi-line entry) has Prefixed false and the whole line as Message.
struct TShownLogLine {
  bool Prefixed = false;
  std::string Sender;
  std::string Message;
};

// The window started on startupPort ("0": a port the system chooses on every local address).
class TWindowHarness {
 public:
  explicit TWindowHarness(const std::u16string& startupPort = u"0");
  ~TWindowHarness();

  // The IPv4 port the listener is bound to; 0 when it is not listening.
  std::uint16_t Port();
  std::vector<std::string> RawLines() const;
  std::vector<TShownLogLine> Lines() const;
  // Messages of the prefixed lines, in order.
  std::vector<std::string> Messages() const;
  // Runs the event loop until pred holds or the time is up; gives pred's last value.
  static bool WaitFor(const std::function<bool()>& pred, int timeoutMs = kWindowWaitMs);
  // Waits until the log has at least n prefixed lines.
  bool WaitForMessages(std::size_t n);
  // Types text into the port field and clicks "Change".
  void Change(const QString& text);

  TRecordingReporter Errors;
  std::unique_ptr<TMainForm> Window;
};

// A socket listening on 0.0.0.0 and a free port, so that nobody else can listen there.
class TPortHolder {
 public:
  TPortHolder();
  ~TPortHolder();
  TPortHolder(const TPortHolder&) = delete;
  TPortHolder& operator=(const TPortHolder&) = delete;
  std::uint16_t Port() const { return FPort; }

 private:
  int FFd = -1;
  std::uint16_t FPort = 0;
};

}  // namespace vantorix::test
