// Concurrency tests of the device jobs and the simulated terminal (run under ThreadSanitizer):
// jobs through one shared control are serialised, jobs to different terminals are not, jobs to
// one terminal take turns in arrival order, a shutdown stops them between users, and several
// controls can work on one simulated terminal at once.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

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

// Waits until cond holds (true) or 10 s passed (false).
bool Until(const std::function<bool()>& cond) {
  for (int i = 0; i < 2000 && !cond(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return cond();
}

// "[{"enrollNumber":"<first>",...}, ...]": count users numbered from first, each with the
// templates of fingers 0 to fingers - 1.
std::unique_ptr<TJsonArray> Users(int first, int count, int fingers) {
  std::u16string text = u"[";
  for (int i = 0; i < count; ++i) {
    text += i > 0 ? u"," : u"";
    text += u"{\"enrollNumber\":\"" + Utf16(std::to_string(first + i)) + u"\",\"fpCount\":" +
            Utf16(std::to_string(fingers)) + u",\"fpTemplates\":[";
    for (int f = 0; f < fingers; ++f) {
      text += (f > 0 ? u"," : u"") + std::u16string(u"{\"fingerIndex\":") +
              Utf16(std::to_string(f)) + u",\"templateData\":\"T\"}";
    }
    text += u"]}";
  }
  return ParseArray(text + u"]");
}

std::vector<std::string> StoredIds(const TSimulator& sim) {
  std::vector<std::string> ids;
  const TTerminalStore store = sim.server->Snapshot();
  for (const TStoredUser& user : store.Users()) {
    ids.push_back(Narrow(user.info.enrollNumber));
  }
  return ids;
}

// A slow terminal syncs while another terminal is read: the read does not wait for it. Three
// more jobs for the slow terminal, asked for one after another, run after it in that order.
// Each terminal in use has a control of its own, dropped once its last job is done.
TEST(DeviceJobsConcurrencyTest, TerminalsDoNotWaitForEachOtherAndOneTerminalsJobsKeepTheirOrder) {
  TSimulator slow;
  TSimulator healthy;
  slow.server->DelayAnswers(std::chrono::milliseconds(40));
  std::atomic<int> made{0};
  TDeviceJobs jobs([&made] {
    ++made;
    return std::make_unique<TNetTermControl>();
  });
  std::mutex lock;
  std::vector<std::string> finished;
  auto sync = [&](std::string name, int first, int count) {
    return std::async(std::launch::async, [&, name, first, count] {
      auto users = Users(first, count, 0);
      const std::u16string result =
          jobs.syncToDevice(u"127.0.0.1", slow.PortText(), u"0", users.get());
      std::lock_guard guard(lock);
      finished.push_back(name + ": " + Narrow(result));
    });
  };
  auto longSync = sync("long", 100, 25);
  ASSERT_TRUE(Until([&] { return slow.server->RequestCount() > 3; }));
  const TGetFromDeviceResult read = jobs.getFromDevice(u"127.0.0.1", healthy.PortText(), u"0");
  EXPECT_TRUE(read.document);
  {
    std::lock_guard guard(lock);
    EXPECT_TRUE(finished.empty()) << "the read waited for the other terminal's sync";
  }
  EXPECT_EQ(jobs.TerminalsInUse(), 1u) << "the healthy terminal's control was dropped";
  std::vector<std::future<void>> queued;
  for (int i = 0; i < 3; ++i) {
    queued.push_back(sync("queued" + std::to_string(i), 200 + i, 1));
    ASSERT_TRUE(Until([&] { return jobs.JobsInLine() == static_cast<std::size_t>(i) + 2; }));
  }
  longSync.get();
  for (auto& job : queued) {
    job.get();
  }
  EXPECT_EQ(finished,
            (std::vector<std::string>{
                "long: *Upload user successful!", "queued0: *Upload user successful!",
                "queued1: *Upload user successful!", "queued2: *Upload user successful!"}));
  const std::vector<std::string> ids = StoredIds(slow);
  ASSERT_EQ(ids.size(), 28u);
  EXPECT_EQ(std::vector<std::string>(ids.end() - 3, ids.end()),
            (std::vector<std::string>{"200", "201", "202"}));
  EXPECT_EQ(made, 2) << "one control per terminal, kept while the slow one had jobs in line";
  EXPECT_EQ(jobs.TerminalsInUse(), 0u);
  jobs.getFromDevice(u"127.0.0.1", slow.PortText(), u"0");
  EXPECT_EQ(made, 3) << "the idle terminal's control was dropped and a new one made";
}

// A shutdown stops a long sync between two users: the terminal keeps whole users only, is
// enabled again and disconnected; a job waiting behind it, and every job after the shutdown,
// give their interruption text without touching a terminal.
TEST(DeviceJobsConcurrencyTest, InterruptedSyncStopsBetweenUsersAndLaterJobsDoNotStart) {
  TSimulator slow;
  slow.server->DelayAnswers(std::chrono::milliseconds(10));
  TDeviceJobs jobs;
  auto users = Users(1, 20, 2);
  auto running = std::async(std::launch::async, [&] {
    return jobs.syncToDevice(u"127.0.0.1", slow.PortText(), u"0", users.get());
  });
  auto late = Users(99, 1, 2);
  ASSERT_TRUE(Until([&] { return jobs.JobsInLine() == 1; }));
  auto waiting = std::async(std::launch::async, [&] {
    return jobs.syncToDevice(u"127.0.0.1", slow.PortText(), u"0", late.get());
  });
  ASSERT_TRUE(Until([&] { return jobs.JobsInLine() == 2; }));
  // About a third of the way: 3 requests a user after connecting.
  ASSERT_TRUE(Until([&] { return slow.server->RequestCount() > 20; }));
  jobs.Interrupt();
  const std::string result = Narrow(running.get());
  EXPECT_EQ(Narrow(waiting.get()), "*Upload interrupted by shutdown: 0 of 1 users written");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      result, m, std::regex(R"(\*Upload interrupted by shutdown: (\d+) of 20 users written)")))
      << result;
  const int written = std::stoi(m[1]);
  EXPECT_GT(written, 0);
  EXPECT_LT(written, 20);
  const TTerminalStore store = slow.server->Snapshot();
  ASSERT_EQ(store.Users().size(), static_cast<std::size_t>(written));
  for (int i = 0; i < written; ++i) {
    const TStoredUser& user = store.Users()[static_cast<std::size_t>(i)];
    EXPECT_EQ(user.info.enrollNumber, Utf16(std::to_string(1 + i)));
    EXPECT_TRUE(user.fingers[0] && user.fingers[1]) << "user " << i + 1 << " is not whole";
  }
  EXPECT_TRUE(slow.server->IsEnabled());
  EXPECT_TRUE(slow.WaitNoSessions());
  // Nothing reaches a terminal until the jobs are resumed.
  const long requests = slow.server->RequestCount();
  EXPECT_EQ(Narrow(jobs.getFromDevice(u"127.0.0.1", slow.PortText(), u"0").failure),
            "*Read interrupted by shutdown: 0 users read");
  auto entries = ParseArray(u"[{\"enrollNumber\":\"1\",\"deleteOption\":\"12\"}]");
  EXPECT_EQ(
      Narrow(jobs.deleteEnrolledDataFromDevice(u"127.0.0.1", slow.PortText(), u"0", entries.get())),
      "*Delete interrupted by shutdown: 0 of 1 entries done");
  EXPECT_EQ(slow.server->RequestCount(), requests);
  jobs.Resume();
  EXPECT_EQ(Narrow(jobs.syncToDevice(u"127.0.0.1", slow.PortText(), u"0", late.get())),
            "*Upload user successful!");
}

