// Tests of the device connection: connect and its conversions, the bulk read and write of users
// and templates, and the deletions, against the in-process simulated terminal.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "device/SDKHelper.h"
#include "tests/device/DeviceTestSupport.h"

namespace vantorix {
namespace {

using testing_support::Compact;
using testing_support::Narrow;
using testing_support::ParseArray;
using testing_support::RefusedPort;
using testing_support::TRecordedControl;
using testing_support::TSimulator;
using testing_support::Utf16;
using Calls = std::vector<std::string>;

class SDKHelperTest : public ::testing::Test {
 protected:
  SDKHelperTest() : helper(std::move(control.owner)) {}
  void ConnectOrFail() {
    ASSERT_TRUE(helper.Connect(u"127.0.0.1", sim.PortText(), u"16"));
    control.calls.Take();
  }
  std::unique_ptr<TJsonObject> Read() {
    std::int32_t code = 99;
    auto document = helper.getAllUserFPInfo(code);
    EXPECT_EQ(code, 0);
    return document;
  }
  std::string Write(std::u16string_view users) {
    auto array = ParseArray(users);
    return Narrow(helper.setAllUserFPInfo(*array));
  }
  // The calls of the last operation that reached SetUserInfo or SetUserTemplate.
  Calls Writes() {
    Calls out;
    for (const auto& call : control.calls.Take()) {
      if (call.rfind("SetUser", 0) == 0 || call.rfind("SetCard", 0) == 0) {
        out.push_back(call);
      }
    }
    return out;
  }

