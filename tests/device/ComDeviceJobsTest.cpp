// The device jobs through the COM terminal control and the COM test double: a whole terminal
// moved and compared, deletions, failures the terminal reports, and a control that raises at
// every call of every job in turn.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/ComTermControl.h"
#include "device/DeviceJobs.h"
#include "json/JsonUtf8.h"
#include "tests/device/ComDouble.h"
#include "tests/device/RecordingControl.h"

namespace vantorix {
namespace {

using testing_support::DoubleProfile;
using testing_support::TDouble;
using testing_support::TRecordingControl;

std::unique_ptr<TJsonArray> ParseArray(const std::u16string& text) {
  std::unique_ptr<TJsonNode> node = TJsonNode::Parse(text);
  auto* array = dynamic_cast<TJsonArray*>(node.get());
  EXPECT_NE(array, nullptr);
  node.release();
  return std::unique_ptr<TJsonArray>(array);
}

std::u16string Decimal(int value) {
  return JsonUtf8Decode(std::to_string(value));
}

// Jobs on a COM control over the double, with every call recorded on the way.
class ComDeviceJobsTest : public ::testing::Test {
 protected:
  ComDeviceJobsTest() {
    auto control = std::make_unique<TComTermControl>(DoubleProfile());
    fControl = control.get();
    auto recording = std::make_unique<TRecordingControl>(std::move(control));
    calls = recording.get();
    jobs = std::make_unique<TDeviceJobs>(std::move(recording));
  }

  std::string State(const std::u16string& ip) { return TDouble(*fControl).TerminalState(ip, 4370); }
  TDouble Double() { return TDouble(*fControl); }

