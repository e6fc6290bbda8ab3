// Concurrency tests of the device jobs and the simulated terminal (run under ThreadSanitizer):
// jobs from several threads through one jobs object are serialised, and several controls can
// work on one simulated terminal at once.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "device/DeviceJobs.h"
#include "tests/device/DeviceTestSupport.h"

namespace vantorix {
namespace {

using testing_support::Narrow;
using testing_support::ParseArray;
using testing_support::TRecordedControl;
using testing_support::TRecordingControl;
using testing_support::TSimulator;
using testing_support::Utf16;

// Two threads run jobs through the one jobs object, each against its own terminal. The
// recording control is not thread-safe, so unserialised jobs show up as races; a job working on
// the other thread's connection shows up as foreign users in its read.
TEST(DeviceJobsConcurrencyTest, JobsFromTwoThreadsAreSerialised) {
  TSimulator a;
  TSimulator b;
  a.server->DelayAnswers(std::chrono::milliseconds(1));
  TRecordedControl control;
  TRecordingControl& calls = control.calls;
  TDeviceJobs jobs(std::move(control.owner));
  constexpr int kRounds = 15;
  std::atomic<int> wrong{0};
  auto work = [&](TSimulator& sim, const std::u16string& tag) {
    for (int i = 0; i < kRounds; ++i) {
      auto users = ParseArray(u"[{\"enrollNumber\":\"" + tag + Utf16(std::to_string(i)) +
                              u"\",\"name\":\"" + tag + u"\"}]");
      if (jobs.syncToDevice(u"127.0.0.1", sim.PortText(), u"0", users.get()) !=
          u"*Upload user successful!") {
        ++wrong;
      }
      TGetFromDeviceResult fetched = jobs.getFromDevice(u"127.0.0.1", sim.PortText(), u"0");
      if (!fetched.document) {
        ++wrong;
        continue;
      }
      TJsonArray* list = fetched.document->GetArray(u"users");
      if (list->Count() != i + 1) {
        ++wrong;
      }
      for (std::int32_t u = 0; u < list->Count(); ++u) {
        if (list->GetValue(u).AsObject()->GetString(u"name") != tag) {
          ++wrong;
        }
      }
    }
  };
  std::thread first(work, std::ref(a), u"A");
  std::thread second(work, std::ref(b), u"B");
  first.join();
  second.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_FALSE(jobs.TerminalConnected());
  // Every connect is followed by its own disconnect before the next connect.
  bool open = false;
  int connects = 0;
  for (const auto& call : calls.calls) {
    if (call.rfind("ConnectNet", 0) == 0) {
      EXPECT_FALSE(open) << "a job connected while another job's connection was open";
      open = true;
      ++connects;
    } else if (call == "Disconnect()") {
      open = false;
    }
  }
  EXPECT_EQ(connects, 4 * kRounds);
}

// Several jobs objects (several bridges) use one simulated terminal at the same time.
TEST(DeviceJobsConcurrencyTest, OneTerminalServesSeveralClientsAtOnce) {
  TSimulator sim;
  constexpr int kClients = 4;
  constexpr int kUsers = 20;
  std::atomic<int> failures{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      TDeviceJobs jobs;
      for (int i = 0; i < kUsers; ++i) {
        std::u16string number = Utf16(std::to_string(c * 1000 + i));
        auto users = ParseArray(u"[{\"enrollNumber\":\"" + number +
                                u"\",\"fpCount\":1,\"fpTemplates\":[{\"fingerIndex\":" +
                                Utf16(std::to_string(i % 10)) + u",\"templateData\":\"T\"}]}]");
        if (jobs.syncToDevice(u"127.0.0.1", sim.PortText(), u"0", users.get()) !=
            u"*Upload user successful!") {
          ++failures;
        }
        if (!jobs.getFromDevice(u"127.0.0.1", sim.PortText(), u"0").document) {
          ++failures;
        }
      }
    });
  }
  for (auto& client : clients) {
    client.join();
  }
  EXPECT_EQ(failures.load(), 0);
  TTerminalStore store = sim.server->Snapshot();
  EXPECT_EQ(store.Users().size(), static_cast<std::size_t>(kClients * kUsers));
  EXPECT_EQ(store.TemplateCount(), static_cast<std::size_t>(kClients * kUsers));
  EXPECT_TRUE(sim.WaitNoSessions());
}

}  // namespace
}  // namespace vantorix
