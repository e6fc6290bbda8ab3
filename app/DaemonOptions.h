// vantorixd's command line: --port N and --loopback.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace vantorix {

// A command line vantorixd does not accept; what() says why.
class EUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TDaemonOptions {
  // Port text, converted like the window's port field when the listener starts.
  std::u16string Port = u"8989";
  // Listen on 127.0.0.1 only (like "Change") instead of every local address.
  bool Loopback = false;
};

// Parses the arguments after the program name: --port N (or --port=N), --loopback. Raises
// EUsageError for anything else.
TDaemonOptions ParseDaemonOptions(const std::vector<std::string>& args);

}  // namespace vantorix
