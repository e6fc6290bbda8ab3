// Tests of the device jobs against in-process simulated terminals: failure texts, empty and
// missing users, last-entry results, exceptions between connect and disconnect, fault
// injection, countdown failures and the move of a whole terminal.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <dirent.h>
#endif

#include <functional>
#include <tuple>

#include "device/DeviceJobs.h"
#include "device/NetTermControl.h"
#include "terminal/LinkChannel.h"
#include "tests/device/DeviceTestSupport.h"

namespace vantorix {
namespace {

using testing_support::Compact;
using testing_support::EControlFailure;
using testing_support::Narrow;
using testing_support::ParseArray;
using testing_support::RefusedPort;
using testing_support::TRecordedControl;
using testing_support::TSimulator;
using testing_support::Utf16;
using Calls = std::vector<std::string>;

// The process's open descriptors, to see that nothing leaks. Not on Windows: wine's descriptors
// come and go with its threads, and Windows itself has no /proc.
int OpenDescriptors() {
  int n = 0;
#ifndef _WIN32
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) {
      ++n;
    }
    closedir(dir);
  }
#endif
  return n;
}

class DeviceJobsTest : public ::testing::Test {
 protected:
  DeviceJobsTest() : jobs(std::move(control.owner)) {}

  TSimulator a;
  TSimulator b;
  TRecordedControl control;
  TDeviceJobs jobs;
  const std::u16string ip = u"127.0.0.1";
};

TEST_F(DeviceJobsTest, UnreachableTerminalGivesEachJobsFailureText) {
  std::u16string port = Utf16(std::to_string(RefusedPort()));
  auto users = ParseArray(u"[{\"enrollNumber\":\"1\",\"deleteOption\":\"x\"}]");
  TGetFromDeviceResult fetched = jobs.getFromDevice(ip, port, u"0");
  EXPECT_EQ(fetched.document, nullptr);
  EXPECT_EQ(Narrow(fetched.failure), "sync from device:127.0.0.1 failed! Can not connect.");
  EXPECT_EQ(Narrow(jobs.syncToDevice(ip, port, u"0", users.get())),
            "sync to device:127.0.0.1 failed! Can not connect.");
  EXPECT_EQ(Narrow(jobs.deleteEnrolledDataFromDevice(ip, port, u"0", users.get())),
            "delete from device:127.0.0.1 failed! Can not connect.");
  EXPECT_EQ(Narrow(jobs.deleteFingerTemplateFromDevice(ip, port, u"0", users.get())),
            "delete finger from device:127.0.0.1 failed! Can not connect.");
  EXPECT_EQ(control.calls.Count("Disconnect"), 0);
  EXPECT_EQ(control.calls.Count("ConnectNet"), 4);
}

TEST_F(DeviceJobsTest, EmptyOrMissingUsersConnectAndDisconnectOnly) {
  auto empty = ParseArray(u"[]");
  std::string connect = "ConnectNet(127.0.0.1," + std::to_string(a.Port()) + ")";
  const Calls plain = {"SetCommPassword(0)", connect, "Disconnect()"};
  EXPECT_EQ(Narrow(jobs.deleteEnrolledDataFromDevice(ip, a.PortText(), u"0", empty.get())), "");
  EXPECT_EQ(control.calls.Take(), plain);
  EXPECT_EQ(Narrow(jobs.deleteFingerTemplateFromDevice(ip, a.PortText(), u"0", nullptr)), "");
  EXPECT_EQ(control.calls.Take(), plain);
  EXPECT_EQ(Narrow(jobs.syncToDevice(ip, a.PortText(), u"0", nullptr)), "");
  EXPECT_EQ(control.calls.Take(), plain);
  EXPECT_EQ(Narrow(jobs.syncToDevice(ip, a.PortText(), u"0", empty.get())), "");
  EXPECT_EQ(control.calls.Take(), (Calls{"SetCommPassword(0)", connect, "EnableDevice(1,0)",
                                         "RefreshData(1)", "EnableDevice(1,-1)", "Disconnect()"}));
  TGetFromDeviceResult fetched = jobs.getFromDevice(ip, a.PortText(), u"0");
  ASSERT_NE(fetched.document, nullptr);
  EXPECT_EQ(Compact(*fetched.document), "{}");
  EXPECT_EQ(fetched.failure, u"");
  EXPECT_FALSE(jobs.TerminalConnected());
  EXPECT_TRUE(a.WaitNoSessions());
}

