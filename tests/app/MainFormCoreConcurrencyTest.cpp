// The main window's closing and "Change" while several connections run device jobs on slow
// terminals: the jobs are interrupted, their finish statuses reach every client, then each
// client gets the close frame 1001 and every connection thread ends. Run under ThreadSanitizer
// too.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/MainFormCore.h"
#include "tests/app/FormHarness.h"
#include "tests/app/TestTerminal.h"

namespace vantorix::test {
namespace {

std::string SyncCommand(const std::string& state, const std::string& port) {
  return R"({"act":"synctodevice","state":")" + state +
         R"(","devices":[{"ip":"127.0.0.1","port":")" + port +
         R"(","key":"0"}],"users":[{"enrollNumber":"1","fpCount":0},)"
         R"({"enrollNumber":"2","fpCount":0}]})";
}

std::string GetCommand(const std::string& state, const std::string& port) {
  return R"({"act":"getfromdevice","state":")" + state + R"(","ip":"127.0.0.1","port":")" + port +
         R"(","key":"0"})";
}

bool IsStatus(const std::string& message, const std::string& status, const std::string& state) {
  return message.rfind(R"({"status":")" + status + R"(", "state":")" + state + "\"", 0) == 0;
}

// Three clients on the core's listener: two send a device command to a slow terminal each and
// see its start status; the third stays idle.
class MainFormCoreConcurrencyTest : public ::testing::Test {
 protected:
  MainFormCoreConcurrencyTest() {
    Core = std::make_unique<TMainFormCore>(Window, Errors, OnTestPort());
    Core->FormCreate(Controls, Controls);
    const std::uint16_t port = Core->wss().Server()->Bindings[0]->BoundPort;
    for (int i = 0; i < 3; ++i) {
      Clients.push_back(std::make_unique<TWsTestClient>("127.0.0.1", port));
      EXPECT_TRUE(Clients.back()->Open());
    }
    Clients[0]->SendText(SyncCommand("s", SlowA.PortText()));
    Clients[1]->SendText(GetCommand("g", SlowB.PortText()));
    for (int i = 0; i < 2; ++i) {
      const std::string state = i == 0 ? "s" : "g";
      bool started = false;
      while (!started) {
        const std::optional<std::string> message =
            Clients[static_cast<std::size_t>(i)]->ReadText(kWaitMs);
        EXPECT_TRUE(message) << "no start status for " << state;
        if (!message) {
          break;
        }
        Seen[static_cast<std::size_t>(i)].push_back(*message);
        started = IsStatus(*message, "start", state);
      }
    }
  }
  // What the closing connections queued refers to the server window: run it first.
  ~MainFormCoreConcurrencyTest() override {
    Core->FormClose();
    Window.RunPending();
  }

  static TMainFormSetup OnTestPort() {
    TMainFormSetup setup;
    setup.StartupPort = u"0";
    return setup;
  }

  // After closing or "Change" returned: what each client already holds must include the finish
  // statuses of both jobs, followed by the close frame 1001.
  void ExpectEveryJobFinished() {
    for (std::size_t i = 0; i < Clients.size(); ++i) {
      std::optional<std::uint16_t> close;
      while (std::optional<TWsFrame> frame = Clients[i]->ReadFrame(0)) {
        if (frame->Opcode == 8) {
          close = frame->CloseCode();
          break;
        }
        Seen[i].push_back(frame->Text());
      }
      EXPECT_EQ(close, std::optional<std::uint16_t>(1001)) << "client " << i;
      for (const std::string state : {"s", "g"}) {
        bool finished = false;
        for (const std::string& message : Seen[i]) {
          finished = finished || IsStatus(message, "finish", state);
        }
        EXPECT_TRUE(finished) << "client " << i << " has no finish status for " << state;
      }
    }
  }

  // After closing or "Change" returned: the server has already closed every connection and run
  // each one's disconnect handler.
  void ExpectEveryConnectionClosed() {
    for (std::size_t i = 0; i < Clients.size(); ++i) {
      EXPECT_TRUE(Clients[i]->WaitForClose(0)) << "client " << i;
    }
    Window.RunPending();
    std::size_t disconnected = 0;
    for (const std::u16string& entry : Controls.Entries) {
      disconnected += entry.ends_with(u": : Client disconnected") ? 1 : 0;
    }
    EXPECT_EQ(disconnected, Clients.size());
    EXPECT_EQ(Controls.Counts.back(), u"0");
    EXPECT_TRUE(Errors.Boxes.empty());
  }

  TTestTerminal SlowA{{.Delay = std::chrono::milliseconds(30)}};
  TTestTerminal SlowB{{.Demo = true, .Delay = std::chrono::milliseconds(30)}};
  TMainThreadQueue Window;
  TRecordingControls Controls;
  TRecordingReporter Errors;
  std::unique_ptr<TMainFormCore> Core;
  std::vector<std::unique_ptr<TWsTestClient>> Clients;
  std::vector<std::string> Seen[3];
};

TEST_F(MainFormCoreConcurrencyTest, ClosingEndsEveryConnectionThreadAfterTheJobsSentTheirFinish) {
  Core->FormClose();
  EXPECT_EQ(Core->wss().Server(), nullptr);
  ExpectEveryJobFinished();
  ExpectEveryConnectionClosed();
}

TEST_F(MainFormCoreConcurrencyTest, ChangeSendsTheJobsFinishBeforeClosingAndThenListensAgain) {
  Core->btStartClick(u"0");
  ExpectEveryJobFinished();
  ExpectEveryConnectionClosed();
  TWebSocketServer& server = *Core->wss().Server();
  ASSERT_TRUE(server.Active());
  TWsTestClient next("127.0.0.1", server.Bindings[0]->BoundPort);
  EXPECT_TRUE(next.Open());
}

}  // namespace
}  // namespace vantorix::test
