// Tests of choosing the terminal control at start-up: no profile, a profile that cannot be used,
// and (on Windows) profiles naming the COM test double, a missing class or missing methods.
#include "device/TermControlSetup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "json/JsonUtf8.h"

namespace vantorix {
namespace {

// A profile file with text in a folder of the test's own; removed with the object.
struct TProfileFile {
  explicit TProfileFile(const std::string& text)
      : folder(std::filesystem::path(::testing::TempDir()) /
               ("vantorix-profile-" +
                std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()))),
        path(folder / kTermProfileFileName) {
    std::filesystem::create_directories(folder);
    std::ofstream(path, std::ios::binary) << text;
  }
  ~TProfileFile() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
  std::string Where() const { return "profile " + JsonUtf8Encode(path.u16string()); }

  std::filesystem::path folder;
  std::filesystem::path path;
};

// The message of the ETermControlError a job raises; "" when it raises none.
std::string JobRaises(TDeviceJobs& jobs) {
  try {
    jobs.getFromDevice(u"10.2.0.1", u"4370", u"0");
  } catch (const ETermControlError& e) {
    return e.what();
  }
  return "";
}

TEST(TermControlSetupTest, WithoutAProfileTheNetworkControlIsUsedSilently) {
  const TTermControlSetup setup = SetUpTermControl(std::filesystem::path(::testing::TempDir()) /
                                                   "no-such-folder" / kTermProfileFileName);
  EXPECT_EQ(setup.Report, u"");
  EXPECT_EQ(setup.Problem, u"");
  ASSERT_TRUE(setup.MakeDeviceJobs);
  EXPECT_NE(setup.MakeDeviceJobs(), nullptr);
  EXPECT_EQ(SetUpTermControl({}).Problem, u"");
}

TEST(TermControlSetupTest, AProfileThatCannotBeReadIsReportedAndRaisedByEveryJob) {
  const TProfileFile file("class = Vantorix.TestTerminal\nConectNet = OpenTerminal\n");
  const TTermControlSetup setup = SetUpTermControl(file.path);
  const std::string problem =
      file.Where() +
      ": line 2: \"ConectNet\" is neither \"class\" nor one of the sixteen operation names";
  EXPECT_EQ(JsonUtf8Encode(setup.Problem), problem);
  EXPECT_EQ(setup.Report, u"");
  for (int i = 0; i < 2; ++i) {  // the checked control, then a new one
    std::unique_ptr<TDeviceJobs> jobs = setup.MakeDeviceJobs();
    EXPECT_EQ(JobRaises(*jobs), problem);
    EXPECT_FALSE(jobs->TerminalConnected());
  }
  // Jobs to several terminals at once each get a control of their own, the checked one to just
  // one of them, and every one raises the problem.
  std::unique_ptr<TDeviceJobs> jobs = setup.MakeDeviceJobs();
  std::vector<std::string> raised(4);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < raised.size(); ++i) {
    threads.emplace_back([&jobs, &raised, i] {
      try {
        jobs->getFromDevice(u"10.2.0." + std::u16string(1, static_cast<char16_t>(u'1' + i)),
                            u"4370", u"0");
      } catch (const ETermControlError& e) {
        raised[i] = e.what();
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(raised, std::vector<std::string>(raised.size(), problem));
}

#ifdef _WIN32

TEST(TermControlSetupTest, TheExampleProfileReachesTheTestDouble) {
  std::ifstream example(VANTORIX_EXAMPLE_PROFILE, std::ios::binary);
  const TProfileFile file(
      std::string((std::istreambuf_iterator<char>(example)), std::istreambuf_iterator<char>()));
  const TTermControlSetup setup = SetUpTermControl(file.path);
  EXPECT_EQ(setup.Problem, u"");
  EXPECT_EQ(JsonUtf8Encode(setup.Report),
            "Terminal control Vantorix.TestTerminal (" + file.Where() + "): every operation found");
  for (int i = 0; i < 2; ++i) {
    std::unique_ptr<TDeviceJobs> jobs = setup.MakeDeviceJobs();
    TGetFromDeviceResult fetched = jobs->getFromDevice(u"10.2.0.1", u"4370", u"0");
    ASSERT_NE(fetched.document, nullptr);
    EXPECT_EQ(fetched.document->ToJSON(true), u"{}");
  }
}

TEST(TermControlSetupTest, TheProgramsProfileIsBesideIt) {
  const std::filesystem::path path = TermProfilePath();
  EXPECT_EQ(path.filename(), kTermProfileFileName);
  EXPECT_TRUE(std::filesystem::exists(path.parent_path() / "device_com_tests.exe")) << path;
}

TEST(TermControlSetupTest, AMissingClassOrMethodIsReportedAtStartUp) {
  struct TCase {
    std::string profile;
    std::string problem;  // after "profile <path>: "
    std::string raised;   // the beginning of what a job raises
  };
  const TCase cases[] = {
      {"class = Vantorix.NoSuchTerminal",
       "terminal control class \"Vantorix.NoSuchTerminal\" is not registered (0x800401F3 Invalid "
       "class string)",
       "terminal control class \"Vantorix.NoSuchTerminal\" is not registered"},
      {"class = Vantorix.TestTerminal\nConnectNet = OpenTerminal\nDisconnect = CloseTerminal\n"
       "GetUserTemplate = Fetch\nSetUserTemplate = Store",
       "terminal control \"Vantorix.TestTerminal\" has no method \"Fetch\" (for GetUserTemplate) "
       "(0x80020006 Unknown name)",
       ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.profile);
    const TProfileFile file(c.profile);
    const TTermControlSetup setup = SetUpTermControl(file.path);
    const std::string problem = JsonUtf8Encode(setup.Problem);
    EXPECT_EQ(problem.rfind(file.Where() + ": " + c.problem, 0), 0u) << problem;
    std::unique_ptr<TDeviceJobs> jobs = setup.MakeDeviceJobs();
    EXPECT_EQ(JobRaises(*jobs).rfind(c.raised, 0), 0u);
  }
  // Both missing methods are listed, in the order of the operations.
  const TProfileFile file(
      "class = Vantorix.TestTerminal\nConnectNet = OpenTerminal\n"
      "GetUserTemplate = FetchTemplate\nSetUserTemplate = Store\n");
  const std::string problem = JsonUtf8Encode(SetUpTermControl(file.path).Problem);
  const std::size_t disconnect = problem.find("has no method \"Disconnect\" (0x80020006");
  const std::size_t store = problem.find(
      "; terminal control \"Vantorix.TestTerminal\" has no "
      "method \"Store\" (for SetUserTemplate)");
  EXPECT_NE(disconnect, std::string::npos) << problem;
  EXPECT_NE(store, std::string::npos) << problem;
  EXPECT_LT(disconnect, store);
}

#else

TEST(TermControlSetupTest, AProfileNeedsWindows) {
  const TProfileFile file("class = Site.Terminal\n");
  const TTermControlSetup setup = SetUpTermControl(file.path);
  EXPECT_EQ(JsonUtf8Encode(setup.Problem),
            file.Where() + ": COM terminal controls exist only on Windows");
  EXPECT_EQ(JobRaises(*setup.MakeDeviceJobs()), JsonUtf8Encode(setup.Problem));
  EXPECT_EQ(TermProfilePath(), std::filesystem::path());
}

#endif

}  // namespace
}  // namespace vantorix
