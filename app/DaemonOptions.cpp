// vantorixd's command-line parsing.
#include "app/DaemonOptions.h"

#include <string_view>

#include "websocket/Utf8.h"

namespace vantorix {

namespace {

void AllowOrigin(TDaemonOptions& options, std::string_view origin) {
  try {
    options.AllowedOrigins.Add(Utf8Decode(origin));
  } catch (const EInvalidOrigin& e) {
    throw EUsageError(std::string("--allow-origin: ") + e.what());
  }
}

}  // namespace

TDaemonOptions ParseDaemonOptions(const std::vector<std::string>& args) {
  TDaemonOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--loopback") {
      options.Loopback = true;
    } else if (arg == "--port") {
      if (i + 1 >= args.size()) {
        throw EUsageError("--port needs a port number");
      }
      options.Port = Utf8Decode(std::string_view(args[++i]));
    } else if (arg.rfind("--port=", 0) == 0) {
      options.Port = Utf8Decode(std::string_view(arg).substr(7));
    } else if (arg == "--allow-origin") {
      if (i + 1 >= args.size()) {
        throw EUsageError("--allow-origin needs an origin, such as http://localhost:8000");
      }
      AllowOrigin(options, args[++i]);
    } else if (arg.rfind("--allow-origin=", 0) == 0) {
      AllowOrigin(options, std::string_view(arg).substr(15));
    } else {
      throw EUsageError("unknown argument '" + arg + "'");
    }
  }
  return options;
}

}  // namespace vantorix
