// Runs the vantorix-json program: each mode's output, parse errors on standard error with exit
// status 1, blank input, UTF-8 in and out (columns count UTF-16 units).
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct TRun {
  int status;
  std::string out;
  std::string err;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The tool's exit status from what std::system returned: the shell's wait status on POSIX, the
// program's exit code itself on Windows.
int ExitStatus(int raw) {
#ifdef _WIN32
  return raw;
#else
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
}

TRun RunTool(const std::string& args, const std::string& input) {
  const std::string base = ::testing::TempDir() + "vantorix_json_tool";
  std::ofstream(base + ".in", std::ios::binary) << input;
  // Double quotes suit both the POSIX shell and cmd.exe.
  std::string command = std::string("\"") + VANTORIX_JSON_TOOL + "\" " + args + " < \"" + base +
                        ".in\" > \"" + base + ".out\" 2> \"" + base + ".err\"";
#ifdef _WIN32
  // cmd.exe /c takes away the first and the last quote of the line.
  command = "\"" + command + "\"";
#endif
  // -1 means the shell itself could not be started (wine fails to now and then); the tool has
  // not run, so it is tried again rather than taken for its answer.
  int raw = std::system(command.c_str());
  for (int attempt = 1; raw == -1 && attempt < 3; ++attempt) {
    raw = std::system(command.c_str());
  }
  TRun run{ExitStatus(raw), ReadFile(base + ".out"), ReadFile(base + ".err")};
  for (const char* ext : {".in", ".out", ".err"})
    std::remove((base + ext).c_str());
  return run;
}

TEST(JsonToolTest, ModesErrorsAndEncoding) {
  const struct {
    const char* args;
    std::string input;
    int status;
    std::string out;
    std::string err;
  } cases[] = {
      {"", "{act: echo, \"n\":[1, 2.50]}", 0, "{\"act\":\"echo\",\"n\":[1,2.5]}\n", ""},
      {"--compact", " {\"a\":{}} trailing", 0, "{\"a\":{}}\n", ""},
      {"--lines", "{\"a\":[1,{}]}", 0, "{\n\t\"a\": [\n\t\t1,\n\t\t{}\n\t]\n}\n", ""},
      {"--format", "{\"a\":[1,{}],\"s\":\"/\"}", 0,
       "{\r\n    \"a\": [\r\n        1,\r\n        {\r\n        }\r\n    ],\r\n"
       "    \"s\": \"\\/\"\r\n}\n",
       ""},
      {"", "", 0, "", ""},
      {"--lines", " \n\t ", 0, "", ""},
      {"", "{\"a\":?}", 1, "", "Expected value but found invalid symbol (1, 7)\n"},
      {"--format", "[1,", 1, "", "Unexpected end of file where value was expected (1, 4)\n"},
      // UTF-8 passes through; a surrogate pair is two UTF-16 units for the column.
      {"", "{\"s\":\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"}", 0,
       "{\"s\":\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"}\n", ""},
      {"", "{\"\xC3\xA9\xF0\x9F\x98\x80\":?}", 1, "",
       "Expected value but found invalid symbol (1, 9)\n"},
      {"", "{\"s\":\"\xFF\"}", 0, "{\"s\":\"\xEF\xBF\xBD\"}\n", ""},
      {"", "{\"s\":\"\\ud800\"}", 0, "{\"s\":\"\xEF\xBF\xBD\"}\n", ""},
      {"--bogus", "{}", 2, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.args) + " <<< " + c.input);
    const TRun run = RunTool(c.args, c.input);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.out);
    if (c.status == 2) {
      EXPECT_NE(run.err.find("usage: vantorix-json"), std::string::npos) << run.err;
    } else {
      EXPECT_EQ(run.err, c.err);
    }
  }
}

}  // namespace