  TComTermControl* fControl = nullptr;
  TRecordingControl* calls = nullptr;
  std::unique_ptr<TDeviceJobs> jobs;
  const std::u16string a = u"10.1.0.1";
  const std::u16string b = u"10.1.0.2";
};

// 120 users in the form a read produces (key order, templates by finger, "fpCount" last), with
// names beyond ASCII, cards, passwords and templates of varying number.
std::u16string HundredTwentyUsers(int& templates) {
  std::u16string json = u"[";
  templates = 0;
  for (int i = 0; i < 120; ++i) {
    const std::u16string number = Decimal(1000 + i * 7);
    json += (i == 0 ? u"" : u",");
    json += u"{\"enrollNumber\":\"" + number + u"\",\"enabled\":" +
            (i % 5 != 0 ? u"true" : u"false") + u",\"name\":\"N\u00E9\\\"\\\\\U0001F600 " +
            Decimal(i) + u"\",\"cardNumber\":\"" + (i % 3 == 0 ? u"" : Decimal(900000 + i)) +
            u"\",\"password\":\"" + (i % 4 != 0 ? u"" : u"p" + number) + u"\",\"privilege\":" +
            Decimal(i % 15);
    std::u16string fingers;
    int count = 0;
    for (int f = 0; f < 10; ++f) {
      if ((i + f) % 4 == 0) {
        fingers += std::u16string(count == 0 ? u"" : u",") + u"{\"fingerIndex\":" + Decimal(f) +
                   u",\"flag\":" + Decimal((i + f) % 3) + u",\"templateData\":\"TPL/" + number +
                   u"+" + Decimal(f) + u"==\"}";
        ++count;
      }
    }
    if (count > 0) {
      json += u",\"fpTemplates\":[" + fingers + u"]";
    }
    json += u",\"fpCount\":" + Decimal(count) + u"}";
    templates += count;
  }
  return json + u"]";
}

TEST_F(ComDeviceJobsTest, MovingA120UserTerminalLosesNothing) {
  int templates = 0;
  const std::u16string original = HundredTwentyUsers(templates);
  auto users = ParseArray(original);
  ASSERT_EQ(jobs->syncToDevice(a, u"4370", u"0", users.get()), u"*Upload user successful!");

  TGetFromDeviceResult fromA = jobs->getFromDevice(a, u"4370", u"0");
  ASSERT_NE(fromA.document, nullptr) << JsonUtf8Encode(fromA.failure);
  EXPECT_EQ(fromA.document->ToJSON(true), u"{\"users\":" + original + u"}");
  // Carried as JSON text, as a client would carry it.
  std::unique_ptr<TJsonNode> carried = TJsonNode::Parse(fromA.document->ToJSON(true));
  std::unique_ptr<TJsonArray> moved = dynamic_cast<TJsonObject&>(*carried).ExtractArray(u"users");
  ASSERT_NE(moved, nullptr);
  ASSERT_EQ(jobs->syncToDevice(b, u"4370", u"0", moved.get()), u"*Upload user successful!");

  TGetFromDeviceResult fromB = jobs->getFromDevice(b, u"4370", u"0");
  ASSERT_NE(fromB.document, nullptr);
  EXPECT_EQ(fromB.document->ToJSON(true), fromA.document->ToJSON(true));
  const std::string counts = "users=120 templates=" + std::to_string(templates);
  EXPECT_EQ(State(a), counts + " enabled=1 connected=0 key=0");
  EXPECT_EQ(State(b), counts + " enabled=1 connected=0 key=0");
}

TEST_F(ComDeviceJobsTest, DeletionsAndFailuresTheTerminalReportsReachTheResultTexts) {
  auto users = ParseArray(
      u"[{\"enrollNumber\":\"5\",\"fpCount\":2,\"fpTemplates\":[{\"fingerIndex\":1,"
      u"\"templateData\":\"a\"},{\"fingerIndex\":3,\"templateData\":\"b\"}]},"
      u"{\"enrollNumber\":\"6\"},{\"enrollNumber\":\"7\"}]");
  ASSERT_EQ(jobs->syncToDevice(a, u"4370", u"9", users.get()), u"*Upload user successful!");
  EXPECT_EQ(State(a), "users=3 templates=2 enabled=1 connected=0 key=9");

  Double().FailNext(u"SetUserInfo", 1234);
  EXPECT_EQ(jobs->syncToDevice(a, u"4370", u"9", users.get()),
            u"*Upload user 5 error,ErrorCode=!1234")
      << "a later user's success does not hide the refused first one";
  Double().FailNext(u"StoreTemplate", 77);
  auto one =
      ParseArray(u"[{\"enrollNumber\":\"5\",\"fpCount\":1,\"fpTemplates\":[{\"fingerIndex\":1}]}]");
  EXPECT_EQ(jobs->syncToDevice(a, u"4370", u"9", one.get()), u"*Upload user 5 error,ErrorCode=!77");

  auto fingers = ParseArray(
      u"[{\"enrollNumber\":\"5\",\"fingerIndex\":1},{\"enrollNumber\":\"5\",\"fingerIndex\":3}]");
  EXPECT_EQ(jobs->deleteFingerTemplateFromDevice(a, u"4370", u"9", fingers.get()),
            u"SSR_DelUserTmpExt,UserID=5 FingerIndex=3");
  auto enrolments = ParseArray(
      u"[{\"enrollNumber\":\"5\",\"deleteOption\":11},{\"enrollNumber\":\"7\",\"deleteOption\":"
      u"\"12\"}]");
  EXPECT_EQ(jobs->deleteEnrolledDataFromDevice(a, u"4370", u"9", enrolments.get()),
            u"SSR_DeleteEnrollData,UserID=7 BackupNumber=12");
  EXPECT_EQ(State(a), "users=2 templates=0 enabled=1 connected=0 key=9");

  Double().FailNext(u"OpenTerminal", -7);
  EXPECT_EQ(jobs->syncToDevice(a, u"4370", u"9", users.get()),
            u"sync to device:10.1.0.1 failed! Can not connect.");
  Double().FailNext(u"ReadAllTemplates", -2);
  TGetFromDeviceResult fetched = jobs->getFromDevice(a, u"4370", u"9");
  EXPECT_EQ(fetched.document, nullptr);
  EXPECT_EQ(fetched.failure, u"sync from device:10.1.0.1 failed! Can not read,ErrorCode=-2");
  EXPECT_EQ(State(a), "users=2 templates=0 enabled=1 connected=0 key=9");
  EXPECT_FALSE(jobs->TerminalConnected());
}

// Countdown: the control raises at the n-th call of a job, for every n the job makes. The job
// raises the control's error; the terminal is re-enabled and disconnected unless the call that
// raised was the very one that would have done it; the next job works.
TEST_F(ComDeviceJobsTest, ARaiseAtAnyCallEndsTheJobAndCleansUp) {
  auto records = ParseArray(
      u"[{\"enrollNumber\":\"8\",\"cardNumber\":\"31\",\"password\":\"p\",\"fpCount\":1,"
      u"\"fpTemplates\":[{\"fingerIndex\":1,\"templateData\":\"x\"}]},{\"enrollNumber\":\"9\"}]");
  auto enrolments = ParseArray(u"[{\"enrollNumber\":\"8\",\"deleteOption\":10}]");
  auto fingers = ParseArray(u"[{\"enrollNumber\":\"8\",\"fingerIndex\":1}]");
  // Every run starts from the same terminal, so it makes the same calls up to the fault.
  const auto restore = [&] {
    ASSERT_EQ(jobs->syncToDevice(a, u"4370", u"0", records.get()), u"*Upload user successful!");
    calls->Take();
  };
  struct TJob {
    const char* name;
    std::function<void()> run;
  };
  const TJob all[] = {
      {"sync", [&] { jobs->syncToDevice(a, u"4370", u"0", records.get()); }},
      {"get", [&] { jobs->getFromDevice(a, u"4370", u"0"); }},
      {"delete", [&] { jobs->deleteEnrolledDataFromDevice(a, u"4370", u"0", enrolments.get()); }},
      {"delete finger",
       [&] { jobs->deleteFingerTemplateFromDevice(a, u"4370", u"0", fingers.get()); }},
  };
  for (const TJob& job : all) {
    restore();
    job.run();
    const std::vector<std::string> clean = calls->Take();
    ASSERT_GE(clean.size(), 4u) << job.name;
    for (std::size_t n = 1; n <= clean.size(); ++n) {
      const std::string& raising = clean[n - 1];
      SCOPED_TRACE(std::string(job.name) + ", raising at call " + std::to_string(n) + ", " +
                   raising);
      restore();
      const std::string fault = "fault at " + std::to_string(n);
      Double().RaiseAtCall(static_cast<std::int32_t>(n), JsonUtf8Decode(fault));
      try {
        job.run();
        ADD_FAILURE() << "no exception";
      } catch (const ETermControlError& e) {
        EXPECT_NE(std::string(e.what()).find("raised an exception: " + fault), std::string::npos)
            << e.what();
      }
      EXPECT_FALSE(jobs->TerminalConnected());
      const bool disconnectRaised = raising == "Disconnect()";
      const bool enableRaised = raising == "EnableDevice(1,-1)";
      EXPECT_NE(State(a).find(std::string(" enabled=") + (enableRaised ? "0" : "1") +
                              " connected=" + (disconnectRaised ? "1" : "0")),
                std::string::npos)
          << State(a);
      restore();
      job.run();
      EXPECT_EQ(calls->Take(), clean) << "the next run works as before";
    }
  }
}

}  // namespace
}  // namespace vantorix
