// Benchmark: what the log of "getfromdevice" reads of a 3,000-user terminal does to the desktop
// program's window: time to append each entry, how long the window stops answering, memory, and
// how long scrolling to the top and repainting takes, after one read and after 50.
//
// Run it on a real display or under Xvfb (xvfb-run ./log_load_bench).
#include <QApplication>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QScrollBar>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/desktop/MainForm.h"
#include "bench/LargeTerminal.h"
#include "device/DeviceJobs.h"
#include "terminal/TerminalServer.h"

namespace {

using TClock = std::chrono::steady_clock;

constexpr int kReads = 50;

double ResidentMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::stod(line.substr(6)) / 1024.0;
    }
  }
  return 0;
}

double Ms(TClock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// Posts a probe to the GUI thread every 5 ms and keeps the longest wait before one ran: how long
// a click or a key press would have waited.
class TProbe {
 public:
  explicit TProbe(QObject& gui) : FGui(gui), FThread([this] { Run(); }) {}
  ~TProbe() {
    FStop = true;
    FThread.join();
  }
  double TakeWorstMs() { return FWorstUs.exchange(0) / 1000.0; }

 private:
  void Run() {
    while (!FStop) {
      const auto sent = TClock::now();
      QMetaObject::invokeMethod(
          &FGui,
          [this, sent] {
            const auto waited =
                std::chrono::duration_cast<std::chrono::microseconds>(TClock::now() - sent);
            long long worst = FWorstUs.load();
            while (waited.count() > worst &&
                   !FWorstUs.compare_exchange_weak(worst, waited.count())) {
            }
          },
          Qt::QueuedConnection);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  QObject& FGui;
  std::atomic<bool> FStop{false};
  std::atomic<long long> FWorstUs{0};
  std::thread FThread;
};

void Settle(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) {
    QApplication::processEvents(QEventLoop::AllEvents, 5);
  }
}

// Logs text from another thread, as a connection thread does, and runs the event loop until all
// of it is in the log and painted. Gives the milliseconds that took.
double LogAndWait(vantorix::TMainForm& form, const std::u16string& text) {
  std::atomic<bool> appended{false};
  const auto start = TClock::now();
  // The marker, queued behind the entry, runs once the entry's procedure has.
  std::thread worker([&form, &text, &appended] {
    form.wss().log(u"", text);
    form.WindowThread().Queue([&appended] { appended = true; });
  });
  while (!appended || form.LogControl().Pending()) {
    QApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  worker.join();
  form.logLines.viewport()->repaint();
  return Ms(TClock::now() - start);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);

  vantorix::TTerminalOptions options;
  options.port = 0;
  vantorix::TTerminalServer terminal(options);
  terminal.Edit(vantorix::bench::FillLargeTerminal);
  terminal.Start();

  vantorix::TMainFormSetup setup;
  setup.StartupPort = u"0";
  vantorix::TMainForm form(std::move(setup));
  form.show();
  Settle(200);
  const double baseMiB = ResidentMiB();

  // What one read logs: the users document in line form, as the dispatcher logs it.
  vantorix::TDeviceJobs jobs;
  const vantorix::TGetFromDeviceResult result = jobs.getFromDevice(
      u"127.0.0.1", vantorix::bench::Ascii(std::to_string(terminal.Port())), u"0");
  if (!result.document) {
    std::fprintf(stderr, "read failed\n");
    return 1;
  }
  const std::u16string entry = result.document->ToJSON(false);
  const auto lines = std::count(entry.begin(), entry.end(), u'\n');
  std::printf("one read logs %zu UTF-16 units in %lld lines\n", entry.size(),
              static_cast<long long>(lines));
  std::printf("%-6s %12s %14s %12s %10s %14s\n", "reads", "append ms", "worst wait ms", "RSS MiB",
              "lines", "scroll+paint");

  TProbe probe(form);
  std::vector<double> appends;
  for (int read = 1; read <= kReads; ++read) {
    appends.push_back(LogAndWait(form, entry));
    Settle(50);
    if (read == 1 || read == 10 || read == kReads) {
      const auto scrollStart = TClock::now();
      form.logLines.verticalScrollBar()->setValue(0);
      form.logLines.viewport()->repaint();
      form.logLines.verticalScrollBar()->setValue(form.logLines.verticalScrollBar()->maximum());
      form.logLines.viewport()->repaint();
      const double scrollMs = Ms(TClock::now() - scrollStart);
      Settle(50);
      std::printf("%-6d %12.1f %14.1f %12.1f %10d %14.1f\n", read, appends.back(),
                  probe.TakeWorstMs(), ResidentMiB() - baseMiB, form.logLines.blockCount(),
                  scrollMs);
    }
  }
  std::sort(appends.begin(), appends.end());
  std::printf("append over %d reads: median %.1f ms, worst %.1f ms\n", kReads,
              appends[appends.size() / 2], appends.back());
  // An echo of one long text logs a single line that long.
  {
    const std::u16string longLine(5'000'000, u'x');
    probe.TakeWorstMs();
    const double appendMs = LogAndWait(form, longLine);
    Settle(100);
    std::printf("one line of 5,000,000 characters: append and paint %.1f ms, worst wait %.1f ms\n",
                appendMs, probe.TakeWorstMs());
  }
  form.close();
  return 0;
}