// A read and a deletion stopped by a shutdown: the read gives no users document, the deletion
// stops before its next entry.
TEST(DeviceJobsConcurrencyTest, InterruptedReadAndDeletionStopAtTheirNextBoundary) {
  TSimulator slow;
  slow.server->Edit([](TTerminalStore& store) {
    for (int i = 1; i <= 10; ++i) {
      TLinkUser user;
      user.enrollNumber = Utf16(std::to_string(i));
      store.Put(user);
    }
  });
  slow.server->DelayAnswers(std::chrono::milliseconds(100));
  TDeviceJobs jobs;
  auto read = std::async(std::launch::async,
                         [&] { return jobs.getFromDevice(u"127.0.0.1", slow.PortText(), u"0"); });
  ASSERT_TRUE(Until([&] { return slow.server->RequestCount() >= 2; }));
  jobs.Interrupt();
  const TGetFromDeviceResult got = read.get();
  EXPECT_FALSE(got.document);
  EXPECT_EQ(Narrow(got.failure), "*Read interrupted by shutdown: 0 users read");
  EXPECT_TRUE(slow.server->IsEnabled());
  jobs.Resume();

  std::u16string text = u"[";
  for (int i = 1; i <= 10; ++i) {
    text += (i > 1 ? u"," : u"") + std::u16string(u"{\"enrollNumber\":\"") +
            Utf16(std::to_string(i)) + u"\",\"deleteOption\":\"12\"}";
  }
  auto entries = ParseArray(text + u"]");
  const long before = slow.server->RequestCount();
  auto deletion = std::async(std::launch::async, [&] {
    return jobs.deleteEnrolledDataFromDevice(u"127.0.0.1", slow.PortText(), u"0", entries.get());
  });
  // Connected and a few entries deleted (a deletion and its refresh per entry).
  ASSERT_TRUE(Until([&] { return slow.server->RequestCount() >= before + 6; }));
  jobs.Interrupt();
  const std::string result = Narrow(deletion.get());
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      result, m, std::regex(R"(\*Delete interrupted by shutdown: (\d+) of 10 entries done)")))
      << result;
  EXPECT_EQ(slow.server->Snapshot().Users().size(), 10u - std::stoul(m[1]));
  EXPECT_TRUE(slow.WaitNoSessions());
}

}  // namespace
}  // namespace vantorix
