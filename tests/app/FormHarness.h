// Test harness for the server form: the form on a loopback listener with a test window-thread
// queue drained by the test thread, recording controls and WebSocket clients.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/ErrorReporter.h"
#include "app/ServerControls.h"
#include "app/ServerForm.h"
#include "app/WindowThread.h"
#include "tests/websocket/support/WsTestClient.h"

namespace vantorix::test {

// A point in local time, for the fixed clocks the tests give the form.
std::chrono::system_clock::time_point LocalTime(int year, int month, int day, int hour, int minute,
                                                int second);

inline constexpr int kWaitMs = 5000;

std::u16string U16(const std::string& utf8);
std::string U8(const std::u16string& text);

// Records what the form shows; window thread only.
class TRecordingControls final : public TLogControl, public TCounterLabel {
 public:
  void AddEntry(const std::u16string& entry) override {
    Entries.push_back(entry);
    Shown.push_back(entry);
  }
  void SetText(const std::u16string& text) override {
    Counts.push_back(text);
    Shown.push_back(u"count " + text);
  }

  std::vector<std::u16string> Entries;
  std::vector<std::u16string> Counts;
  // Entries and counts in the order they were shown, counts as "count N".
  std::vector<std::u16string> Shown;
};

// Records the error boxes a window would show; window thread only.
class TRecordingReporter final : public TErrorReporter {
 public:
  void ShowError(const std::u16string& text) override { Boxes.push_back(text); }
  std::vector<std::u16string> Boxes;
};

// The form listening on 127.0.0.1 and a free port; log lines carry a fixed time.
class TFormHarness {
 public:
  static constexpr const char16_t* kNow = u"2024-03-05 14:07:09: ";

  // makeDeviceJobs and socketApi go to the form (defaults: the network control, real sockets).
  explicit TFormHarness(TServerForm::TDeviceJobsFactory makeDeviceJobs = {},
                        TSocketApi& socketApi = PlatformSocketApi());
  // Closes the form, runs what it queued, then destroys it.
  ~TFormHarness();

  std::uint16_t Port() const { return FPort; }
  // A client that has completed its opening handshake, once the server has marked its
  // connection as upgraded (the 101 reaches the client a moment before that).
  std::unique_ptr<TWsTestClient> Connect();
  // Whether the connection from that client port is listed and its upgrade answered.
  bool Upgraded(std::uint16_t peerPort) const;

  // Runs queued procedures until pred holds or timeoutMs passes; gives pred's last value.
  bool DrainUntil(const std::function<bool()>& pred, int timeoutMs = kWaitMs);
  // Log messages so far without their "[sender] - time: : " prefix; sender kept when asked.
  std::vector<std::string> Messages(bool withSender = false) const;
  // Drains until the log holds at least n entries.
  bool WaitForEntries(std::size_t n, int timeoutMs = kWaitMs);

  TMainThreadQueue Window;
  TRecordingControls Controls;
  std::unique_ptr<TServerForm> Form;

 private:
  std::uint16_t FPort = 0;
};

}  // namespace vantorix::test
