// vantorixd: the Vantorix server without a window; the log goes to standard output.
#include <clocale>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/Daemon.h"
#include "platform/Console.h"

int main(int argc, char** argv) {
  vantorix::UseUtf8StandardStreams();
  // Only the time format and the character set follow the user; numbers keep their fixed form.
  std::setlocale(LC_TIME, "");
  std::setlocale(LC_CTYPE, "");
  try {
    const vantorix::TDaemonOptions options =
        vantorix::ParseDaemonOptions(vantorix::Utf8Arguments(argc, argv));
    const std::unique_ptr<vantorix::TConsoleOutput> out = vantorix::OpenStandardOutput();
    return vantorix::RunDaemon(options, *out, std::cerr);
  } catch (const vantorix::EUsageError& e) {
    std::cerr << "vantorixd: " << e.what()
              << "\nusage: vantorixd [--port N] [--loopback] [--allow-origin ORIGIN]...\n";
    return 2;
  }
}
