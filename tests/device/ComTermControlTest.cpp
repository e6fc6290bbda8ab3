// Tests of the COM terminal control against the COM test double: every operation with its in, out
// and ref arguments, Unicode texts, failing and raising operations, calls from other threads, and
// profiles that name a missing class or method or a method the operation cannot call.
#include "device/ComTermControl.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "json/JsonUtf8.h"
#include "tests/device/ComDouble.h"

namespace vantorix {
namespace {

using testing_support::DoubleProfile;
using testing_support::TDouble;

std::string Utf8(const std::u16string& text) {
  return JsonUtf8Encode(text);
}

// The message of the ETermControlError that call raises; "" when it raises none.
std::string RaisedBy(const std::function<void()>& call) {
  try {
    call();
  } catch (const ETermControlError& e) {
    return e.what();
  }
  return "";
}

// Whether text begins with prefix; reported with both when not.
::testing::AssertionResult StartsWith(const std::string& text, const std::string& prefix) {
  if (text.rfind(prefix, 0) == 0) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "\"" << text << "\" does not begin with \"" << prefix << "\"";
}

const std::u16string kIp = u"192.0.2.10";
constexpr std::int32_t kPort = 4370;

TEST(ComTermControlTest, EveryOperationPassesItsArgumentsAndFillsItsOutArguments) {
  TComTermControl control(DoubleProfile());
  ASSERT_TRUE(control.Problems().empty()) << control.Problems()[0];
  TDouble terminal(control);

  EXPECT_TRUE(control.SetCommPassword(77));
  EXPECT_TRUE(control.ConnectNet(kIp, kPort));
  EXPECT_EQ(terminal.TerminalState(kIp, kPort), "users=0 templates=0 enabled=1 connected=1 key=77");
  EXPECT_TRUE(control.EnableDevice(1, kComFalse));
  EXPECT_EQ(terminal.TerminalState(kIp, kPort), "users=0 templates=0 enabled=0 connected=1 key=77");

  EXPECT_TRUE(control.SetCardNumber(u"12345"));
  EXPECT_TRUE(control.SetUserInfo(1, u"7", u"Seven", u"pw7", 3, kComTrue));
  EXPECT_TRUE(control.SetUserInfo(1, u"8", u"Eight", u"", 0, kComFalse));
  // Any non-zero boolean is true, and reaches the control as VARIANT_TRUE.
  EXPECT_TRUE(control.SetUserInfo(1, u"9", u"Nine", u"", 0, 1));
  EXPECT_TRUE(control.SetUserTemplate(1, u"7", 6, 1, u"TPL-six"));
  EXPECT_TRUE(control.SetUserTemplate(1, u"7", 0, 0, u"TPL-zero"));
  EXPECT_FALSE(control.SetUserTemplate(1, u"nobody", 0, 0, u"x"));
  std::int32_t code = 99;
  control.GetLastError(code);
  EXPECT_EQ(code, -1);
  EXPECT_EQ(terminal.TerminalState(kIp, kPort), "users=3 templates=2 enabled=0 connected=1 key=77");

  EXPECT_TRUE(control.ReadAllUserIDs(1));
  EXPECT_TRUE(control.ReadAllTemplates(1));
  // Out texts are replaced, ref values overwritten.
  std::u16string number = u"stale";
  std::u16string name = u"stale";
  std::u16string password = u"stale";
  std::int32_t privilege = -5;
  TComBool enabled = kComFalse;
  ASSERT_TRUE(control.GetAllUserInfo(1, number, name, password, privilege, enabled));
  EXPECT_EQ(number, u"7");
  EXPECT_EQ(name, u"Seven");
  EXPECT_EQ(password, u"pw7");
  EXPECT_EQ(privilege, 3);
  EXPECT_EQ(enabled, kComTrue);
  std::u16string card = u"stale";
  EXPECT_TRUE(control.GetCardNumber(card));
  EXPECT_EQ(card, u"12345");
  std::int32_t flag = -1;
  std::u16string data = u"stale";
  std::int32_t length = -1;
  ASSERT_TRUE(control.GetUserTemplate(1, u"7", 6, flag, data, length));
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(data, u"TPL-six");
  EXPECT_EQ(length, 7);
  EXPECT_FALSE(control.GetUserTemplate(1, u"7", 5, flag, data, length));
  EXPECT_EQ(data, u"");
  control.GetLastError(code);
  EXPECT_EQ(code, -1);

  ASSERT_TRUE(control.GetAllUserInfo(1, number, name, password, privilege, enabled));
  EXPECT_EQ(number, u"8");
  EXPECT_EQ(password, u"");
  EXPECT_EQ(privilege, 0);
  EXPECT_EQ(enabled, kComFalse);
  EXPECT_TRUE(control.GetCardNumber(card));
  EXPECT_EQ(card, u"");
  ASSERT_TRUE(control.GetAllUserInfo(1, number, name, password, privilege, enabled));
  EXPECT_EQ(number, u"9");
  EXPECT_EQ(enabled, kComTrue);
  EXPECT_FALSE(control.GetAllUserInfo(1, number, name, password, privilege, enabled));

  EXPECT_TRUE(control.DeleteUserTemplate(1, u"7", 6));
  EXPECT_FALSE(control.DeleteUserTemplate(1, u"7", 6));
  EXPECT_TRUE(control.DeleteEnrollData(1, u"8", 12));
  EXPECT_FALSE(control.DeleteEnrollData(1, u"8", 12));
  control.GetLastError(code);
  EXPECT_EQ(code, -1);
  EXPECT_TRUE(control.RefreshData(1));
  control.GetLastError(code);
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(control.EnableDevice(1, kComTrue));
  control.Disconnect();
  EXPECT_EQ(terminal.TerminalState(kIp, kPort), "users=2 templates=1 enabled=1 connected=0 key=77");
  EXPECT_FALSE(control.ReadAllUserIDs(1));
  control.GetLastError(code);
  EXPECT_EQ(code, -6);
}

// Texts travel as UTF-16 code units, unchanged: whatever the terminal stores comes back.
TEST(ComTermControlTest, UnicodeTextsArriveUnchanged) {
  const std::u16string texts[] = {
      u"Zo\u00EB \u00C5ngstr\u00F6m",   u"\u674E\u5C0F\u9F99",
      u"\U0001F600 and \U00010348",  // surrogate pairs
      u"lone \xD800 surrogate",         std::u16string(u"nul\0inside", 10),
      std::u16string(70000, u'\u00E9'),
  };
  TComTermControl control(DoubleProfile());
  ASSERT_TRUE(control.ConnectNet(kIp, kPort));
  for (const std::u16string& text : texts) {
    SCOPED_TRACE(text.size());
    ASSERT_TRUE(control.SetCardNumber(text));
    ASSERT_TRUE(control.SetUserInfo(1, text, text, text, 0, kComTrue));
    ASSERT_TRUE(control.SetUserTemplate(1, text, 2, 0, text));
  }
  ASSERT_TRUE(control.ReadAllUserIDs(1));
  for (const std::u16string& text : texts) {
    std::u16string number;
    std::u16string name;
    std::u16string password;
    std::int32_t privilege = 0;
    TComBool enabled = kComFalse;
    ASSERT_TRUE(control.GetAllUserInfo(1, number, name, password, privilege, enabled));
    std::u16string card;
    control.GetCardNumber(card);
    std::int32_t flag = 0;
    std::u16string data;
    std::int32_t length = 0;
    EXPECT_TRUE(control.GetUserTemplate(1, number, 2, flag, data, length));
    EXPECT_EQ(number, text);
    EXPECT_EQ(name, text);
    EXPECT_EQ(password, text);
    EXPECT_EQ(card, text);
    EXPECT_EQ(data, text);
  }
}

// Each of the sixteen operations, called with plain arguments on a connected control; void
// operations answer true.
struct TOperationCall {
  TTermOperation operation;
  std::function<bool(TTermControl&)> call;
};

std::vector<TOperationCall> AllOperations() {
  using O = TTermOperation;
  return {
      {O::SetCommPassword, [](TTermControl& c) { return c.SetCommPassword(1); }},
      {O::ConnectNet, [](TTermControl& c) { return c.ConnectNet(kIp, kPort); }},
      {O::Disconnect,
       [](TTermControl& c) {
         c.Disconnect();
         return true;
       }},
      {O::EnableDevice, [](TTermControl& c) { return c.EnableDevice(1, kComTrue); }},
      {O::ReadAllUserIDs, [](TTermControl& c) { return c.ReadAllUserIDs(1); }},
      {O::ReadAllTemplates, [](TTermControl& c) { return c.ReadAllTemplates(1); }},
      {O::GetAllUserInfo,
       [](TTermControl& c) {
         std::u16string number, name, password;
         std::int32_t privilege = 0;
         TComBool enabled = 0;
         return c.GetAllUserInfo(1, number, name, password, privilege, enabled);
       }},
      {O::GetCardNumber,
       [](TTermControl& c) {
         std::u16string card;
         return c.GetCardNumber(card);
       }},
      {O::GetUserTemplate,
       [](TTermControl& c) {
         std::int32_t flag = 0, length = 0;
         std::u16string data;
         return c.GetUserTemplate(1, u"1", 0, flag, data, length);
       }},
      {O::SetCardNumber, [](TTermControl& c) { return c.SetCardNumber(u"5"); }},
      {O::SetUserInfo,
       [](TTermControl& c) { return c.SetUserInfo(1, u"1", u"n", u"", 0, kComTrue); }},
      {O::SetUserTemplate, [](TTermControl& c) { return c.SetUserTemplate(1, u"1", 0, 0, u"t"); }},
      {O::DeleteEnrollData, [](TTermControl& c) { return c.DeleteEnrollData(1, u"1", 10); }},
      {O::DeleteUserTemplate, [](TTermControl& c) { return c.DeleteUserTemplate(1, u"1", 0); }},
      {O::RefreshData, [](TTermControl& c) { return c.RefreshData(1); }},
      {O::GetLastError,
       [](TTermControl& c) {
         std::int32_t code = 0;
         c.GetLastError(code);
         return true;
       }},
  };
}

// Prepares a control whose every operation succeeds: connected, user 1 with a template at 0,
// and its user list read (GetAllUserInfo has a user to return).
void Prepare(TComTermControl& control) {
  ASSERT_TRUE(control.ConnectNet(kIp, kPort));
  ASSERT_TRUE(control.SetUserInfo(1, u"1", u"n", u"", 0, kComTrue));
  ASSERT_TRUE(control.SetUserTemplate(1, u"1", 0, 0, u"t"));
  ASSERT_TRUE(control.ReadAllUserIDs(1));
}

TEST(ComTermControlTest, AFailingOperationAnswersFalseWithItsErrorCode) {
  const TTermProfile profile = DoubleProfile();
  std::int32_t code = 1000;
  for (const TOperationCall& op : AllOperations()) {
    if (op.operation == TTermOperation::Disconnect ||
        op.operation == TTermOperation::GetLastError) {
      continue;  // they answer nothing
    }
    SCOPED_TRACE(Utf8(std::u16string(TermOperationName(op.operation))));
    TComTermControl control(profile);
    Prepare(control);
    ASSERT_TRUE(op.call(control)) << "succeeds without the fault";
    ASSERT_TRUE(control.ReadAllUserIDs(1));
    TDouble(control).FailNext(profile.Method(op.operation), ++code);
    EXPECT_FALSE(op.call(control));
    std::int32_t reported = 0;
    control.GetLastError(reported);
    EXPECT_EQ(reported, code);
  }
}

// An exception of the control, or a failed call, raises ETermControlError that names the control,
// the operation and the control's method where its name differs; the control goes on working.
TEST(ComTermControlTest, ARaisingOperationRaisesATextNamingTheOperation) {
  const TTermProfile profile = DoubleProfile();
  TComTermControl control(profile);
  Prepare(control);
  TDouble terminal(control);
  int n = 0;
  for (const TOperationCall& op : AllOperations()) {
    const std::u16string ours(TermOperationName(op.operation));
    SCOPED_TRACE(Utf8(ours));
    const std::u16string& method = profile.Method(op.operation);
    const std::string named = "terminal control \"Vantorix.TestTerminal\": " + Utf8(ours) +
                              (method == ours ? "" : " (method \"" + Utf8(method) + "\")");
    const std::u16string description = u"terminal busy \u00FC " + std::u16string(1, u'a' + n);
    // Every other exception fills its texts in only when asked.
    terminal.RaiseNext(method, description, n++ % 2 == 1);
    EXPECT_EQ(RaisedBy([&] { op.call(control); }),
              named + " raised an exception: " + Utf8(description) +
                  " (Vantorix.TestTerminal, 0x80040201)");
    terminal.ReturnNext(method, E_OUTOFMEMORY);
    EXPECT_TRUE(StartsWith(RaisedBy([&] { op.call(control); }), named + " failed: 0x8007000E"));
    Prepare(control);
    EXPECT_TRUE(op.call(control)) << "works again";
    Prepare(control);
  }
}

// The double refuses calls on any thread but the one that created it (its apartment), so these
// calls reach it only because the control carries them to its own thread.
TEST(ComTermControlTest, CallsFromTwoConnectionThreadsOneAfterAnother) {
  TComTermControl control(DoubleProfile());
  std::string raised;
  std::thread first([&] {
    raised = RaisedBy([&] {
      EXPECT_TRUE(control.SetCommPassword(5));
      EXPECT_TRUE(control.ConnectNet(kIp, kPort));
      EXPECT_TRUE(control.SetUserInfo(1, u"41", u"from the first thread", u"", 0, kComTrue));
    });
  });
  first.join();
  EXPECT_EQ(raised, "");
  std::thread second([&] {
    raised = RaisedBy([&] {
      EXPECT_TRUE(control.ReadAllUserIDs(1));
      std::u16string number, name, password;
      std::int32_t privilege = 0;
      TComBool enabled = kComFalse;
      EXPECT_TRUE(control.GetAllUserInfo(1, number, name, password, privilege, enabled));
      EXPECT_EQ(name, u"from the first thread");
      control.Disconnect();
    });
  });
  second.join();
  EXPECT_EQ(raised, "");
  EXPECT_EQ(TDouble(control).TerminalState(kIp, kPort),
            "users=1 templates=0 enabled=1 connected=0 key=5");
}

// What a profile gets wrong is listed at creation and raised by the operations it concerns;
// the others work.
TEST(ComTermControlTest, ProfileFaultsAreListedAndRaisedByWhatNeedsThem) {
  struct TCase {
    std::string profile;
    std::string problem;  // the first problem listed
    bool othersWork;
  };
  const TCase cases[] = {
      {"class = Vantorix.NoSuchTerminal",
       "terminal control class \"Vantorix.NoSuchTerminal\" is not registered (0x800401F3 Invalid "
       "class string)",
       false},
      {"class = {6B0C4D5E-0000-4000-8000-00000000ABCD}",
       "terminal control class \"{6B0C4D5E-0000-4000-8000-00000000ABCD}\" is not registered "
       "(0x80040154 Class not registered)",
       false},
      {"class = Vantorix.TestTerminal\nConnectNet = Connect_Net",
       "terminal control \"Vantorix.TestTerminal\" has no method \"Connect_Net\" (for ConnectNet) "
       "(0x80020006 Unknown name)",
       true},
      {"class = Vantorix.TestTerminal",
       "terminal control \"Vantorix.TestTerminal\" has no method \"ConnectNet\" (0x80020006 "
       "Unknown name)",
       true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.profile);
    TComTermControl control(ParseTermProfile(c.profile));
    ASSERT_GE(control.Problems().size(), 1u);
    EXPECT_EQ(control.Problems()[0], c.problem);
    EXPECT_EQ(RaisedBy([&] { control.ConnectNet(kIp, kPort); }), c.problem);
    EXPECT_EQ(RaisedBy([&] { control.SetCommPassword(1); }), c.othersWork ? "" : c.problem);
  }
}

// A profile that maps an operation onto a method with other arguments or another answer: the
// call fails with the argument at fault, or for want of a boolean answer.
TEST(ComTermControlTest, MethodsThatDoNotFitTheOperationRaise) {
  struct TCase {
    std::string line;
    std::function<void(TTermControl&)> call;
    std::string message;
  };
  const TCase cases[] = {
      {"SetCardNumber = SetCommPassword", [](TTermControl& c) { c.SetCardNumber(u"5"); },
       "SetCardNumber (method \"SetCommPassword\") failed: 0x80020005 Type mismatch (argument 1)"},
      {"ReadAllUserIDs = SetCardNumber", [](TTermControl& c) { c.ReadAllUserIDs(1); },
       "ReadAllUserIDs (method \"SetCardNumber\") failed: 0x80020005 Type mismatch (argument 1)"},
      {"DeleteUserTemplate = SetUserInfo",
       [](TTermControl& c) { c.DeleteUserTemplate(1, u"1", 2); },
       "DeleteUserTemplate (method \"SetUserInfo\") failed: 0x8002000E Invalid number of "
       "parameters"},
      {"EnableDevice = RaiseAtCall", [](TTermControl& c) { c.EnableDevice(1, kComTrue); },
       "EnableDevice (method \"RaiseAtCall\") failed: 0x80020005 Type mismatch (argument 2)"},
      {"ConnectNet = FailNext", [](TTermControl& c) { c.ConnectNet(u"EnableDevice", 1); },
       "ConnectNet (method \"FailNext\") gave no answer where true or false was expected"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.line);
    TComTermControl control(ParseTermProfile("class = Vantorix.TestTerminal\n" + c.line));
    EXPECT_EQ(RaisedBy([&] { c.call(control); }),
              "terminal control \"Vantorix.TestTerminal\": " + c.message);
  }
}

}  // namespace
}  // namespace vantorix
