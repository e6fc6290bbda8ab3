// Fault injection by countdown across the whole server: for N = 1, 2, 3, ... the Nth receive or
// the Nth send of one client's connection fails, or the Nth terminal operation fails (answering
// false, or raising), until the scenario completes without the fault firing. After every N the
// connection ended or was answered as designed, every terminal was re-enabled and disconnected,
// another client is still served, and no connection, job, thread or descriptor is left over.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "device/DeviceJobs.h"
#include "device/NetTermControl.h"
#include "json/JsonDocument.h"
#include "terminal/TerminalServer.h"
#include "tests/app/FormHarness.h"
#include "tests/device/RecordingControl.h"
#include "websocket/CountdownSocketApi.h"

namespace vantorix::test {
namespace {

using testing_support::TRecordingControl;

int CountEntries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d) != nullptr) {
      ++n;
    }
    closedir(d);
  }
  return n;
}
int Threads() {
  return CountEntries("/proc/self/task");
}
int Descriptors() {
  return CountEntries("/proc/self/fd");
}

bool Eventually(const std::function<bool()>& cond, int timeoutMs = kWaitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Terminal operations of every control one form made, in call order, and the countdown over
// them. The controls run on command threads; the test reads between scenarios.
struct TTerminalCountdown {
  std::mutex lock;
  int failAt = 0;  // 0: none
  int calls = 0;
  std::string failedCall;
  // Per control (in order of creation): the calls it was asked to make.
  std::vector<std::vector<std::string>> perControl;

  // Records the call; the one that fails is marked with a leading '!' (it did not reach the
  // terminal, or reached it without a result).
  bool OnCall(std::size_t control, const std::string& call) {
    std::lock_guard<std::mutex> guard(lock);
    const bool fails = ++calls == failAt;
    if (fails) {
      failedCall = call;
    }
    perControl[control].push_back(fails ? "!" + call : call);
    return fails;
  }
  bool Fired() {
    std::lock_guard<std::mutex> guard(lock);
    return failAt > 0 && calls >= failAt;
  }
};

// One simulated terminal on a free loopback port.
struct TTerminal {
  TTerminal() {
    TTerminalOptions options;
    options.host = "127.0.0.1";
    options.port = 0;
    server = std::make_unique<TTerminalServer>(options);
    server->Start();
  }
  std::string Port() const { return std::to_string(server->Port()); }
  std::unique_ptr<TTerminalServer> server;
};

std::string Device(const TTerminal& t) {
  return R"({"ip":"127.0.0.1","port":")" + t.Port() + R"(","key":"0"})";
}

// What one client saw of a scenario.
struct TSeen {
  std::vector<std::string> finishes;  // remarks of the finish statuses, in order
  int starts = 0;
  bool lastWasStart = false;  // the last status seen was a start
  int texts = 0;
  std::optional<std::uint16_t> closeCode;  // a close frame came
  bool ended = false;                      // the connection ended (with or without a close)
};

std::optional<std::string> Member(const std::string& json, const char16_t* name) {
  try {
    auto node = TJsonNode::Parse(U16(json));
    auto* object = dynamic_cast<TJsonObject*>(node.get());
    if (object != nullptr) {
      return U8(object->GetString(name));
    }
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

void Note(TSeen& seen, const std::string& text) {
  ++seen.texts;
  const std::optional<std::string> status = Member(text, u"status");
  if (status == "start") {
    ++seen.starts;
    seen.lastWasStart = true;
  } else if (status == "finish") {
    seen.finishes.push_back(Member(text, u"remarks").value_or(""));
    seen.lastWasStart = false;
  }
}

// Reads until done(seen) holds, the connection ends, or nothing comes for quietMs.
void ReadUntil(TWsTestClient& client, TSeen& seen, const std::function<bool(const TSeen&)>& done,
               int quietMs) {
  while (!done(seen)) {
    const std::optional<TWsFrame> frame = client.ReadFrame(quietMs);
    if (!frame) {
      seen.ended = client.IsClosed();
      return;
    }
    if (frame->Opcode == 0x1) {
      Note(seen, frame->Text());
    } else if (frame->Opcode == 0x8) {
      seen.closeCode = frame->CloseCode();
      seen.ended = client.WaitForClose(kWaitMs);
      return;
    }
  }
}

enum class TFault { Receive, Send, TerminalFalse, TerminalRaise };

const char* Name(TFault fault) {
  switch (fault) {
    case TFault::Receive:
      return "receive";
    case TFault::Send:
      return "send";
    case TFault::TerminalFalse:
      return "terminal op answers false";
    case TFault::TerminalRaise:
      return "terminal op raises";
  }
  return "?";
}

// One scenario: what the client sends after its handshake, how many finish statuses a complete
// run gives, what a complete run's finishes say, and what a success leaves in the terminals.
struct TScenario {
  const char* name;
  std::vector<std::string> commands;  // empty: an echo stands for the scenario's traffic
  std::size_t finishes;
  std::function<bool(const std::vector<std::string>&)> complete;
  // Checks the terminals against the finishes the witness saw (success texts must be true).
  std::function<void(const std::vector<std::string>&)> checkData;
  std::function<void()> reset;
};

class CountdownTest : public ::testing::Test {
 protected:
  // Runs the scenario once with the fault at N; true when it completed without the fault
  // firing.
  bool RunOnce(const TScenario& s, TFault fault, int n) {
    SCOPED_TRACE(std::string(s.name) + ", " + Name(fault) + " fails at call " + std::to_string(n));
    s.reset();
    const int threadsBefore = Threads();
    const int descriptorsBefore = Descriptors();
    TCountdownSocketApi api(PlatformSocketApi());
    TTerminalCountdown terminal;
    const bool onTerminal = fault == TFault::TerminalFalse || fault == TFault::TerminalRaise;
    terminal.failAt = onTerminal ? n : 0;
    TDeviceJobs* jobs = nullptr;
    auto makeJobs = [&] {
      auto made = std::make_unique<TDeviceJobs>([&terminal, fault] {
        std::size_t id = 0;
        {
          std::lock_guard<std::mutex> guard(terminal.lock);
          id = terminal.perControl.size();
          terminal.perControl.emplace_back();
        }
        auto control = std::make_unique<TRecordingControl>(std::make_unique<TNetTermControl>(
            TNetTermOptions{std::chrono::milliseconds(3000), std::chrono::milliseconds(1000)}));
        control->raiseOnFault = fault == TFault::TerminalRaise;
        control->fault = [&terminal, id](const std::string& call) {
          return terminal.OnCall(id, call);
        };
        return control;
      });
      jobs = made.get();
      return made;
    };
    bool completed = false;
    {
      TFormHarness h(makeJobs, api);
      auto witness = h.Connect();
      std::shared_ptr<TSocketCountdown> countdown;
      if (fault == TFault::Receive) {
        countdown = api.Arm(TSocketCall::Receive, n);
      } else if (fault == TFault::Send) {
        countdown = api.Arm(TSocketCall::Send, n);
      }
      auto fired = [&] { return countdown ? countdown->Fired() : terminal.Fired(); };

      TSeen seen;
      auto client = std::make_unique<TWsTestClient>("127.0.0.1", h.Port());
      const bool upgraded = client->Open();
      if (upgraded) {
        try {
          if (s.commands.empty()) {
            client->SendText(R"({"act":"echo","state":"h"})");
            ReadUntil(
                *client, seen, [](const TSeen& x) { return x.texts >= 1; }, kWaitMs);
          } else {
            for (const std::string& command : s.commands) {
              client->SendText(command);
            }
            ReadUntil(
                *client, seen, [&](const TSeen& x) { return x.finishes.size() >= s.finishes; },
                kWaitMs);
          }
        } catch (const std::runtime_error&) {
          seen.ended = true;  // the server had closed it before the client could send
        }
      }
      const bool complete =
          upgraded && (s.commands.empty() ? seen.texts >= 1 : s.complete(seen.finishes));
      completed = complete && !fired();

      if (!onTerminal && fired()) {
        // A broken connection is ended by the server, not left hanging.
        EXPECT_TRUE(seen.ended || client->WaitForClose(kWaitMs))
            << "the connection outlived its failed socket";
      } else if (onTerminal && upgraded) {
        // Every start has its finish, or (a control that raised) the command ended the
        // connection with 1007.
        if (seen.closeCode) {
          EXPECT_EQ(fault, TFault::TerminalRaise);
          EXPECT_EQ(*seen.closeCode, 1007);
        } else {
          EXPECT_EQ(seen.finishes.size(), s.finishes);
          EXPECT_EQ(seen.starts, static_cast<int>(s.finishes));
        }
      }
      if (!fired()) {
        EXPECT_TRUE(complete) << "no fault fired, yet the scenario did not complete";
      }

      // The other client saw every job end (the statuses of a job whose client left still
      // reach the others), and is answered. When the client's connection broke, which of its
      // commands the server had read is not known: a quiet second ends the wait.
      TSeen others;
      ReadUntil(
          *witness, others, [&](const TSeen& x) { return x.finishes.size() >= s.finishes; },
          !onTerminal && fired() ? 1000 : 200);
      EXPECT_TRUE(Eventually([&] { return jobs->JobsInLine() == 0; }));
      if (seen.closeCode == 1007) {
        // The command that failed was the last one carried out: nothing the connection sent
        // after it may start.
        EXPECT_TRUE(others.lastWasStart);
        EXPECT_EQ(others.starts, static_cast<int>(others.finishes.size()) + 1);
      } else {
        EXPECT_EQ(others.starts, static_cast<int>(others.finishes.size()));
      }
      s.checkData(others.finishes);
      witness->SendText(R"({"act":"echo","state":"w"})");
      std::optional<std::string> echo;
      while ((echo = witness->ReadText(kWaitMs)) && Member(*echo, u"state2") != "w") {
      }
      EXPECT_TRUE(echo.has_value()) << "the other client is no longer answered";

      client.reset();
      EXPECT_TRUE(Eventually([&] { return h.Form->Server()->Contexts.Lock().Count() == 1; }))
          << "the connection is still listed; log:\n"
          << [&] {
               h.Window.RunPending();
               std::string all;
               for (const std::string& line : h.Messages()) {
                 all += line + "\n";
               }
               return all;
             }();
      EXPECT_EQ(jobs->TerminalsInUse(), 0U);
      EXPECT_FALSE(jobs->TerminalConnected());
      CheckTerminalsReleased(terminal);
    }
    // Every terminal session ends, and with the form gone so do its threads and descriptors.
    for (const TTerminal* t : {&a, &b, &c, &d}) {
      EXPECT_TRUE(Eventually([&] { return t->server->OpenSessions() == 0; }));
      if (terminal.failedCall.rfind("EnableDevice(1,-1)", 0) != 0) {
        EXPECT_TRUE(t->server->IsEnabled());
      }
    }
    EXPECT_TRUE(Eventually([&] { return Threads() == threadsBefore; }))
        << Threads() << " threads, " << threadsBefore << " before";
    EXPECT_TRUE(Eventually([&] { return Descriptors() == descriptorsBefore; }))
        << Descriptors() << " descriptors, " << descriptorsBefore << " before";
    return completed;
  }

  // Each control that got past its connection disconnected, and re-enabled what it disabled.
  static void CheckTerminalsReleased(TTerminalCountdown& terminal) {
    std::lock_guard<std::mutex> guard(terminal.lock);
    for (const std::vector<std::string>& calls : terminal.perControl) {
      bool disabled = false;
      bool connected = false;
      for (const std::string& call : calls) {
        const std::string name = call[0] == '!' ? call.substr(1) : call;
        // A disable that failed left the terminal as it was; a re-enable counts once asked for.
        if (call == "EnableDevice(1,0)") {
          disabled = true;
        } else if (name == "EnableDevice(1,-1)") {
          disabled = false;
        }
        if (name.rfind("ConnectNet", 0) != 0 && name.rfind("SetCommPassword", 0) != 0 &&
            name != "GetLastError()") {
          connected = true;
        }
      }
      EXPECT_FALSE(disabled) << "a terminal was left disabled";
      if (connected) {
        // The disconnect was asked for last, even when that call itself failed.
        EXPECT_TRUE(calls.back() == "Disconnect()" || calls.back() == "!Disconnect()")
            << "a terminal was left connected; last call " << calls.back();
      }
    }
  }

  // Loops N from 1 until the scenario completes without the fault; returns the faults injected.
  int Countdown(const TScenario& s, TFault fault) {
    constexpr int kLimit = 400;
    for (int n = 1; n <= kLimit; ++n) {
      if (RunOnce(s, fault, n)) {
        std::cout << "[ countdown ] " << s.name << ", " << Name(fault) << ": " << n - 1
                  << " faults injected until it completed\n";
        return n - 1;
      }
      if (HasFatalFailure()) {
        break;
      }
    }
    ADD_FAILURE() << s.name << ", " << Name(fault) << ": never completed";
    return -1;
  }

  void RunAll(const TScenario& s,
              std::vector<TFault> faults = {TFault::Receive, TFault::Send, TFault::TerminalFalse,
                                            TFault::TerminalRaise}) {
    for (TFault fault : faults) {
      const int faults = Countdown(s, fault);
      EXPECT_GT(faults, 0) << "no fault was injected: the countdown tested nothing";
    }
  }

  static TTerminalStore Users() {
    TTerminalStore store;
    for (const char16_t* number : {u"1", u"2", u"3"}) {
      TStoredUser& user = store.Put(TLinkUser{number, u"n", u"", 0, true, u"77"});
      user.fingers[0] = TStoredTemplate{1, u"zero"};
      user.fingers[5] = TStoredTemplate{1, u"five"};
    }
    return store;
  }
  void ResetAll() {
    for (TTerminal* t : {&a, &b, &c, &d}) {
      t->server->Edit([&](TTerminalStore& store) { store = t == &a ? Users() : TTerminalStore{}; });
    }
  }

  TTerminal a;  // the source and the deletion target: users 1, 2, 3 with fingers 0 and 5
  TTerminal b;  // sync targets, empty
  TTerminal c;
  TTerminal d;
};

TEST_F(CountdownTest, Handshake) {
  RunAll({"handshake",
          {},
          0,
          [](const auto&) { return true; },
          [](const auto&) {},
          [this] { ResetAll(); }},
         {TFault::Receive, TFault::Send});
}

TEST_F(CountdownTest, GetFromDevice) {
  const std::string command = R"({"act":"getfromdevice","state":"g","ip":"127.0.0.1","port":")" +
                              a.Port() + R"(","key":"0"})";
  RunAll({"getfromdevice",
          {command},
          1,
          [](const std::vector<std::string>& f) {
            return f.size() == 1 && f[0] == "Fetch completed: 3 total users found";
          },
          [](const auto&) {},
          [this] { ResetAll(); }});
}

