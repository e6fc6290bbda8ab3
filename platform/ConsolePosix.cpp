// Standard streams and arguments on POSIX: already bytes.
#include "platform/Console.h"

namespace vantorix {

void UseUtf8StandardStreams() {}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

}  // namespace vantorix
