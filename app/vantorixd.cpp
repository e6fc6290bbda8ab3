// vantorixd: the Vantorix server without a window; the log goes to standard output.
#include <unistd.h>

#include <clocale>
#include <iostream>
#include <string>
#include <vector>

#include "app/Daemon.h"

int main(int argc, char** argv) {
  // Only the time format and the character set follow the user; numbers keep their fixed form.
  std::setlocale(LC_TIME, "");
  std::setlocale(LC_CTYPE, "");
  try {
    const vantorix::TDaemonOptions options =
        vantorix::ParseDaemonOptions(std::vector<std::string>(argv + 1, argv + argc));
    vantorix::TDescriptorOutput out(STDOUT_FILENO);
    return vantorix::RunDaemon(options, out, std::cerr);
  } catch (const vantorix::EUsageError& e) {
    std::cerr << "vantorixd: " << e.what()
              << "\nusage: vantorixd [--port N] [--loopback] [--allow-origin ORIGIN]...\n";
    return 2;
  }
}
