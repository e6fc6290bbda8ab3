// vantorixd's console output: log entries as their lines, the counter only when it changes.
#include "app/ConsoleView.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/DaemonOptions.h"
#include "websocket/Utf8.h"

namespace vantorix {
namespace {

TEST(ConsoleViewTest, EntryIsWrittenAsItsLinesWhateverTheLineBreaks) {
  struct Case {
    std::u16string entry;
    std::string expected;
  };
  const Case cases[] = {
      {u"[] - t: : one", "[] - t: : one\n"},
      {u"{\r\n    \"a\": 1\r\n}", "{\n    \"a\": 1\n}\n"},
      {u"{\n\t\"a\": 1\n}\n", "{\n\t\"a\": 1\n}\n"},
      {u"a\r\n\r\n", "a\n\n"},
      {u"a\rb", "a\nb\n"},
      {u"", "\n"},
      {u"caf\u00e9 \U0001F600", "caf\xc3\xa9 \xf0\x9f\x98\x80\n"},
      {u"a\r\r\nb\n\rc", "a\n\nb\n\nc\n"},
      {u"\r", "\n"},
      // A surrogate pair cut by a break is two lone halves, each encoded on its own line.
      {u"x\xD83D\r\n\xDE00y",
       "x" + Utf8EncodeString(u"\xD83D") + "\n" + Utf8EncodeString(u"\xDE00") + "y\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> pieces;
    TConsoleView view([&](std::string text) { pieces.push_back(std::move(text)); });
    view.AddEntry(c.entry);
    EXPECT_EQ(pieces, std::vector<std::string>{c.expected});
  }
}

TEST(ConsoleViewTest, CounterLineOnlyWhenTheCountChanges) {
  std::vector<std::string> pieces;
  TConsoleView view([&](std::string text) { pieces.push_back(std::move(text)); });
  view.SetText(u"1");
  view.SetText(u"1");
  view.SetText(u"2");
  view.SetText(u"0");
  view.SetText(u"0");
  EXPECT_EQ(pieces, (std::vector<std::string>{"Clients connected: 1\n", "Clients connected: 2\n",
                                              "Clients connected: 0\n"}));
}

TEST(DaemonOptionsTest, PortAndLoopback) {
  struct Case {
    std::vector<std::string> args;
    std::u16string port;
    bool loopback;
  };
  const Case cases[] = {
      {{}, u"8989", false},
      {{"--port", "9000"}, u"9000", false},
      {{"--port=0"}, u"0", false},
      {{"--loopback"}, u"8989", true},
      {{"--loopback", "--port", "$2328"}, u"$2328", true},
  };
  for (const Case& c : cases) {
    const TDaemonOptions options = ParseDaemonOptions(c.args);
    EXPECT_EQ(options.Port, c.port);
    EXPECT_EQ(options.Loopback, c.loopback);
  }
}

TEST(DaemonOptionsTest, AllowOriginIsRepeatableAndTakesCanonicalForms) {
  const TDaemonOptions none = ParseDaemonOptions({"--loopback"});
  EXPECT_TRUE(none.AllowedOrigins.Empty());
  const TDaemonOptions some =
      ParseDaemonOptions({"--allow-origin", "http://localhost:8000", "--loopback",
                          "--allow-origin=HTTPS://A.Example:443"});
  EXPECT_EQ(some.AllowedOrigins.Origins(),
            (std::vector<std::u16string>{u"http://localhost:8000", u"https://a.example"}));
  EXPECT_TRUE(some.Loopback);
}

TEST(DaemonOptionsTest, RejectsWhatItDoesNotKnow) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--port"},
                                             {"--verbose"},
                                             {"8989"},
                                             {"--loopback", "x"},
                                             {"--allow-origin"},
                                             {"--allow-origin", "null"},
                                             {"--allow-origin", "http://localhost:8000/"},
                                             {"--allow-origin=localhost"}}) {
    EXPECT_THROW(ParseDaemonOptions(args), EUsageError);
  }
}

}  // namespace
}  // namespace vantorix