// The last entry's text, unless an entry failed: a later success does not hide it.
TEST_F(DeviceJobsTest, DeleteJobsReturnTheLastFailureOrTheLastEntrysText) {
  a.server->Edit([](TTerminalStore& store) {
    for (const char16_t* number : {u"1", u"2", u"3"}) {
      TStoredUser& user = store.Put(TLinkUser{number, u"", u"", 0, true, u""});
      user.fingers[1] = TStoredTemplate{1, u"t"};
    }
  });
  auto fingers = ParseArray(
      u"[{\"enrollNumber\":\"1\",\"fingerIndex\":1},{\"enrollNumber\":\"9\",\"fingerIndex\":1},"
      u"{\"enrollNumber\":2,\"fingerIndex\":\"1\"}]");
  EXPECT_EQ(Narrow(jobs.deleteFingerTemplateFromDevice(ip, a.PortText(), u"0", fingers.get())),
            "*Operation failed,ErrorCode=-1")
      << "user 9 has no finger 1";
  auto allFound = ParseArray(u"[{\"enrollNumber\":\"3\",\"fingerIndex\":1}]");
  EXPECT_EQ(Narrow(jobs.deleteFingerTemplateFromDevice(ip, a.PortText(), u"0", allFound.get())),
            "SSR_DelUserTmpExt,UserID=3 FingerIndex=1");
  auto enrolments = ParseArray(
      u"[{\"enrollNumber\":\"3\",\"deleteOption\":12},{\"enrollNumber\":\"1\",\"deleteOption\":"
      u"12},{\"enrollNumber\":\"3\",\"deleteOption\":\"12\"}]");
  EXPECT_EQ(Narrow(jobs.deleteEnrolledDataFromDevice(ip, a.PortText(), u"0", enrolments.get())),
            "*Operation failed,ErrorCode=-1");
  TTerminalStore store = a.server->Snapshot();
  ASSERT_EQ(store.Users().size(), 1u);
  EXPECT_EQ(store.Users()[0].info.enrollNumber, u"2");
  EXPECT_EQ(store.TemplateCount(), 0u);
}

// Exceptions from the input leave the job after it connected; it still disconnects.
TEST_F(DeviceJobsTest, InvalidEntriesRaiseAfterConnectingAndDisconnect) {
  struct TCase {
    std::u16string users;
    bool finger;
    std::string message;
  };
  const TCase cases[] = {
      {u"[{\"enrollNumber\":\"1\"}]", false, "'' is not a valid integer value"},
      {u"[{\"enrollNumber\":\"1\",\"fingerIndex\":\"2x\"}]", true,
       "'2x' is not a valid integer value"},
      {u"[null]", false, "Cannot cast null into Object"},
      {u"[[]]", true, "Cannot cast Array into Object"},
      // "enrollNumber" is read before the option.
      {u"[{\"deleteOption\":[],\"enrollNumber\":{}}]", false, "Cannot cast Object into String"},
      {u"[{\"fingerIndex\":[],\"enrollNumber\":{}}]", true, "Cannot cast Object into String"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.users));
    auto users = ParseArray(c.users);
    try {
      if (c.finger) {
        jobs.deleteFingerTemplateFromDevice(ip, a.PortText(), u"0", users.get());
      } else {
        jobs.deleteEnrolledDataFromDevice(ip, a.PortText(), u"0", users.get());
      }
      ADD_FAILURE() << "no exception";
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
    Calls calls = control.calls.Take();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].rfind("ConnectNet", 0), 0u);
    EXPECT_EQ(calls[2], "Disconnect()");
    EXPECT_FALSE(jobs.TerminalConnected());
  }
}

TEST_F(DeviceJobsTest, BadPortOrKeyRaisesBeforeAnyConnection) {
  for (const auto& [port, key] : {std::pair<std::u16string, std::u16string>{u"43 70", u"0"},
                                  std::pair<std::u16string, std::u16string>{a.PortText(), u"k"}}) {
    EXPECT_THROW(jobs.getFromDevice(ip, port, key), EConvertError);
    EXPECT_EQ(control.calls.Count("ConnectNet"), 0);
    EXPECT_FALSE(jobs.TerminalConnected());
  }
}

