// Stop requests on Windows: the console control handler and outside programs set the process's
// named stop event; the watcher's thread waits for it.
#include <windows.h>

#include <system_error>
#include <utility>

#include "platform/StopRequest.h"

namespace vantorix {
namespace {

[[noreturn]] void ThrowLastError(const char* what) {
  throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
}

bool SetStopEvent(unsigned long pid) {
  HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, StopEventName(pid).c_str());
  if (event == nullptr) {
    return false;
  }
  const bool set = SetEvent(event) != 0;
  CloseHandle(event);
  return set;
}

// Runs on a thread the system starts for the event. The handler reaches the watcher through the
// event's name alone, so that no process-wide pointer to it is needed.
BOOL WINAPI OnConsoleControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      return SetStopEvent(GetCurrentProcessId()) ? TRUE : FALSE;
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The system ends the process as soon as this returns (or after a few seconds): wait here
      // while the program shuts down; its end ends this thread too.
      if (SetStopEvent(GetCurrentProcessId())) {
        Sleep(INFINITE);
      }
      return FALSE;
    default:
      // A logoff also reaches programs run as services, which must go on.
      return FALSE;
  }
}

}  // namespace

std::wstring StopEventName(unsigned long pid) {
  return L"Local\\vantorix-stop-" + std::to_wstring(pid);
}

TStopWatcher::TStopWatcher(std::function<void()> onStop) : FOnStop(std::move(onStop)) {
  FStopEvent = CreateEventW(nullptr, TRUE, FALSE, StopEventName(GetCurrentProcessId()).c_str());
  if (FStopEvent == nullptr) {
    ThrowLastError("CreateEventW");
  }
  FQuitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (FQuitEvent == nullptr) {
    CloseHandle(FStopEvent);
    ThrowLastError("CreateEventW");
  }
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  FThread = std::thread([this] { Run(); });
}

TStopWatcher::~TStopWatcher() {
  SetEvent(FQuitEvent);
  FThread.join();
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  CloseHandle(FQuitEvent);
  CloseHandle(FStopEvent);
}

void TStopWatcher::Run() {
  const HANDLE events[] = {FQuitEvent, FStopEvent};
  // The stop event stays set once set (it resets manually): after the first request only the
  // quit event is watched.
  if (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
    FOnStop();
    WaitForSingleObject(FQuitEvent, INFINITE);
  }
}

bool RequestStop(unsigned long pid) {
  return SetStopEvent(pid);
}

unsigned long CurrentProcessId() {
  return GetCurrentProcessId();
}

}  // namespace vantorix
