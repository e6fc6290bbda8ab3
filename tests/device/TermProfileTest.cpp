// Tests of reading terminal control profiles: what a site may write, and what is refused with
// which line and why.
#include "device/TermProfile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "json/JsonUtf8.h"

namespace vantorix {
namespace {

std::string Utf8(std::u16string_view text) {
  return JsonUtf8Encode(text);
}

TEST(TermProfileTest, SettingsNameTheClassAndTheMethodsThatDiffer) {
  struct TCase {
    std::string text;
    std::u16string controlClass;
    std::u16string connectNet;  // the method for ConnectNet
    std::u16string getLastError;
  };
  const TCase cases[] = {
      {"class=Site.Terminal", u"Site.Terminal", u"ConnectNet", u"GetLastError"},
      {"\xEF\xBB\xBF# a comment\r\n\r\n  class =  Site.Terminal.2 # the control\r\n"
       "ConnectNet\t=\tOpen_Net\r\nGetLastError = LastError",
       u"Site.Terminal.2", u"Open_Net", u"LastError"},
      {"ConnectNet = Verbinde\xC3\xA9\nclass = {01234567-89AB-CDEF-0123-456789ABCDEF}\n",
       u"{01234567-89AB-CDEF-0123-456789ABCDEF}", u"Verbinde\u00E9", u"GetLastError"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.text);
    const TTermProfile profile = ParseTermProfile(c.text);
    EXPECT_EQ(profile.controlClass, c.controlClass);
    EXPECT_EQ(profile.Method(TTermOperation::ConnectNet), c.connectNet);
    EXPECT_EQ(profile.Method(TTermOperation::GetLastError), c.getLastError);
    EXPECT_EQ(profile.Method(TTermOperation::DeleteUserTemplate), u"DeleteUserTemplate");
  }
}

TEST(TermProfileTest, EveryOperationNameCanBeMapped) {
  std::string text = "class = C\n";
  for (std::size_t i = 0; i < kTermOperationCount; ++i) {
    text +=
        Utf8(TermOperationName(static_cast<TTermOperation>(i))) + " = M" + std::to_string(i) + "\n";
  }
  const TTermProfile profile = ParseTermProfile(text);
  for (std::size_t i = 0; i < kTermOperationCount; ++i) {
    EXPECT_EQ(profile.methods[i], u"M" + JsonUtf8Decode(std::to_string(i)));
  }
  EXPECT_EQ(TermOperationName(TTermOperation::SetCommPassword), u"SetCommPassword");
  EXPECT_EQ(TermOperationName(TTermOperation::GetLastError), u"GetLastError");
}

TEST(TermProfileTest, FaultsAreReportedWithTheirLine) {
  struct TCase {
    std::string text;
    std::string message;
  };
  const TCase cases[] = {
      {"", "no \"class\" line names the control"},
      {"# only a comment\nConnectNet = Open\n", "no \"class\" line names the control"},
      {"class = A\nConectNet = Open",
       "line 2: \"ConectNet\" is neither \"class\" nor one of the sixteen operation names"},
      {"class = A\nconnectnet = Open",
       "line 2: \"connectnet\" is neither \"class\" nor one of the sixteen operation names"},
      {"class = A\n\nDisconnect", "line 3: expected \"name = value\", found \"Disconnect\""},
      {"class = A\nDisconnect = \n", "line 2: \"Disconnect\" has no value"},
      {"class = # none\n", "line 1: \"class\" has no value"},
      {"class = My Terminal", "line 1: the value of \"class\" holds a blank: \"My Terminal\""},
      {"class = A\r\nRefreshData = R\r\nclass = B\r\n",
       "line 3: \"class\" is already set on line 1"},
      {"class = A\nRefreshData = R\nRefreshData = S",
       "line 3: \"RefreshData\" is already set on line 2"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      ParseTermProfile(c.text);
      ADD_FAILURE() << "accepted";
    } catch (const ETermProfileError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

// The example profile shipped with the project is one the reader accepts.
TEST(TermProfileTest, TheExampleProfileIsValid) {
  std::ifstream file(VANTORIX_EXAMPLE_PROFILE, std::ios::binary);
  ASSERT_TRUE(file.is_open()) << VANTORIX_EXAMPLE_PROFILE;
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const TTermProfile profile = ParseTermProfile(text);
  EXPECT_EQ(profile.controlClass, u"Vantorix.TestTerminal");
  EXPECT_EQ(profile.Method(TTermOperation::ConnectNet), u"OpenTerminal");
}

}  // namespace
}  // namespace vantorix