// What runs a job and gives the message of the exception it raised, or "" when it raised none.
std::string RaisedBy(const std::function<void()>& run) {
  try {
    run();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// The checks a command passes before it reaches any terminal read every entry as the jobs do:
// what a check refuses, the job refuses with the same error, and what it accepts, the job runs
// without one.
TEST_F(DeviceJobsTest, ChecksRaiseWhatTheJobsRaise) {
  enum TKind { kSync, kEnrolment, kFinger };
  struct TCase {
    TKind kind;
    std::u16string users;
    std::string error;  // "" when accepted
  };
  const TCase cases[] = {
      {kSync,
       u"[{\"enrollNumber\":\"1\"},{\"enrollNumber\":\"2\"},{\"enrollNumber\":\"3\","
       u"\"privilege\":\"abc\"}]",
       "'abc' is not a valid floating point value"},
      {kSync, u"[{\"enrollNumber\":\"1\",\"fpCount\":2,\"fpTemplates\":[{\"fingerIndex\":1}]}]",
       "List index out of bounds (1)"},
      {kSync, u"[{\"enrollNumber\":\"1\",\"fpCount\":1,\"fpTemplates\":[\"t\"]}]",
       "Cannot cast String into Object"},
      {kSync, u"[{\"enrollNumber\":\"1\"},null]", "Cannot cast null into Object"},
      {kSync, u"[{\"enrollNumber\":\"1\",\"enabled\":[]}]", "Cannot cast Array into Bool"},
      {kSync,
       u"[{\"enrollNumber\":\"1\",\"fpCount\":1,\"fpTemplates\":[{\"fingerIndex\":1},7]},"
       u"{\"enrollNumber\":\"2\",\"fpCount\":-1}]",
       ""},
      {kEnrolment,
       u"[{\"enrollNumber\":\"1\",\"deleteOption\":12},{\"enrollNumber\":\"2\","
       u"\"deleteOption\":\"abc\"}]",
       "'abc' is not a valid integer value"},
      {kEnrolment, u"[{\"enrollNumber\":\"1\",\"fingerIndex\":1}]",
       "'' is not a valid integer value"},
      {kEnrolment, u"[{\"enrollNumber\":\"1\",\"deleteOption\":\"0x0C\"}]", ""},
      {kFinger, u"[{\"enrollNumber\":\"1\",\"fingerIndex\":\"1\"},[]]",
       "Cannot cast Array into Object"},
      {kFinger, u"[{\"fingerIndex\":\"x\",\"enrollNumber\":{}}]", "Cannot cast Object into String"},
      {kFinger, u"[{\"enrollNumber\":\"9\",\"fingerIndex\":\" 3\"}]", ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(Narrow(c.users));
    auto users = ParseArray(c.users);
    const std::string checked = RaisedBy([&] {
      c.kind == kSync        ? CheckSyncUsers(users.get())
      : c.kind == kEnrolment ? CheckEnrolmentDeletions(users.get())
                             : CheckFingerprintDeletions(users.get());
    });
    const std::string ran = RaisedBy([&] {
      c.kind == kSync ? jobs.syncToDevice(ip, a.PortText(), u"0", users.get())
      : c.kind == kEnrolment
          ? jobs.deleteEnrolledDataFromDevice(ip, a.PortText(), u"0", users.get())
          : jobs.deleteFingerTemplateFromDevice(ip, a.PortText(), u"0", users.get());
    });
    EXPECT_EQ(checked, c.error);
    EXPECT_EQ(ran, c.error);
  }
  // A terminal's key and port texts: checked in the order connecting converts them.
  const std::u16string port = a.PortText();
  for (const auto& [portText, key, error] :
       {std::tuple<std::u16string, std::u16string, std::string>{port, u"0", ""},
        {u"43 70", u"0", "'43 70' is not a valid integer value"},
        {port, u"k", "'k' is not a valid integer value"},
        {u"p", u"k", "'k' is not a valid integer value"}}) {
    EXPECT_EQ(RaisedBy([&] { CheckTerminalAddress(portText, key); }), error);
    EXPECT_EQ(RaisedBy([&] { jobs.getFromDevice(ip, portText, key); }), error);
  }
  EXPECT_FALSE(jobs.TerminalConnected());
}

// After a job that raised between connect and disconnect, the next job reaches its own
// terminal, and the first terminal was re-enabled.
TEST_F(DeviceJobsTest, JobThatThrowsLeavesNextJobItsOwnAddress) {
  b.server->Edit([](TTerminalStore& store) {
    store.Put(TLinkUser{u"B1", u"on b", u"", 0, true, u""});
  });
  auto bad = ParseArray(u"[{\"enrollNumber\":\"1\",\"fpCount\":1}]");
  EXPECT_THROW(jobs.syncToDevice(ip, a.PortText(), u"0", bad.get()), EListIndexError);
  EXPECT_TRUE(a.server->IsEnabled());
  control.calls.failOn = "GetUserTemplate";
  a.server->Edit([](TTerminalStore& store) {
    store.Put(TLinkUser{u"A1", u"", u"", 0, true, u""});
  });
  EXPECT_THROW(jobs.getFromDevice(ip, a.PortText(), u"0"), EControlFailure);
  EXPECT_TRUE(a.server->IsEnabled());
  EXPECT_FALSE(jobs.TerminalConnected());
  control.calls.failOn.clear();
  control.calls.Take();

  TGetFromDeviceResult fetched = jobs.getFromDevice(ip, b.PortText(), u"0");
  ASSERT_NE(fetched.document, nullptr);
  EXPECT_NE(Compact(*fetched.document).find("\"B1\""), std::string::npos);
  EXPECT_EQ(control.calls.Count("ConnectNet(127.0.0.1," + std::to_string(b.Port()) + ")"), 1);
  EXPECT_TRUE(a.WaitNoSessions());
}

TEST_F(DeviceJobsTest, InjectedFaultsReachTheResultTexts) {
  a.server->Edit([](TTerminalStore& store) { store.Put(TLinkUser{u"5", u"", u"", 0, true, u""}); });
  auto users = ParseArray(u"[{\"enrollNumber\":\"5\"},{\"enrollNumber\":\"6\"}]");
  a.server->RefuseUser(u"6", 1234);
  EXPECT_EQ(Narrow(jobs.syncToDevice(ip, a.PortText(), u"0", users.get())),
            "*Upload user 6 error,ErrorCode=!1234");

  a.server->FailDeletions(0);
  auto entries = ParseArray(u"[{\"enrollNumber\":\"5\",\"deleteOption\":\"11\"}]");
  EXPECT_EQ(Narrow(jobs.deleteEnrolledDataFromDevice(ip, a.PortText(), u"0", entries.get())),
            "SSR_DeleteEnrollData,UserID=5 BackupNumber=11");
  auto fingers = ParseArray(u"[{\"enrollNumber\":\"5\",\"fingerIndex\":\"4\"}]");
  EXPECT_EQ(Narrow(jobs.deleteFingerTemplateFromDevice(ip, a.PortText(), u"0", fingers.get())),
            "*Operation failed,ErrorCode=0");
  a.server->ClearFaults();

  a.server->DropAfter(2);  // hello and EnableDevice, then the user list is never sent
  TGetFromDeviceResult fetched = jobs.getFromDevice(ip, a.PortText(), u"0");
  EXPECT_EQ(fetched.document, nullptr);
  EXPECT_EQ(Narrow(fetched.failure),
            "sync from device:127.0.0.1 failed! Can not read,ErrorCode=-2");
  EXPECT_FALSE(jobs.TerminalConnected());
}

TEST_F(DeviceJobsTest, StalledTerminalFailsTheJob) {
  auto users = ParseArray(u"[{\"enrollNumber\":\"5\"}]");
  ASSERT_EQ(Narrow(jobs.syncToDevice(ip, a.PortText(), u"0", users.get())),
            "*Upload user successful!");
  a.server->DelayAnswers(std::chrono::milliseconds(1800));
  // The password exchange is bounded by the connect time-out (3 s) and passes; the first
  // operation then exceeds the 1 s reply time-out, which closes the link, so the user is not
  // written.
  std::u16string text = jobs.syncToDevice(ip, a.PortText(), u"0", users.get());
  EXPECT_EQ(Narrow(text), "*Upload user 5 error,ErrorCode=!-6");
  EXPECT_FALSE(jobs.TerminalConnected());
}

// A whole terminal read by one job and written by another, through JSON text as a client
// would carry it, arrives complete.
TEST_F(DeviceJobsTest, MovingWholeTerminalLosesNothing) {
  a.server->Edit([](TTerminalStore& store) {
    for (int i = 0; i < 120; ++i) {
      std::u16string number = Utf16(std::to_string(1000 + i * 7));
      std::u16string name = u"N\u00E9\"\\\U0001F600 " + Utf16(std::to_string(i));
      std::u16string card = i % 3 == 0 ? u"" : Utf16(std::to_string(900000 + i));
      TStoredUser& user =
          store.Put(TLinkUser{number, name, i % 4 ? u"" : u"p" + number, i % 15, i % 5 != 0, card});
      for (int f = 0; f < 10; ++f) {
        if ((i + f) % 4 == 0) {
          user.fingers[static_cast<std::size_t>(f)] = TStoredTemplate{
              (i + f) % 3, u"TPL/" + number + u"+" + Utf16(std::to_string(f)) + u"=="};
        }
      }
    }
  });
  TGetFromDeviceResult fetched = jobs.getFromDevice(ip, a.PortText(), u"0");
  ASSERT_NE(fetched.document, nullptr);
  std::unique_ptr<TJsonNode> carried = TJsonNode::Parse(fetched.document->ToJSON(true));
  auto* document = dynamic_cast<TJsonObject*>(carried.get());
  ASSERT_NE(document, nullptr);
  std::unique_ptr<TJsonArray> users = document->ExtractArray(u"users");
  ASSERT_NE(users, nullptr);
  EXPECT_EQ(users->Count(), 120);
  EXPECT_EQ(Narrow(jobs.syncToDevice(ip, b.PortText(), u"0", users.get())),
            "*Upload user successful!");
  TTerminalStore source = a.server->Snapshot();
  TTerminalStore target = b.server->Snapshot();
  EXPECT_EQ(target.Users().size(), source.Users().size());
  EXPECT_EQ(target.TemplateCount(), source.TemplateCount());
  EXPECT_TRUE(target == source);
}

// The same jobs over in-memory links into terminals that never open a socket.
TEST(DeviceJobsMemoryTest, JobsRunOverInMemoryLinks) {
  TTerminalOptions options;
  options.commKey = 9;
  TTerminalServer source(options);
  TTerminalServer target(options);
  TMemoryNetwork network;
  network.Attach(1, source);
  network.Attach(2, target);
  TDeviceJobs jobs(std::make_unique<TNetTermControl>(TNetTermOptions{},
                                                     std::make_unique<TMemoryChannel>(network)));
  source.Edit([](TTerminalStore& store) {
    for (int i = 0; i < 30; ++i) {
      TStoredUser& user = store.Put(TLinkUser{Utf16(std::to_string(i)), u"m", u"", 0, true, u"8"});
      user.fingers[static_cast<std::size_t>(i % 10)] = TStoredTemplate{1, u"T"};
    }
  });
  EXPECT_EQ(Narrow(jobs.getFromDevice(u"mem", u"3", u"9").failure),
            "sync from device:mem failed! Can not connect.");
  EXPECT_EQ(Narrow(jobs.getFromDevice(u"mem", u"1", u"8").failure),
            "sync from device:mem failed! Can not connect.")
      << "wrong password";
  TGetFromDeviceResult fetched = jobs.getFromDevice(u"mem", u"1", u"9");
  ASSERT_NE(fetched.document, nullptr);
  std::unique_ptr<TJsonArray> users = fetched.document->ExtractArray(u"users");
  ASSERT_NE(users, nullptr);
  EXPECT_EQ(Narrow(jobs.syncToDevice(u"mem", u"2", u"9", users.get())), "*Upload user successful!");
  EXPECT_TRUE(target.Snapshot() == source.Snapshot());

  target.DropAfter(3);  // hello, disable, first user; then the link is gone
  EXPECT_EQ(Narrow(jobs.syncToDevice(u"mem", u"2", u"9", users.get())),
            "*Upload user 29 error,ErrorCode=!-6");
  target.FailDeletions(0);
  auto entries = ParseArray(u"[{\"enrollNumber\":\"1\",\"deleteOption\":11}]");
  EXPECT_EQ(Narrow(jobs.deleteEnrolledDataFromDevice(u"mem", u"2", u"9", entries.get())),
            "SSR_DeleteEnrollData,UserID=1 BackupNumber=11");
  EXPECT_FALSE(jobs.TerminalConnected());
}

// Countdown: the terminal drops the link after N answered requests, for every N the job makes.
// Each run ends with a failure text, or with a success whose effect is complete; every run
// disconnects and leaves no session or descriptor behind.
TEST_F(DeviceJobsTest, CountdownDropFailsEveryJobCleanly) {
  TTerminalStore initial;
  for (const char16_t* number : {u"1", u"2", u"3"}) {
    TStoredUser& user = initial.Put(TLinkUser{number, u"n", u"", 0, true, u"77"});
    user.fingers[0] = TStoredTemplate{1, u"zero"};
    user.fingers[5] = TStoredTemplate{1, u"five"};
  }
  auto records = ParseArray(
      u"[{\"enrollNumber\":\"8\",\"fpCount\":2,\"fpTemplates\":[{\"fingerIndex\":1},"
      u"{\"fingerIndex\":2}]},{\"enrollNumber\":\"9\",\"cardNumber\":\"5\",\"fpCount\":1,"
      u"\"fpTemplates\":[{\"fingerIndex\":3,\"templateData\":\"x\"}]}]");
  auto enrolments = ParseArray(
      u"[{\"enrollNumber\":\"1\",\"deleteOption\":12},{\"enrollNumber\":\"2\",\"deleteOption\":"
      u"0}]");
  auto fingers = ParseArray(
      u"[{\"enrollNumber\":\"1\",\"fingerIndex\":0},{\"enrollNumber\":\"3\",\"fingerIndex\":5}]");

  struct TJob {
    const char* name;
    // Runs the job; true when it reported success.
    std::function<bool()> run;
    // Whether the success's effect is complete in the terminal.
    std::function<bool(const TTerminalStore&)> complete;
  };
  const std::u16string port = a.PortText();
  const TJob all[] = {
      {"get",
       [&] {
         TGetFromDeviceResult r = jobs.getFromDevice(ip, port, u"0");
         if (!r.document) {
           EXPECT_NE(r.failure.find(u" failed! Can not "), std::u16string::npos);
           return false;
         }
         EXPECT_EQ(r.document->GetArray(u"users")->Count(), 3);
         return true;
       },
       [](const TTerminalStore&) { return true; }},
      {"sync",
       [&] {
         std::u16string text = jobs.syncToDevice(ip, port, u"0", records.get());
         return text == u"*Upload user successful!";
       },
       [](const TTerminalStore& s) {
         return s.Find(u"8") && s.Find(u"9") && s.TemplateCount() == 6 + 3;
       }},
      {"delete",
       [&] {
         std::u16string text = jobs.deleteEnrolledDataFromDevice(ip, port, u"0", enrolments.get());
         return text.rfind(u"SSR_", 0) == 0;
       },
       [](const TTerminalStore& s) {
         return !s.Find(u"1") && !s.Find(u"2")->fingers[0].has_value();
       }},
      {"delete finger",
       [&] {
         std::u16string text = jobs.deleteFingerTemplateFromDevice(ip, port, u"0", fingers.get());
         return text.rfind(u"SSR_", 0) == 0;
       },
       [](const TTerminalStore& s) {
         return !s.Find(u"1")->fingers[0] && !s.Find(u"3")->fingers[5];
       }},
  };
  const int descriptors = OpenDescriptors();
  for (const TJob& job : all) {
    a.server->Edit([&](TTerminalStore& store) { store = initial; });
    long before = a.server->RequestCount();
    ASSERT_TRUE(job.run()) << job.name << " fails without faults";
    long requests = a.server->RequestCount() - before;
    for (int n = 0; n < requests; ++n) {
      SCOPED_TRACE(std::string(job.name) + " dropped after " + std::to_string(n));
      a.server->Edit([&](TTerminalStore& store) { store = initial; });
      a.server->DropAfter(n);
      if (job.run()) {
        EXPECT_TRUE(job.complete(a.server->Snapshot())) << "success reported for lost work";
      }
      EXPECT_FALSE(jobs.TerminalConnected());
      EXPECT_TRUE(a.WaitNoSessions());
      EXPECT_EQ(OpenDescriptors(), descriptors);
    }
    a.server->ClearFaults();
    a.server->Edit([&](TTerminalStore& store) { store = initial; });
    EXPECT_TRUE(job.run()) << job.name << " works again after the faults";
    EXPECT_TRUE(a.server->IsEnabled());
  }
}

}  // namespace
}  // namespace vantorix
