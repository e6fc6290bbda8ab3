// Whole-file reads and atomic replacement on Windows: WriteFile, FlushFileBuffers, MoveFileExW.
#include <windows.h>

#include <algorithm>
#include <utility>

#include "platform/Files.h"
#include "platform/WindowsText.h"

namespace vantorix {
namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path, DWORD error) {
  throw EFileError(what + " " + path + ": " + WindowsErrorText(error));
}

class THandle {
 public:
  explicit THandle(HANDLE handle) : FHandle(handle) {}
  ~THandle() {
    if (FHandle != INVALID_HANDLE_VALUE) {
      CloseHandle(FHandle);
    }
  }
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  HANDLE Get() const { return FHandle; }
  bool Close() { return CloseHandle(std::exchange(FHandle, INVALID_HANDLE_VALUE)) != 0; }

 private:
  HANDLE FHandle;
};

}  // namespace

void ReplaceFileContents(const std::string& path, std::span<const std::uint8_t> bytes) {
  const std::string temporary = path + ".tmp";
  const std::wstring widePath = Utf8ToWide(path);
  const std::wstring wideTemporary = Utf8ToWide(temporary);
  THandle file(CreateFileW(wideTemporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.Get() == INVALID_HANDLE_VALUE) {
    Fail("cannot create", temporary, GetLastError());
  }
  DWORD error = 0;
  std::string what = "cannot write";
  std::size_t written = 0;
  while (error == 0 && written < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - written, 1 << 30));
    DWORD n = 0;
    if (!WriteFile(file.Get(), bytes.data() + written, chunk, &n, nullptr)) {
      error = GetLastError();
    } else if (n == 0) {
      error = ERROR_WRITE_FAULT;
    }
    written += n;
  }
  // On the disk before the move makes it the file (the move itself is written through).
  if (error == 0 && !FlushFileBuffers(file.Get())) {
    error = GetLastError();
  }
  if (!file.Close() && error == 0) {
    error = GetLastError();
  }
  if (error == 0 && !MoveFileExW(wideTemporary.c_str(), widePath.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = GetLastError();
    what = "cannot replace";
  }
  if (error != 0) {
    DeleteFileW(wideTemporary.c_str());
    Fail(what, what == "cannot replace" ? path : temporary, error);
  }
}

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path) {
  THandle file(CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.Get() == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return std::nullopt;
    }
    Fail("cannot open", path, error);
  }
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file.Get(), chunk, sizeof chunk, &n, nullptr)) {
      Fail("cannot read", path, GetLastError());
    }
    if (n == 0) {
      return bytes;
    }
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
}

}  // namespace vantorix
