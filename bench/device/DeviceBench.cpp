// Benchmark: reading and writing a terminal of 3,000 users with 3 templates each through our
// network terminal control over loopback, as device jobs (with the JSON users document) and as
// bare control calls (the floor the jobs are compared with).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bench/LargeTerminal.h"
#include "device/DeviceJobs.h"
#include "device/NetTermControl.h"
#include "terminal/TerminalServer.h"

namespace {

using vantorix::TTerminalServer;
using vantorix::TTerminalStore;
using TClock = std::chrono::steady_clock;
using vantorix::bench::Ascii;
using vantorix::bench::kTemplateChars;
using vantorix::bench::kTemplatesPerUser;
using vantorix::bench::kUsers;

constexpr int kRuns = 7;

std::unique_ptr<TTerminalServer> StartTerminal() {
  vantorix::TTerminalOptions options;
  options.port = 0;
  auto server = std::make_unique<TTerminalServer>(options);
  server->Start();
  return server;
}

struct TFigure {
  double median = 0;
  double best = 0;
};

// Runs body kRuns times after setup: median and best wall time in milliseconds. The best run
// is the better estimate on a machine that other work shares.
TFigure Time(const std::function<void()>& setup, const std::function<void()>& body) {
  std::vector<double> runs;
  for (int i = 0; i < kRuns; ++i) {
    setup();
    auto start = TClock::now();
    body();
    runs.push_back(std::chrono::duration<double, std::milli>(TClock::now() - start).count());
  }
  std::sort(runs.begin(), runs.end());
  return {runs[runs.size() / 2], runs.front()};
}

}  // namespace

int main() {
  auto source = StartTerminal();
  source->Edit(vantorix::bench::FillLargeTerminal);
  auto target = StartTerminal();
  const std::u16string ip = u"127.0.0.1";
  const std::u16string sourcePort = Ascii(std::to_string(source->Port()));
  const std::u16string targetPort = Ascii(std::to_string(target->Port()));
  vantorix::TDeviceJobs jobs;

  std::unique_ptr<vantorix::TJsonObject> document;
  TFigure readJob =
      Time([] {}, [&] { document = jobs.getFromDevice(ip, sourcePort, u"0").document; });
  TFigure toText = Time([] {}, [&] { (void)document->ToJSON(true); });
  std::unique_ptr<vantorix::TJsonArray> users = document->ExtractArray(u"users");
  auto clearTarget = [&] { target->Edit([](TTerminalStore& store) { store = {}; }); };
  std::u16string outcome;
  TFigure writeJob =
      Time(clearTarget, [&] { outcome = jobs.syncToDevice(ip, targetPort, u"0", users.get()); });
  bool same = target->Snapshot() == source->Snapshot();

  // The same transfers as bare control calls, without the JSON document.
  vantorix::TNetTermControl control;
  struct TRow {
    std::u16string number, name, password, card;
    std::int32_t privilege = 0;
    vantorix::TComBool enabled = 0;
    std::vector<std::pair<std::int32_t, std::u16string>> fingers;
  };
  std::vector<TRow> rows;
  TFigure readBare = Time([] {},
                          [&] {
                            rows.clear();
                            control.ConnectNet(ip, source->Port());
                            control.EnableDevice(1, 0);
                            control.ReadAllUserIDs(1);
                            control.ReadAllTemplates(1);
                            TRow row;
                            while (control.GetAllUserInfo(1, row.number, row.name, row.password,
                                                          row.privilege, row.enabled)) {
                              control.GetCardNumber(row.card);
                              row.fingers.clear();
                              for (std::int32_t f = 0; f < 10; ++f) {
                                std::int32_t flag = 0, length = 0;
                                std::u16string data;
                                if (control.GetUserTemplate(1, row.number, f, flag, data, length)) {
                                  row.fingers.emplace_back(f, std::move(data));
                                }
                              }
                              rows.push_back(row);
                            }
                            control.EnableDevice(1, -1);
                            control.Disconnect();
                          });
  TFigure writeBare = Time(clearTarget, [&] {
    control.ConnectNet(ip, target->Port());
    control.EnableDevice(1, 0);
    for (const TRow& row : rows) {
      if (!row.card.empty()) {
        control.SetCardNumber(row.card);
      }
      if (control.SetUserInfo(1, row.number, row.name, row.password, row.privilege, row.enabled)) {
        for (const auto& [finger, data] : row.fingers) {
          control.SetUserTemplate(1, row.number, finger, 1, data);
        }
      }
    }
    control.RefreshData(1);
    control.EnableDevice(1, -1);
    control.Disconnect();
  });

  std::printf("Terminal of %d users x %d templates (%d chars each), loopback, %d runs\n", kUsers,
              kTemplatesPerUser, kTemplateChars, kRuns);
  std::printf("%-40s %22s %22s\n", "", "jobs ms (median/best)", "bare control ms");
  auto row = [](const char* what, TFigure jobsFigure, const TFigure* bare) {
    std::printf("%-40s %13.1f / %6.1f", what, jobsFigure.median, jobsFigure.best);
    if (bare != nullptr) {
      std::printf(" %13.1f / %6.1f", bare->median, bare->best);
    }
    std::printf("\n");
  };
  row("read all users with templates", readJob, &readBare);
  row("write all users with templates", writeJob, &writeBare);
  row("users document to compact JSON text", toText, nullptr);
  std::printf("write outcome: %s, target equals source: %s\n",
              outcome == u"*Upload user successful!" ? "successful" : "FAILED",
              same ? "yes" : "NO");
  return same ? 0 : 1;
}
