// The console output on a Windows file handle: a thread of its own does each blocking write, so
// that callers only ever wait as long as they choose to.
#include <windows.h>

#include <algorithm>
#include <system_error>

#include "platform/ConsoleOutput.h"
#include "platform/WindowsText.h"

namespace vantorix {
namespace {

// The most one piece carries. A piece taken is written even when the reader is slow, so it is
// also the most that a stop may lose beyond what was still waiting.
constexpr std::size_t kPiece = 64 * 1024;

bool IsConsole(void* handle) {
  DWORD mode = 0;
  return GetConsoleMode(handle, &mode) != 0;
}

// The longest prefix of at most limit bytes that ends at a UTF-8 character boundary; at least
// one byte, so that bytes that are no UTF-8 still move on.
std::size_t WholeCharacters(std::string_view bytes, std::size_t limit) {
  if (bytes.size() <= limit) {
    return bytes.size();
  }
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80) {
    --end;
  }
  return end > 0 ? end : limit;
}

}  // namespace

THandleOutput::THandleOutput(void* handle)
    : FHandle(handle), FConsole(IsConsole(handle)), FThread([this] { Run(); }) {}

THandleOutput::~THandleOutput() {
  std::unique_lock lock(FMutex);
  FStop = true;
  FChanged.notify_all();
  // A write the reader never takes blocks the thread; cancel it until the thread has seen the
  // stop (it may enter a write just after a cancel).
  HANDLE thread = OpenThread(THREAD_TERMINATE, FALSE, FThreadId);
  while (!FChanged.wait_for(lock, std::chrono::milliseconds(20), [this] { return FEnded; })) {
    if (thread != nullptr) {
      CancelSynchronousIo(thread);
    }
  }
  lock.unlock();
  if (thread != nullptr) {
    CloseHandle(thread);
  }
  FThread.join();
}

std::size_t THandleOutput::Write(std::string_view bytes, std::chrono::milliseconds wait) {
  std::unique_lock lock(FMutex);
  if (!FChanged.wait_for(lock, wait, [this] { return !FBusy; })) {
    return 0;
  }
  if (FError != 0) {
    throw std::system_error(static_cast<int>(FError), std::system_category(), "write");
  }
  const std::size_t size =
      FConsole ? WholeCharacters(bytes, kPiece) : std::min(bytes.size(), kPiece);
  FPiece.assign(bytes.substr(0, size));
  FBusy = true;
  FChanged.notify_all();
  return size;
}

void THandleOutput::Run() {
  std::unique_lock lock(FMutex);
  FThreadId = GetCurrentThreadId();
  for (;;) {
    FChanged.wait(lock, [this] { return FBusy || FStop; });
    if (FStop) {
      break;
    }
    const std::string piece = std::move(FPiece);
    lock.unlock();
    DWORD error = 0;
    if (FConsole) {
      const std::wstring text = Utf8ToWide(piece);
      DWORD written = 0;
      if (!WriteConsoleW(FHandle, text.data(), static_cast<DWORD>(text.size()), &written,
                         nullptr)) {
        error = GetLastError();
      }
    } else {
      std::size_t done = 0;
      while (error == 0 && done < piece.size()) {
        DWORD written = 0;
        if (!WriteFile(FHandle, piece.data() + done, static_cast<DWORD>(piece.size() - done),
                       &written, nullptr)) {
          error = GetLastError();
        }
        done += written;
      }
    }
    lock.lock();
    FBusy = false;
    FError = FError != 0 ? FError : error;
    FChanged.notify_all();
  }
  FEnded = true;
  FChanged.notify_all();
}

std::unique_ptr<TConsoleOutput> OpenStandardOutput() {
  return std::make_unique<THandleOutput>(GetStdHandle(STD_OUTPUT_HANDLE));
}

}  // namespace vantorix
