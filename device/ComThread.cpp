// The COM control's thread: apartment, hidden window, message loop and the hand-over of calls.
#include "device/ComThread.h"

#include <objbase.h>

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <string>

#include "device/ComSupport.h"
#include "device/TermControl.h"

namespace vantorix {

namespace {

// Window messages rather than thread messages carry the calls: a modal loop that runs while the
// control works (a dialog of the control, COM waiting for another apartment) dispatches window
// messages but drops thread messages.
constexpr UINT kRunMessage = WM_APP + 1;
constexpr UINT kQuitMessage = WM_APP + 2;

[[noreturn]] void RaiseLastError(const std::string& what) {
  throw ETermControlError("the terminal control's thread " + what + ": " +
                          HResultText(HRESULT_FROM_WIN32(::GetLastError())));
}

// One call handed to the thread; it lives on the caller's stack until done is set.
struct TTask {
  explicit TTask(const std::function<void()>& procedure) : work(procedure) {}

  const std::function<void()>& work;
  std::exception_ptr error;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;

  void Run() {
    try {
      work();
    } catch (...) {
      error = std::current_exception();
    }
    // Notified under the lock: the caller, once it sees done, destroys the task, so nothing of
    // it may be touched after the lock is released.
    std::lock_guard lock(mutex);
    done = true;
    finished.notify_one();
  }
};

LRESULT CALLBACK ThreadWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kRunMessage:
      reinterpret_cast<TTask*>(lParam)->Run();
      return 0;
    case kQuitMessage:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ThreadWindowProc), &module);
  return module;
}

// The thread's membership of a single-threaded apartment.
class TApartment {
 public:
  TApartment() {
    const HRESULT status =
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    if (FAILED(status)) {
      throw ETermControlError("the terminal control's thread cannot enter an apartment: " +
                              HResultText(status));
    }
  }
  ~TApartment() { CoUninitialize(); }
  TApartment(const TApartment&) = delete;
  TApartment& operator=(const TApartment&) = delete;
};

// A window class of this thread's own: a name per thread object needs no process-wide record of
// whether the class exists already.
class TWindowClass {
 public:
  explicit TWindowClass(const void* owner)
      : fName(L"VantorixComThread" + std::to_wstring(reinterpret_cast<std::uintptr_t>(owner))) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = ThreadWindowProc;
    windowClass.hInstance = ThisModule();
    windowClass.lpszClassName = fName.c_str();
    if (RegisterClassExW(&windowClass) == 0) {
      RaiseLastError("cannot register its window class");
    }
  }
  ~TWindowClass() { UnregisterClassW(fName.c_str(), ThisModule()); }
  TWindowClass(const TWindowClass&) = delete;
  TWindowClass& operator=(const TWindowClass&) = delete;

  const wchar_t* Name() const { return fName.c_str(); }

 private:
  std::wstring fName;
};

// A message-only window: never shown, and never sent the broadcasts top-level windows receive.
class THiddenWindow {
 public:
  explicit THiddenWindow(const TWindowClass& windowClass)
      : fWindow(CreateWindowExW(0, windowClass.Name(), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                ThisModule(), nullptr)) {
    if (fWindow == nullptr) {
      RaiseLastError("cannot create its window");
    }
  }
  ~THiddenWindow() { DestroyWindow(fWindow); }
  THiddenWindow(const THiddenWindow&) = delete;
  THiddenWindow& operator=(const THiddenWindow&) = delete;

  HWND Get() const { return fWindow; }

 private:
  HWND fWindow;
};

}  // namespace

TComThread::TComThread() {
  std::promise<void> started;
  std::future<void> ready = started.get_future();
  fThread = std::thread([this, &started] { Main(started); });
  try {
    ready.get();
  } catch (...) {
    fThread.join();
    throw;
  }
}

TComThread::~TComThread() {
  // At most one call is ever queued (callers take turns), so the queue has room.
  PostMessageW(fWindow, kQuitMessage, 0, 0);
  fThread.join();
}

void TComThread::Main(std::promise<void>& started) {
  bool running = false;
  try {
    // Declared in this order so that the window goes before its class, and both before the
    // apartment ends.
    TApartment apartment;
    TWindowClass windowClass(this);
    THiddenWindow window(windowClass);
    fWindow = window.Get();
    fThreadId = GetCurrentThreadId();
    running = true;
    started.set_value();  // from here on the constructor may have returned: started is gone
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  } catch (...) {
    if (!running) {
      started.set_exception(std::current_exception());
    }
  }
}

void TComThread::Run(const std::function<void()>& work) {
  if (GetCurrentThreadId() == fThreadId) {
    work();
    return;
  }
  // One call at a time: a second one posted while the control works could run nested inside the
  // first whenever the control lets a modal loop dispatch messages.
  std::lock_guard turn(fTurn);
  TTask task(work);
  if (!PostMessageW(fWindow, kRunMessage, 0, reinterpret_cast<LPARAM>(&task))) {
    RaiseLastError("cannot take a call");
  }
  std::unique_lock lock(task.mutex);
  task.finished.wait(lock, [&task] { return task.done; });
  if (task.error) {
    std::rethrow_exception(task.error);
  }
}

}  // namespace vantorix
