// Which terminal control the device jobs use: our network control, or the COM control that a
// profile beside the executable names. Checked once at start-up, so that a profile's faults are
// reported then and not at the first command.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "device/DeviceJobs.h"
#include "device/TermControl.h"

namespace vantorix {

// The profile's file name; TermProfilePath looks for it beside the executable.
inline constexpr char kTermProfileFileName[] = "terminal-control.profile";

struct TTermControlSetup {
  // Makes the device jobs object on the chosen control, with a control for each terminal in use;
  // never empty. The control checked at set-up serves the first terminal that gets a job, every
  // other terminal gets a control created for it.
  std::function<std::unique_ptr<TDeviceJobs>()> MakeDeviceJobs;
  // For the log: which control the jobs use and where it was named. Empty for the network
  // control when there is no profile.
  std::u16string Report;
  // For the log and an error box: what is wrong with the profile or the control it names. Empty
  // when nothing is.
  std::u16string Problem;
};

// Reads and checks the profile at `profile`. Without a file there (or with an empty path) the
// jobs use the network control and there is nothing to report. With one, on Windows, the profile
// is read, its class created and its methods looked up: a class that cannot be created or
// methods it lacks give a Problem, and the jobs raise ETermControlError from the operations
// that need them. A profile that cannot be read or parsed gives a Problem too, and every
// operation of the jobs then raises it; so does any profile on other systems, which have no COM.
// Threading: call it on the program's first thread before any other thread enters a
// single-threaded apartment (see TComTermControl). Failure: reported in Problem, never raised
// (except std::bad_alloc).
TTermControlSetup SetUpTermControl(const std::filesystem::path& profile);

// Where the program looks for its profile: kTermProfileFileName beside the running executable
// on Windows; elsewhere the empty path, as there is no COM control to name.
std::filesystem::path TermProfilePath();

// A control that raises ETermControlError with message (UTF-8) from every operation: what the
// jobs use when the control a site asked for cannot be used.
std::unique_ptr<TTermControl> MakeUnavailableTermControl(std::string message);

}  // namespace vantorix
