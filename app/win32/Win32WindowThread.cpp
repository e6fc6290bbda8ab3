// The window-thread queue on a message-only window.
#include "app/win32/Win32WindowThread.h"

#include <system_error>
#include <utility>

namespace vantorix {
namespace {

constexpr wchar_t kClassName[] = L"VantorixWindowThread";
constexpr UINT kRunQueued = WM_APP + 1;
constexpr UINT_PTR kRunQueuedTimer = 1;

}  // namespace

TWin32WindowThread::TWin32WindowThread() : FOwner(std::this_thread::get_id()) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW windowClass{};
  if (!GetClassInfoExW(instance, kClassName, &windowClass)) {
    windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kClassName;
    RegisterClassExW(&windowClass);
  }
  FWindow =
      CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, this);
  if (FWindow == nullptr) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "CreateWindowExW");
  }
}

TWin32WindowThread::~TWin32WindowThread() {
  DestroyWindow(FWindow);
}

bool TWin32WindowThread::IsWindowThread() const {
  return std::this_thread::get_id() == FOwner;
}

void TWin32WindowThread::Queue(TWindowProcedure proc) {
  if (IsWindowThread()) {
    proc();
    return;
  }
  std::lock_guard lock(FMutex);
  FPending.push_back(std::move(proc));
  if (!FPosted) {
    FPosted = PostMessageW(FWindow, kRunQueued, 0, 0) != 0;
  }
}

void TWin32WindowThread::RunQueued() {
  std::size_t count = 0;
  {
    std::lock_guard lock(FMutex);
    count = FPending.size();
  }
  // Only what was queued before: the wake-up stays marked as posted meanwhile, and what is left
  // afterwards waits for a timer, which the thread handles after input and painting (a posted
  // message would come before them and a flood of lines would freeze the window).
  struct TNext {
    TWin32WindowThread& Self;
    ~TNext() {
      std::lock_guard lock(Self.FMutex);
      Self.FPosted = !Self.FPending.empty() &&
                     SetTimer(Self.FWindow, kRunQueuedTimer, USER_TIMER_MINIMUM, nullptr) != 0;
      if (!Self.FPosted && !Self.FPending.empty()) {
        Self.FPosted = PostMessageW(Self.FWindow, kRunQueued, 0, 0) != 0;
      }
    }
  } next{*this};
  for (std::size_t i = 0; i < count; ++i) {
    TWindowProcedure proc;
    {
      std::lock_guard lock(FMutex);
      proc = std::move(FPending.front());
      FPending.pop_front();
    }
    // Outside the lock: a procedure may take as long as it likes while others go on queueing.
    proc();
  }
}

LRESULT CALLBACK TWin32WindowThread::WindowProc(HWND window, UINT message, WPARAM wParam,
                                                LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  } else if (message == kRunQueued || (message == WM_TIMER && wParam == kRunQueuedTimer)) {
    if (message == WM_TIMER) {
      KillTimer(window, kRunQueuedTimer);
    }
    if (auto* self =
            reinterpret_cast<TWin32WindowThread*>(GetWindowLongPtrW(window, GWLP_USERDATA))) {
      self->RunQueued();
    }
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace vantorix
