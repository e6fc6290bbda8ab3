// Standard streams in binary mode with a UTF-8 console, and the arguments from the UTF-16
// command line.
#include <windows.h>
// After windows.h, which it needs:
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>

#include "platform/Console.h"
#include "platform/WindowsText.h"

namespace vantorix {

void UseUtf8StandardStreams() {
  for (std::FILE* stream : {stdin, stdout, stderr}) {
    _setmode(_fileno(stream), _O_BINARY);
  }
  SetConsoleOutputCP(CP_UTF8);
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
  }
  std::vector<std::string> arguments;
  for (int i = 1; i < count; ++i) {
    arguments.push_back(WideToUtf8(wide[i]));
  }
  LocalFree(wide);
  return arguments;
}

}  // namespace vantorix