TEST_F(CountdownTest, SyncToThreeTerminals) {
  const std::string command =
      R"({"act":"synctodevice","state":"s","devices":[)" + Device(b) + "," + Device(c) + "," +
      Device(d) +
      R"(],"users":[{"enrollNumber":"8","name":"E","cardNumber":"5","fpCount":1,"fpTemplates":)"
      R"([{"fingerIndex":1,"templateData":"x"}]},{"enrollNumber":"9","name":"N","fpCount":2,)"
      R"("fpTemplates":[{"fingerIndex":2,"templateData":"y"},{"fingerIndex":3,)"
      R"("templateData":"z"}]}]})";
  const std::string success = "*Upload user successful!";
  RunAll({"synctodevice to 3 terminals",
          {command},
          3,
          [success](const std::vector<std::string>& f) {
            return f.size() == 3 && std::all_of(f.begin(), f.end(),
                                                [&](const std::string& r) { return r == success; });
          },
          [this, success](const std::vector<std::string>& f) {
            // The result text speaks for the last user written: a success means it is stored
            // whole, with both templates.
            const TTerminal* targets[] = {&b, &c, &d};
            for (std::size_t i = 0; i < f.size() && i < 3; ++i) {
              if (f[i] != success) {
                continue;
              }
              const TTerminalStore store = targets[i]->server->Snapshot();
              const TStoredUser* user = store.Find(u"9");
              ASSERT_NE(user, nullptr) << "success reported for a user not stored";
              EXPECT_TRUE(user->fingers[2].has_value() && user->fingers[3].has_value())
                  << "success reported for templates not stored";
            }
          },
          [this] { ResetAll(); }});
}

