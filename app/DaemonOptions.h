// vantorixd's command line: --port N, --loopback and --allow-origin ORIGIN.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "websocket/Handshake.h"

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
  // The web pages that may connect; empty: every page.
  TOriginAllowList AllowedOrigins;
};

// Parses the arguments after the program name: --port N (or --port=N), --loopback,
// --allow-origin ORIGIN (or --allow-origin=ORIGIN; repeatable, each adds one). Raises
// EUsageError for anything else, an origin the allow-list cannot hold included.
TDaemonOptions ParseDaemonOptions(const std::vector<std::string>& args);

}  // namespace vantorix
