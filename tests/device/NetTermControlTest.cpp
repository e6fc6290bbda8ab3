// Tests of the network terminal control against the in-process simulated terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "device/NetTermControl.h"
#include "tests/device/Simulator.h"

namespace vantorix {
namespace {

using testing_support::RefusedPort;
using testing_support::TempStorePath;
using testing_support::TSimulator;
using TClock = std::chrono::steady_clock;

constexpr std::int32_t M = 1;

std::int32_t LastError(TTermControl& control) {
  std::int32_t code = 12345;
  control.GetLastError(code);
  return code;
}

TEST(NetTermControlTest, ConnectToRefusedPortFailsAtOnce) {
  TNetTermControl control;
  auto start = TClock::now();
  EXPECT_FALSE(control.ConnectNet(u"127.0.0.1", RefusedPort()));
  EXPECT_LT(TClock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(LastError(control), kLinkErrConnect);
  EXPECT_FALSE(control.Connected());
}

TEST(NetTermControlTest, InvalidAddressOrPortFailsWithoutConnecting) {
  TNetTermControl control;
  for (const auto& [ip, port] :
       {std::pair{std::u16string(u"terminal.local"), 4370},
        std::pair{std::u16string(u"127.0.0.1"), 0}, std::pair{std::u16string(u"127.0.0.1"), 70000},
        std::pair{std::u16string(u"127.0.0.\u00B9"), 4370}}) {
    EXPECT_FALSE(control.ConnectNet(ip, port));
    EXPECT_EQ(LastError(control), kLinkErrInvalid);
  }
}

// A peer that takes the TCP connection but never answers the password exchange is given up
// after the connect time-out (3 s by default), not waited for forever.
TEST(NetTermControlTest, ConnectToSilentPeerGivesUpAfterTimeout) {
  TLinkListenSocket silent("127.0.0.1", 0);
  TNetTermControl control;
  auto start = TClock::now();
  EXPECT_FALSE(control.ConnectNet(u"127.0.0.1", silent.Port()));
  auto elapsed = TClock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(2900));
  EXPECT_LT(elapsed, std::chrono::seconds(30));
  EXPECT_EQ(LastError(control), kLinkErrConnect);
}

// A full accept queue makes the kernel drop further SYNs, like an address where nothing
// answers: the TCP connect itself runs into the time-out.
TEST(NetTermControlTest, ConnectWhereSynIsNeverAnsweredTimesOut) {
  TLinkListenSocket full("127.0.0.1", 0, 0);
  int error = 0;
  TLinkSocket queued = ConnectTcp("127.0.0.1", full.Port(), std::chrono::seconds(1), error);
  ASSERT_TRUE(queued.Valid());
  TNetTermControl control(TNetTermOptions{std::chrono::milliseconds(500), std::chrono::seconds(1)});
  auto start = TClock::now();
  EXPECT_FALSE(control.ConnectNet(u"127.0.0.1", full.Port()));
  EXPECT_GE(TClock::now() - start, std::chrono::milliseconds(450));
  EXPECT_EQ(LastError(control), kLinkErrConnect);
}

TEST(NetTermControlTest, PasswordIsCheckedAtConnect) {
  TSimulator sim(4711);
  TNetTermControl control;
  control.SetCommPassword(4710);
  EXPECT_FALSE(control.ConnectNet(u"127.0.0.1", sim.Port()));
  EXPECT_EQ(LastError(control), kLinkErrPassword);
  EXPECT_TRUE(sim.WaitNoSessions());
  control.SetCommPassword(4711);
  EXPECT_TRUE(control.ConnectNet(u"127.0.0.1", sim.Port()));
  EXPECT_TRUE(control.EnableDevice(M, kComFalse));
  EXPECT_FALSE(sim.server->IsEnabled());
  EXPECT_TRUE(control.EnableDevice(M, kComTrue));
  EXPECT_TRUE(sim.server->IsEnabled());
}

TEST(NetTermControlTest, OperationsWithoutConnectionFailAsNotConnected) {
  TNetTermControl control;
  EXPECT_FALSE(control.SetUserInfo(M, u"1", u"a", u"", 0, kComTrue));
  EXPECT_EQ(LastError(control), kLinkErrNotConnected);
  EXPECT_FALSE(control.ReadAllUserIDs(M));
  EXPECT_FALSE(control.RefreshData(M));
  control.Disconnect();
  control.Disconnect();
}

TEST(NetTermControlTest, UsersCardsAndTemplatesRoundTrip) {
  TSimulator sim;
  TNetTermControl control;
  ASSERT_TRUE(control.ConnectNet(u"127.0.0.1", sim.Port()));
  control.SetCardNumber(u"777");
  ASSERT_TRUE(control.SetUserInfo(M, u"1", u"Ann", u"pw", 3, kComTrue));
  // No card given: the pending card of user 1 must not carry over to user 2.
  ASSERT_TRUE(control.SetUserInfo(M, u"2", u"Bob", u"", 0, kComFalse));
  EXPECT_TRUE(control.SetUserTemplate(M, u"1", 6, 1, u"SIX"));
  EXPECT_TRUE(control.SetUserTemplate(M, u"1", 0, 0, u"ZERO"));
  EXPECT_FALSE(control.SetUserTemplate(M, u"1", 10, 0, u"bad slot"));
  EXPECT_EQ(LastError(control), kLinkErrInvalid);
  EXPECT_FALSE(control.SetUserTemplate(M, u"9", 0, 0, u"no such user"));
  EXPECT_EQ(LastError(control), kLinkErrNotFound);
  EXPECT_TRUE(control.RefreshData(M));

  // Without the bulk template read, GetUserTemplate asks the terminal.
  std::int32_t flag = -1;
  std::int32_t length = 0;
  std::u16string data = u"stale";
  EXPECT_TRUE(control.GetUserTemplate(M, u"1", 6, flag, data, length));
  EXPECT_EQ(data, u"SIX");
  EXPECT_EQ(flag, 1);
  EXPECT_FALSE(control.GetUserTemplate(M, u"1", 5, flag, data, length));
  EXPECT_EQ(data, u"");

  ASSERT_TRUE(control.ReadAllUserIDs(M));
  ASSERT_TRUE(control.ReadAllTemplates(M));
  std::u16string number, name, password, card;
  std::int32_t privilege = 0;
  TComBool enabled = 0;
  ASSERT_TRUE(control.GetAllUserInfo(M, number, name, password, privilege, enabled));
  control.GetCardNumber(card);
  EXPECT_EQ(number + u"|" + name + u"|" + password + u"|" + card, u"1|Ann|pw|777");
  EXPECT_EQ(privilege, 3);
  EXPECT_EQ(enabled, kComTrue);
  ASSERT_TRUE(control.GetAllUserInfo(M, number, name, password, privilege, enabled));
  control.GetCardNumber(card);
  EXPECT_EQ(number + u"|" + card, u"2|");
  EXPECT_EQ(enabled, kComFalse);
  EXPECT_FALSE(control.GetAllUserInfo(M, number, name, password, privilege, enabled));
  EXPECT_TRUE(control.GetUserTemplate(M, u"1", 0, flag, data, length));
  EXPECT_EQ(data, u"ZERO");
  EXPECT_EQ(length, 4);
}

TEST(NetTermControlTest, DeletionsFollowTheBackupNumbers) {
  TSimulator sim;
  sim.server->Edit([](TTerminalStore& store) {
    TStoredUser& user = store.Put(TLinkUser{u"7", u"x", u"secret", 0, true, u""});
    user.fingers[2] = TStoredTemplate{1, u"two"};
    user.fingers[4] = TStoredTemplate{1, u"four"};
    store.Put(TLinkUser{u"8", u"y", u"", 0, true, u""});
  });
  TNetTermControl control;
  ASSERT_TRUE(control.ConnectNet(u"127.0.0.1", sim.Port()));
  struct TCase {
    std::u16string user;
    std::int32_t backup;
    bool ok;
    std::int32_t code;
  };
  const TCase cases[] = {
      {u"7", 2, true, kLinkOk},   {u"7", 2, false, kLinkErrNotFound},
      {u"7", 10, true, kLinkOk},  {u"7", 11, true, kLinkOk},
      {u"7", 11, false, kLinkOk}, {u"7", 13, false, kLinkErrInvalid},
      {u"7", 12, true, kLinkOk},  {u"7", 12, false, kLinkErrNotFound},
      {u"8", 11, false, kLinkOk},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(control.DeleteEnrollData(M, c.user, c.backup), c.ok) << c.backup;
    EXPECT_EQ(LastError(control), c.code) << c.backup;
  }
  EXPECT_EQ(sim.server->Snapshot().Find(u"7"), nullptr);
  EXPECT_FALSE(control.DeleteUserTemplate(M, u"8", 0));
  EXPECT_EQ(LastError(control), kLinkErrNotFound);
  sim.server->FailDeletions(0);
  EXPECT_FALSE(control.DeleteEnrollData(M, u"8", 12));
  EXPECT_EQ(LastError(control), kLinkOk);
  EXPECT_NE(sim.server->Snapshot().Find(u"8"), nullptr);
}

// A terminal that drops the link mid-session fails the running call and every later one, and
// ConnectNet afterwards opens a fresh link.
TEST(NetTermControlTest, DroppedLinkFailsTheOperationAndLaterOnes) {
  TSimulator sim;
  TNetTermControl control;
  ASSERT_TRUE(control.ConnectNet(u"127.0.0.1", sim.Port()));
  sim.server->DropAfter(1);
  EXPECT_TRUE(control.EnableDevice(M, kComFalse));
  EXPECT_FALSE(control.ReadAllUserIDs(M));
  EXPECT_EQ(LastError(control), kLinkErrLink);
  EXPECT_FALSE(control.Connected());
  EXPECT_FALSE(control.EnableDevice(M, kComTrue));
  EXPECT_EQ(LastError(control), kLinkErrNotConnected);
  EXPECT_TRUE(sim.WaitNoSessions());
  ASSERT_TRUE(control.ConnectNet(u"127.0.0.1", sim.Port()));
  EXPECT_TRUE(control.EnableDevice(M, kComTrue));
  EXPECT_TRUE(sim.server->IsEnabled());
}

// A terminal that sends a bulk reply of several receive buffers and closes the connection right
// after it: the reply arrives whole and counts; the close fails only the next operation.
TEST(NetTermControlTest, BulkReplyFollowedByCloseIsReceivedWhole) {
  TLinkListenSocket listener("127.0.0.1", 0);
  TLinkReply templates{TLinkOp::kReadAllTemplates, true, 0, {}, {}, {}};
  for (int user = 0; user < 100; ++user) {
    templates.templates.push_back(
        TLinkTemplate{u"u" + std::u16string(1, static_cast<char16_t>(u'0' + user % 10)) +
                          std::u16string(1, static_cast<char16_t>(u'0' + user / 10)),
                      user % 10, user, std::u16string(1500, static_cast<char16_t>(0x4E00 + user))});
  }
  std::thread terminal([&] {
    TLinkSocket socket = listener.Accept();
    TFrameAssembler frames;
    std::vector<std::uint8_t> chunk;
    const auto deadline = TClock::now() + std::chrono::seconds(10);
    for (int answered = 0; answered < 2;) {
      if (auto body = frames.Next()) {
        const TLinkRequest request = DecodeRequest(*body);
        const TLinkReply reply = request.op == TLinkOp::kHello
                                     ? TLinkReply{TLinkOp::kHello, true, 0, {}, {}, {}}
                                     : templates;
        SendAll(socket, EncodeReply(reply), deadline);
        ++answered;
        continue;
      }
      chunk.clear();
      if (RecvSome(socket, chunk, deadline) != TIoStatus::kOk) {
        return;
      }
      frames.Feed(chunk);
    }
    socket.Close();
  });
  TNetTermControl control;
  ASSERT_TRUE(control.ConnectNet(u"127.0.0.1", listener.Port()));
  EXPECT_TRUE(control.ReadAllTemplates(M));
  terminal.join();
  for (const TLinkTemplate& fp : templates.templates) {
    std::int32_t flag = 0;
    std::int32_t length = 0;
    std::u16string data;
    EXPECT_TRUE(control.GetUserTemplate(M, fp.enrollNumber, fp.fingerIndex, flag, data, length));
    EXPECT_EQ(flag, fp.flag);
    EXPECT_EQ(data, fp.data);
  }
  EXPECT_FALSE(control.EnableDevice(M, kComTrue));
  EXPECT_EQ(LastError(control), kLinkErrLink);
}

TEST(NetTermControlTest, StalledTerminalFailsTheOperationAfterReplyTimeout) {
  TSimulator sim;
  TNetTermControl control(
      TNetTermOptions{std::chrono::milliseconds(3000), std::chrono::milliseconds(200)});
  ASSERT_TRUE(control.ConnectNet(u"127.0.0.1", sim.Port()));
  sim.server->DelayAnswers(std::chrono::milliseconds(2000));
  auto start = TClock::now();
  EXPECT_FALSE(control.SetUserInfo(M, u"1", u"a", u"", 0, kComTrue));
  EXPECT_LT(TClock::now() - start, std::chrono::milliseconds(1900));
  EXPECT_EQ(LastError(control), kLinkErrLink);
  // A late answer must not be taken for the reply of the next call: the link is closed.
  EXPECT_FALSE(control.Connected());
  // A delay inside the time-out only slows things down.
  sim.server->DelayAnswers(std::chrono::milliseconds(20));
  ASSERT_TRUE(control.ConnectNet(u"127.0.0.1", sim.Port()));
  EXPECT_TRUE(control.SetUserInfo(M, u"1", u"a", u"", 0, kComTrue));
}

TEST(NetTermControlTest, StoreSurvivesSimulatorRestart) {
  std::string path = TempStorePath("restart.bin");
  {
    TSimulator sim(0, path);
    TNetTermControl control;
    ASSERT_TRUE(control.ConnectNet(u"127.0.0.1", sim.Port()));
    control.SetCardNumber(u"42");
    ASSERT_TRUE(control.SetUserInfo(M, u"100", u"Kept", u"pw", 2, kComTrue));
    ASSERT_TRUE(control.SetUserTemplate(M, u"100", 3, 1, u"TPL"));
    ASSERT_TRUE(control.RefreshData(M));
    // Written but never refreshed: saved when the session ends.
    ASSERT_TRUE(control.SetUserInfo(M, u"101", u"Late", u"", 0, kComFalse));
    control.Disconnect();
    ASSERT_TRUE(sim.WaitNoSessions());
  }
  TSimulator again(0, path);
  TTerminalStore store = again.server->Snapshot();
  ASSERT_EQ(store.Users().size(), 2u);
  const TStoredUser* kept = store.Find(u"100");
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->info, (TLinkUser{u"100", u"Kept", u"pw", 2, true, u"42"}));
  ASSERT_TRUE(kept->fingers[3].has_value());
  EXPECT_EQ(kept->fingers[3]->data, u"TPL");
  EXPECT_NE(store.Find(u"101"), nullptr);
}

}  // namespace
}  // namespace vantorix