TEST_F(CountdownTest, Deletions) {
  const std::string devices = "[" + Device(a) + "]";
  const std::string enrolment = R"({"act":"deleteenrolleddata","state":"d","devices":)" + devices +
                                R"(,"users":[{"enrollNumber":"1","deleteOption":12}]})";
  const std::string finger = R"({"act":"deletefptemplate","state":"f","devices":)" + devices +
                             R"(,"users":[{"enrollNumber":"3","fingerIndex":5}]})";
  const std::string deleted = "Delete completed: SSR_DeleteEnrollData,UserID=1 BackupNumber=12";
  const std::string fingerDeleted =
      "Delete fingerprint completed: SSR_DelUserTmpExt,UserID=3 FingerIndex=5";
  RunAll({"deleteenrolleddata and deletefptemplate",
          {enrolment, finger},
          2,
          [=](const std::vector<std::string>& f) {
            return f.size() == 2 && f[0] == deleted && f[1] == fingerDeleted;
          },
          [=, this](const std::vector<std::string>& f) {
            const TTerminalStore store = a.server->Snapshot();
            for (const std::string& remark : f) {
              if (remark == deleted) {
                EXPECT_EQ(store.Find(u"1"), nullptr) << "success reported for a user kept";
              } else if (remark == fingerDeleted) {
                EXPECT_FALSE(store.Find(u"3")->fingers[5].has_value())
                    << "success reported for a template kept";
              }
            }
          },
          [this] { ResetAll(); }});
}

}  // namespace
}  // namespace vantorix::test