  TSimulator sim{16};
  TRecordedControl control;
  TSDKHelper helper;
};

TEST_F(SDKHelperTest, UnreachableTerminalSetsPasswordOnceAndDisconnectCallsNothing) {
  std::u16string port = Utf16(std::to_string(RefusedPort()));
  EXPECT_FALSE(helper.Connect(u"127.0.0.1", port, u"5"));
  EXPECT_FALSE(helper.IsConnected());
  helper.Disconnect();
  EXPECT_EQ(control.calls.Take(),
            (Calls{"SetCommPassword(5)", "ConnectNet(127.0.0.1," + Narrow(port) + ")"}));
}

// The password is converted and set before the connected test, the port only when connecting.
TEST_F(SDKHelperTest, ConversionsAndTheirOrderAroundSetCommPassword) {
  struct TCase {
    std::u16string port;
    std::u16string key;
    std::string error;  // empty: connects
    Calls calls;
  };
  std::string p = std::to_string(sim.Port());
  std::u16string port = Utf16(p);
  const TCase cases[] = {
      {port, u"", "'' is not a valid integer value", {}},
      {port, u"7 ", "'7 ' is not a valid integer value", {}},
      {u"44x", u"3", "'44x' is not a valid integer value", {"SetCommPassword(3)"}},
      {port + u" ", u"0", "'" + p + " ' is not a valid integer value", {"SetCommPassword(0)"}},
      {u" " + port, u"0x10", "", {"SetCommPassword(16)", "ConnectNet(127.0.0.1," + p + ")"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.port) + "/" + Narrow(c.key));
    if (!c.error.empty()) {
      try {
        helper.Connect(u"127.0.0.1", c.port, c.key);
        ADD_FAILURE() << "no conversion error";
      } catch (const EConvertError& e) {
        EXPECT_EQ(e.what(), c.error);
      }
      EXPECT_FALSE(helper.IsConnected());
    } else {
      EXPECT_TRUE(helper.Connect(u"127.0.0.1", c.port, c.key));
    }
    EXPECT_EQ(control.calls.Take(), c.calls);
  }
  // Connected: only the password is set, the port is not even converted.
  EXPECT_TRUE(helper.Connect(u"10.0.0.1", u"junk", u"$20"));
  EXPECT_EQ(control.calls.Take(), Calls{"SetCommPassword(32)"});
  helper.Disconnect();
  helper.Disconnect();
  EXPECT_EQ(control.calls.Take(), Calls{"Disconnect()"});
}

TEST_F(SDKHelperTest, ReadWhenNotConnectedGivesEmptyDocumentWithoutCalls) {
  auto document = Read();
  EXPECT_EQ(Compact(*document), "{}");
  EXPECT_TRUE(control.calls.Take().empty());
}

TEST_F(SDKHelperTest, ReadOfTerminalWithoutUsersStillDisablesAndEnables) {
  ConnectOrFail();
  EXPECT_EQ(Compact(*Read()), "{}");
  EXPECT_EQ(control.calls.Take(),
            (Calls{"EnableDevice(1,0)", "ReadAllUserIDs(1)", "ReadAllTemplates(1)",
                   "GetAllUserInfo(1)", "EnableDevice(1,-1)"}));
  EXPECT_TRUE(sim.server->IsEnabled());
}

TEST_F(SDKHelperTest, ReadGivesRecordsInKeyOrderWithTemplatesOnlyWhenPresent) {
  sim.server->Edit([](TTerminalStore& store) {
    TStoredUser& a = store.Put(TLinkUser{u"12", u"Ann \"A\"", u"pw", 14, true, u"0099"});
    a.fingers[6] = TStoredTemplate{3, u"SIX"};
    a.fingers[0] = TStoredTemplate{1, u"ZERO"};
    store.Put(TLinkUser{u"3", u"Bob", u"", 0, false, u""});
  });
  ConnectOrFail();
  EXPECT_EQ(Compact(*Read()),
            "{\"users\":["
            "{\"enrollNumber\":\"12\",\"enabled\":true,\"name\":\"Ann \\\"A\\\"\","
            "\"cardNumber\":\"0099\",\"password\":\"pw\",\"privilege\":14,\"fpTemplates\":["
            "{\"fingerIndex\":0,\"flag\":1,\"templateData\":\"ZERO\"},"
            "{\"fingerIndex\":6,\"flag\":3,\"templateData\":\"SIX\"}],\"fpCount\":2},"
            "{\"enrollNumber\":\"3\",\"enabled\":false,\"name\":\"Bob\",\"cardNumber\":\"\","
            "\"password\":\"\",\"privilege\":0,\"fpCount\":0}]}");
  Calls calls = control.calls.Take();
  EXPECT_EQ(control.calls.Count("GetUserTemplate"), 0);
  int templateCalls = 0;
  for (const auto& call : calls) {
    templateCalls += call.rfind("GetUserTemplate", 0) == 0 ? 1 : 0;
  }
  EXPECT_EQ(templateCalls, 20) << "ten finger slots per user";
  EXPECT_EQ(calls.back(), "EnableDevice(1,-1)");
}

TEST_F(SDKHelperTest, WriteOfEmptyArrayDisablesRefreshesAndEnables) {
  ConnectOrFail();
  EXPECT_EQ(Write(u"[]"), "");
  EXPECT_EQ(control.calls.Take(),
            (Calls{"EnableDevice(1,0)", "RefreshData(1)", "EnableDevice(1,-1)"}));
}

// A refused user is reported whatever comes after it; of several refused users, the last.
TEST_F(SDKHelperTest, RefusedAndAcceptedUsersInBothOrders) {
  sim.server->RefuseUser(u"66", -66);
  sim.server->RefuseUser(u"77", -77);
  ConnectOrFail();
  struct TCase {
    std::u16string users;
    std::string result;
  };
  const TCase cases[] = {
      {u"[{\"enrollNumber\":\"66\"},{\"enrollNumber\":\"1\"}]",
       "*Upload user 66 error,ErrorCode=!-66"},
      {u"[{\"enrollNumber\":\"1\"},{\"enrollNumber\":\"2\"}]", "*Upload user successful!"},
      {u"[{\"enrollNumber\":\"77\"},{\"enrollNumber\":\"1\"},{\"enrollNumber\":\"66\"},"
       u"{\"enrollNumber\":\"2\"}]",
       "*Upload user 66 error,ErrorCode=!-66"},
      {u"[{\"enrollNumber\":\"1\"},{\"enrollNumber\":\"66\"}]",
       "*Upload user 66 error,ErrorCode=!-66"},
      {u"[{\"enrollNumber\":\"66\",\"fpCount\":1,\"fpTemplates\":[{\"fingerIndex\":1}]}]",
       "*Upload user 66 error,ErrorCode=!-66"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Write(c.users), c.result) << Narrow(c.users);
  }
  EXPECT_EQ(sim.server->Snapshot().Find(u"66"), nullptr);
  EXPECT_EQ(sim.server->Snapshot().Find(u"77"), nullptr);
  EXPECT_NE(sim.server->Snapshot().Find(u"2"), nullptr) << "users after a refused one are written";
  EXPECT_EQ(sim.server->Snapshot().TemplateCount(), 0u) << "a refused user gets no templates";
}

TEST_F(SDKHelperTest, CardNumberRulesAndDefaults) {
  ConnectOrFail();
  struct TCase {
    std::u16string record;
    Calls calls;
  };
  const TCase cases[] = {
      {u"{\"enrollNumber\":\"1\",\"cardNumber\":\"0\"}", {"SetUserInfo(1,,,0,0)"}},
      {u"{\"enrollNumber\":\"1\",\"cardNumber\":\"\"}", {"SetUserInfo(1,,,0,0)"}},
      {u"{\"enrollNumber\":\"1\"}", {"SetUserInfo(1,,,0,0)"}},
      {u"{\"enrollNumber\":\"1\",\"cardNumber\":\" 00\"}",
       {"SetCardNumber( 00)", "SetUserInfo(1,,,0,0)"}},
      {u"{\"enrollNumber\":\"2\",\"enabled\":true,\"name\":\"N\",\"password\":\"P\","
       u"\"privilege\":\"0x0E\",\"cardNumber\":123}",
       {"SetCardNumber(123)", "SetUserInfo(2,N,P,14,-1)"}},
      {u"{\"enrollNumber\":3,\"enabled\":\"True\"}", {"SetUserInfo(3,,,0,0)"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Write(u"[" + c.record + u"]"), "*Upload user successful!");
    EXPECT_EQ(Writes(), c.calls) << Narrow(c.record);
  }
  EXPECT_EQ(sim.server->Snapshot().Find(u"2")->info.cardNumber, u"123");
}

// fpCount decides how many entries are written; each goes to the slot its own fingerIndex names.
TEST_F(SDKHelperTest, FpCountSelectsTemplateEntries) {
  ConnectOrFail();
  const std::u16string three =
      u"\"fpTemplates\":[{\"fingerIndex\":4,\"flag\":1,\"templateData\":\"A\"},"
      u"{\"fingerIndex\":2,\"flag\":0,\"templateData\":\"B\"},"
      u"{\"fingerIndex\":9,\"flag\":1,\"templateData\":\"C\"}]";
  struct TCase {
    std::u16string count;
    Calls templates;
  };
  const TCase cases[] = {
      {u"0", {}},
      {u"-3", {}},
      {u"1", {"SetUserTemplate(1,4,1,A)"}},
      {u"3", {"SetUserTemplate(1,4,1,A)", "SetUserTemplate(1,2,0,B)", "SetUserTemplate(1,9,1,C)"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Write(u"[{\"enrollNumber\":\"1\",\"fpCount\":" + c.count + u"," + three + u"}]"),
              "*Upload user successful!");
    Calls writes = Writes();
    writes.erase(writes.begin());  // SetUserInfo
    EXPECT_EQ(writes, c.templates) << Narrow(c.count);
  }
}

TEST_F(SDKHelperTest, TemplateTheTerminalRefusesFailsTheUser) {
  ConnectOrFail();
  EXPECT_EQ(Write(u"[{\"enrollNumber\":\"1\",\"fpCount\":2,\"fpTemplates\":["
                  u"{\"fingerIndex\":12},{\"fingerIndex\":1}]}]"),
            "*Upload user 1 error,ErrorCode=!-4");
  EXPECT_EQ(sim.server->Snapshot().TemplateCount(), 1u) << "the valid template is still written";
}

// Input errors leave the write as exceptions before anything of the invalid record (its user
// fields included) reaches the terminal, and the terminal is re-enabled all the same.
TEST_F(SDKHelperTest, InvalidRecordsRaiseAndStillReEnable) {
  ConnectOrFail();
  struct TCase {
    std::u16string users;
    std::string message;
  };
  const TCase cases[] = {
      {u"[{\"enrollNumber\":\"1\",\"fpCount\":2,\"fpTemplates\":[{}]}]",
       "List index out of bounds (1)"},
      {u"[{\"enrollNumber\":\"1\",\"fpCount\":1}]", "List index out of bounds (0)"},
      {u"[{\"enrollNumber\":\"1\",\"fpCount\":1,\"fpTemplates\":null}]",
       "Cannot cast Object into Array"},
      {u"[{\"enrollNumber\":\"1\",\"fpCount\":1,\"fpTemplates\":[null]}]",
       "Cannot cast null into Object"},
      {u"[{\"enrollNumber\":\"1\",\"fpCount\":1,\"fpTemplates\":[7]}]",
       "Cannot cast Integer into Object"},
      {u"[null,{\"enrollNumber\":\"1\"}]", "Cannot cast null into Object"},
      {u"[\"x\"]", "Cannot cast String into Object"},
      {u"[{\"enrollNumber\":\"1\",\"privilege\":\"high\"}]",
       "'high' is not a valid floating point value"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.users));
    auto array = ParseArray(c.users);
    try {
      helper.setAllUserFPInfo(*array);
      ADD_FAILURE() << "no exception";
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
    Calls calls = control.calls.Take();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls.front(), "EnableDevice(1,0)");
    EXPECT_EQ(calls[calls.size() - 2], "RefreshData(1)");
    EXPECT_EQ(calls.back(), "EnableDevice(1,-1)");
    for (const auto& call : calls) {
      EXPECT_NE(call.rfind("SetUser", 0), 0u) << call;
    }
    EXPECT_TRUE(sim.server->IsEnabled());
  }
}

// Members are read in a fixed order, whatever order the record lists them in: of two invalid
// members the one read first raises.
TEST_F(SDKHelperTest, WriteReadsMembersInItsOwnOrder) {
  ConnectOrFail();
  struct TCase {
    std::u16string record;
    std::string message;
  };
  const std::u16string user = u"\"enrollNumber\":\"1\",\"fpCount\":1,\"fpTemplates\":";
  const TCase cases[] = {
      {u"{\"enabled\":[],\"enrollNumber\":{}}", "Cannot cast Object into String"},
      {u"{\"name\":{},\"enabled\":[]}", "Cannot cast Array into Bool"},
      {u"{\"cardNumber\":[],\"name\":{}}", "Cannot cast Object into String"},
      {u"{\"privilege\":\"p\",\"cardNumber\":[]}", "Cannot cast Array into String"},
      {u"{\"fpCount\":\"f\",\"privilege\":\"p\"}", "'p' is not a valid floating point value"},
      {u"{\"password\":[],\"fpCount\":\"f\"}", "'f' is not a valid floating point value"},
      {u"{" + user + u"[{\"fingerIndex\":\"g\",\"flag\":\"f\"}]}",
       "'f' is not a valid floating point value"},
      {u"{" + user + u"[{\"templateData\":[],\"fingerIndex\":\"g\"}]}",
       "'g' is not a valid floating point value"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.record));
    auto array = ParseArray(u"[" + c.record + u"]");
    try {
      helper.setAllUserFPInfo(*array);
      ADD_FAILURE() << "no exception";
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
    EXPECT_EQ(control.calls.Count("SetUserTemplate"), 0);
    control.calls.Take();
  }
}

// A control that raises passes its exception on unchanged; the terminal is re-enabled anyway.
TEST_F(SDKHelperTest, ControlFailuresPassThroughAndReEnable) {
  sim.server->Edit([](TTerminalStore& store) {
    store.Put(TLinkUser{u"1", u"", u"", 0, true, u""});
  });
  ConnectOrFail();
  struct TCase {
    const char* failing;
    bool read;
  };
  for (const TCase& c : {TCase{"RefreshData", false}, TCase{"SetUserInfo", false},
                         TCase{"ReadAllTemplates", true}, TCase{"GetCardNumber", true}}) {
    SCOPED_TRACE(c.failing);
    control.calls.failOn = c.failing;
    auto users = ParseArray(u"[{\"enrollNumber\":\"1\"}]");
    std::int32_t code = 0;
    if (c.read) {
      EXPECT_THROW(helper.getAllUserFPInfo(code), testing_support::EControlFailure);
    } else {
      EXPECT_THROW(helper.setAllUserFPInfo(*users), testing_support::EControlFailure);
    }
    EXPECT_EQ(control.calls.calls.back(), "EnableDevice(1,-1)");
    EXPECT_TRUE(sim.server->IsEnabled());
    control.calls.failOn.clear();
    control.calls.Take();
  }
}

TEST_F(SDKHelperTest, DeletionTexts) {
  sim.server->Edit([](TTerminalStore& store) {
    TStoredUser& user = store.Put(TLinkUser{u"7", u"x", u"", 0, true, u""});
    user.fingers[3] = TStoredTemplate{1, u"three"};
    user.fingers[5] = TStoredTemplate{1, u"five"};
  });
  ConnectOrFail();
  enum TKind { kEnroll, kFinger };
  struct TCase {
    TKind kind;
    std::u16string user;
    std::u16string option;
    std::optional<std::int32_t> failWith;  // injected deletion failure
    std::string text;
    int refreshes;
  };
  const TCase cases[] = {
      {kFinger, u"7", u"3", {}, "SSR_DelUserTmpExt,UserID=7 FingerIndex=3", 1},
      {kFinger, u"7", u"3", {}, "*Operation failed,ErrorCode=-1", 0},
      {kEnroll, u"7", u"0x0C", {}, "SSR_DeleteEnrollData,UserID=7 BackupNumber=12", 1},
      {kEnroll, u"7", u"11", 0, "SSR_DeleteEnrollData,UserID=7 BackupNumber=11", 0},
      {kEnroll, u"7", u"12", 0, "*Operation failed,ErrorCode=0", 0},
      {kEnroll, u"7", u"11", -5, "*Operation failed,ErrorCode=-5", 0},
      {kEnroll, u"7", u"11", {}, "*Operation failed,ErrorCode=-1", 0},
      {kFinger, u"7", u"11", 0, "SSR_DelUserTmpExt,UserID=7 FingerIndex=11", 0},
      {kFinger, u"7", u"-2", 0, "*Operation failed,ErrorCode=0", 0},
      {kFinger, u" 7", u" -2", {}, "*Operation failed,ErrorCode=-4", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.option));
    sim.server->FailDeletions(c.failWith);
    std::u16string text = c.kind == kEnroll ? helper.deleteEnrollData(c.user, c.option)
                                            : helper.deleteFingerTemplate(c.user, c.option);
    EXPECT_EQ(Narrow(text), c.text);
    EXPECT_EQ(control.calls.Count("RefreshData"), c.refreshes);
    control.calls.Take();
  }
  EXPECT_EQ(sim.server->Snapshot().Find(u"7"), nullptr) << "backup 12 removed the user";
}

// A terminal that cannot save its store answers RefreshData with an error: whatever the
// terminal answered for each user or deletion, nothing of it lasts, and the texts say so.
TEST(SDKHelperUnsavedTest, FailedRefreshFailsWritesAndDeletions) {
  const std::string store = testing_support::TempStorePath("unsaved.bin");
  TSimulator sim(0, store);
  sim.server->Edit([](TTerminalStore& s) {
    TStoredUser& user = s.Put(TLinkUser{u"7", u"x", u"", 0, true, u""});
    user.fingers[3] = TStoredTemplate{1, u"three"};
  });
  sim.server->RefuseUser(u"66", -66);
  TRecordedControl control;
  TSDKHelper helper(std::move(control.owner));
  ASSERT_TRUE(helper.Connect(u"127.0.0.1", sim.PortText(), u"0"));
  sim.server->FailSaves(true);
  const std::function<std::u16string()> operations[] = {
      [&] { return helper.setAllUserFPInfo(*ParseArray(u"[{\"enrollNumber\":\"1\"}]")); },
      [&] {
        return helper.setAllUserFPInfo(
            *ParseArray(u"[{\"enrollNumber\":\"2\"},{\"enrollNumber\":\"66\"}]"));
      },
      [&] { return helper.deleteFingerTemplate(u"7", u"3"); },
      [&] { return helper.deleteEnrollData(u"7", u"12"); },
  };
  // A last user that failed keeps its own failure text.
  const std::string texts[] = {"*Upload save error,ErrorCode=!-8",
                               "*Upload user 66 error,ErrorCode=!-66",
                               "*Operation failed,ErrorCode=-8", "*Operation failed,ErrorCode=-8"};
  for (std::size_t i = 0; i < std::size(texts); ++i) {
    EXPECT_EQ(Narrow(operations[i]()), texts[i]) << "operation " << i;
    EXPECT_EQ(control.calls.Count("RefreshData"), 1) << "operation " << i;
    control.calls.Take();
  }
  EXPECT_TRUE(sim.server->IsEnabled());
  // Once the store can be written again, the same write succeeds and lasts.
  sim.server->FailSaves(false);
  EXPECT_EQ(Narrow(operations[0]()), "*Upload user successful!");
  EXPECT_NE(TTerminalStore::Load(store).Find(u"1"), nullptr);
}

TEST_F(SDKHelperTest, UnconvertibleDeletionOptionRaisesBeforeTheControl) {
  ConnectOrFail();
  for (const char16_t* option : {u"abc", u"", u"1 "}) {
    EXPECT_THROW(helper.deleteEnrollData(u"1", option), EConvertError);
    EXPECT_THROW(helper.deleteFingerTemplate(u"1", option), EConvertError);
  }
  EXPECT_TRUE(control.calls.Take().empty());
}

}  // namespace
}  // namespace vantorix
