// What the main window does apart from its widgets: the error box text rule, start-up and
// "Change" reporting through the reporter, and the "listening on" lines.
#include "app/MainFormCore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/app/FormHarness.h"
#include "tests/app/TestTerminal.h"

namespace vantorix::test {
namespace {

TEST(ErrorBoxTextTest, AFullStopIsAddedUnlessTheMessageEndsInOneOrBelowIt) {
  struct Case {
    std::u16string message;
    std::u16string box;
  };
  const Case cases[] = {
      {u"Range check error", u"Range check error."},
      {u"'abc' is not a valid integer value", u"'abc' is not a valid integer value."},
      {u"Socket Error # 10048\r\nAddress already in use.",
       u"Socket Error # 10048\r\nAddress already in use."},
      {u"ends in a blank ", u"ends in a blank "},
      {u"ends in a break\r\n", u"ends in a break\r\n"},
      {u"ends in !", u"ends in !"},
      {u"ends in -", u"ends in -"},
      {u"ends in ,", u"ends in ,"},
      {u"ends in /", u"ends in /."},
      {u"ends in 0", u"ends in 0."},
      {u"caf\u00e9", u"caf\u00e9."},
      {u"", u""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ErrorBoxText(c.message), c.box) << U8(c.message);
  }
}

// The core on the test thread's queue, with recorded controls and boxes.
struct TCoreHarness {
  explicit TCoreHarness(const std::u16string& startupPort = u"0",
                        std::filesystem::path termProfile = {}) {
    TMainFormSetup setup;
    setup.StartupPort = startupPort;
    setup.TermProfile = std::move(termProfile);
    setup.Announce = &Announced;
    Core = std::make_unique<TMainFormCore>(Window, Errors, std::move(setup));
    Core->FormCreate(Controls, Controls);
  }
  ~TCoreHarness() {
    Core->FormClose();
    Window.RunPending();
  }
  std::uint16_t BoundPort() { return Core->wss().Server()->Bindings[0]->BoundPort; }

  TMainThreadQueue Window;
  TRecordingControls Controls;
  TRecordingReporter Errors;
  std::ostringstream Announced;
  std::unique_ptr<TMainFormCore> Core;
};

TEST(MainFormCoreTest, EverySuccessfulStartAnnouncesItsEndpointsAndAFailureOnlyItsBox) {
  TCoreHarness h;
  const std::uint16_t first = h.BoundPort();
  EXPECT_EQ(h.Announced.str().rfind("listening on 0.0.0.0:" + std::to_string(first) + "\n", 0), 0u)
      << h.Announced.str();
  h.Announced.str("");
  h.Core->btStartClick(u"x");
  EXPECT_EQ(h.Announced.str(), "");
  EXPECT_EQ(h.Errors.Boxes, std::vector<std::u16string>{u"'x' is not a valid integer value."});
  h.Core->btStartClick(u"0");
  EXPECT_EQ(h.Announced.str(), "listening on 127.0.0.1:" + std::to_string(h.BoundPort()) + "\n");
  EXPECT_EQ(h.Errors.Boxes.size(), 1u);
}

TEST(MainFormCoreTest, AFailedStartUpLeavesTheDeviceJobsReadyForTheNextChange) {
  TTestTerminal terminal({.Demo = true});
  TCoreHarness h(u"70000");
  EXPECT_EQ(h.Errors.Boxes, std::vector<std::u16string>{u"Range check error."});
  EXPECT_FALSE(h.Core->wss().Server()->Active());
  EXPECT_EQ(h.Announced.str(), "");
  h.Core->btStartClick(u"0");
  TWsTestClient client("127.0.0.1", h.BoundPort());
  ASSERT_TRUE(client.Open());
  client.SendText(R"({"act":"getfromdevice","state":"g","ip":"127.0.0.1","port":")" +
                  terminal.PortText() + R"(","key":"0"})");
  std::string finish;
  for (int i = 0; i < 3; ++i) {
    finish = client.ReadText(kWaitMs).value_or("<none>");
  }
  EXPECT_EQ(finish.rfind(R"({"status":"finish", "state":"g", "remarks":"Fetch completed: )", 0), 0u)
      << finish;
}

// A terminal control profile that cannot be used is reported once the window exists, in the log
// and in a box, and the server serves all the same.
TEST(MainFormCoreTest, ATerminalControlProblemIsLoggedAndShownInABox) {
  const std::filesystem::path folder =
      std::filesystem::path(::testing::TempDir()) / "vantorix-core-profile";
  std::filesystem::create_directories(folder);
  const std::filesystem::path profile = folder / kTermProfileFileName;
  std::ofstream(profile) << "class = Site.Terminal\n";
#ifdef _WIN32
  const std::u16string problem = u"profile " + profile.u16string() +
                                 u": terminal control class \"Site.Terminal\" is not registered "
                                 u"(0x800401F3 Invalid class string)";
#else
  const std::u16string problem =
      u"profile " + profile.u16string() + u": COM terminal controls exist only on Windows";
#endif
  {
    TCoreHarness h(u"0", profile);
    h.Window.RunPending();
    EXPECT_EQ(h.Errors.Boxes, std::vector<std::u16string>{ErrorBoxText(problem)});
    // On Windows the line that names the control comes first.
    const auto logged = std::find_if(
        h.Controls.Entries.begin(), h.Controls.Entries.end(), [&](const std::u16string& line) {
          return line.size() >= problem.size() &&
                 line.compare(line.size() - problem.size(), problem.size(), problem) == 0;
        });
    EXPECT_NE(logged, h.Controls.Entries.end());
    EXPECT_TRUE(h.Core->wss().Server()->Active());
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace vantorix::test
