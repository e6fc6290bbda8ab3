// The terminal store's file operations on Windows.
#include <windows.h>

#include <algorithm>
#include <utility>

#include "platform/Files.h"
#include "platform/WindowsText.h"
#include "terminal/StoreFiles.h"
#include "terminal/TerminalStore.h"

namespace vantorix {

namespace {

[[noreturn]] void Throw(const std::string& what, const std::string& path, DWORD error) {
  throw ETerminalStoreError(what + " " + path + ": " + WindowsErrorText(error));
}

// Owns one handle.
class THandle {
 public:
  THandle(const std::string& path, DWORD access, DWORD disposition)
      : fPath(path),
        // Shared for everything: a reader of the store, or the journal's previous handle while a
        // new one takes over, must not make the open fail.
        fHandle(CreateFileW(Utf8ToWide(path).c_str(), access,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            disposition, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~THandle() {
    if (Valid()) {
      CloseHandle(fHandle);
    }
  }
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  bool Valid() const { return fHandle != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return fHandle; }
  const std::string& Path() const { return fPath; }

  void WriteAll(std::span<const std::uint8_t> bytes) const {
    std::size_t written = 0;
    while (written < bytes.size()) {
      const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - written, 1 << 30));
      DWORD n = 0;
      if (!WriteFile(fHandle, bytes.data() + written, chunk, &n, nullptr)) {
        Throw("cannot write", fPath, GetLastError());
      }
      if (n == 0) {
        Throw("cannot write", fPath, ERROR_WRITE_FAULT);
      }
      written += n;
    }
  }
  void Flush(const char* what) const {
    if (!FlushFileBuffers(fHandle)) {
      Throw(what, fPath, GetLastError());
    }
  }
  // A failed close can report a write that never reached the disk, so it is checked.
  void Close() {
    if (!CloseHandle(std::exchange(fHandle, INVALID_HANDLE_VALUE))) {
      Throw("cannot close", fPath, GetLastError());
    }
  }

 private:
  std::string fPath;
  HANDLE fHandle;
};

class TSystemAppendFile final : public TAppendFile {
 public:
  explicit TSystemAppendFile(const std::string& path) : fFile(path, GENERIC_WRITE, OPEN_ALWAYS) {
    if (!fFile.Valid()) {
      Throw("cannot open", path, GetLastError());
    }
  }
  // Cuts the file to size and leaves the file position there, so that every write appends.
  void Truncate(std::uint64_t size) {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(fFile.Get(), position, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(fFile.Get())) {
      Throw("cannot truncate", fFile.Path(), GetLastError());
    }
  }
  void Append(std::span<const std::uint8_t> bytes) override { fFile.WriteAll(bytes); }
  void Sync() override { fFile.Flush("cannot flush"); }

 private:
  THandle fFile;
};

}  // namespace

std::optional<std::vector<std::uint8_t>> TSystemStoreFiles::Read(const std::string& path) {
  try {
    return ReadWholeFile(path);
  } catch (const EFileError& e) {
    throw ETerminalStoreError(e.what());
  }
}

void TSystemStoreFiles::WriteSynced(const std::string& path, std::span<const std::uint8_t> bytes) {
  THandle file(path, GENERIC_WRITE, CREATE_ALWAYS);
  if (!file.Valid()) {
    Throw("cannot create", path, GetLastError());
  }
  file.WriteAll(bytes);
  file.Flush("cannot write");
  file.Close();
}

void TSystemStoreFiles::Rename(const std::string& from, const std::string& to) {
  if (!MoveFileExW(Utf8ToWide(from).c_str(), Utf8ToWide(to).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    Throw("cannot rename onto", to, GetLastError());
  }
}

void TSystemStoreFiles::Remove(const std::string& path) noexcept {
  try {
    DeleteFileW(Utf8ToWide(path).c_str());
  } catch (...) {
    // Out of memory for the name: the leftover file is harmless, as any failed removal.
  }
}

std::unique_ptr<TAppendFile> TSystemStoreFiles::OpenAppend(const std::string& path,
                                                           std::uint64_t keep) {
  auto file = std::make_unique<TSystemAppendFile>(path);
  file->Truncate(keep);
  return file;
}

}  // namespace vantorix
