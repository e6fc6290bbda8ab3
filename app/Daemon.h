// vantorixd without its main: the run of the console server.
#pragma once

#include <ostream>

#include "app/DaemonOptions.h"
#include "platform/ConsoleOutput.h"

namespace vantorix {

// Runs the console server until a stop request (SIGINT or SIGTERM; on Windows also Ctrl-C,
// Ctrl-Break, closing the console or the process's stop event, see TStopWatcher): prints
// "listening on ADDR:PORT" for every bound endpoint, with an allow-list "pages allowed to
// connect: " and its origins, each log entry as its lines and "Clients connected: N" whenever the
// count changes, all to out; on the request closes like the window (device jobs in progress stop
// at their next user boundary and their finish statuses are sent, then every client gets a close
// frame 1001 and every connection is closed and awaited). Returns 0 then, or 1 after writing the
// error to err when the listener cannot start. Must be called on the main thread before any other
// thread exists (the stop signals are blocked for the process). out is written by a thread of its
// own (TConsoleWriter): an output nobody reads never holds up the server or its shutdown; what it
// did not take within a moment of the shutdown is dropped.
int RunDaemon(const TDaemonOptions& options, TConsoleOutput& out, std::ostream& err);

}  // namespace vantorix
