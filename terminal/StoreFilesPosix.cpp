// The terminal store's file operations on POSIX.
#include "terminal/StoreFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "terminal/TerminalStore.h"

namespace vantorix {

namespace {

[[noreturn]] void Throw(const std::string& what, const std::string& path) {
  throw ETerminalStoreError(what + " " + path + ": " + std::strerror(errno));
}

// Owns one descriptor.
class TFd {
 public:
  TFd(const std::string& path, int flags) : fPath(path), fFd(::open(path.c_str(), flags, 0644)) {}
  ~TFd() {
    if (fFd >= 0) {
      ::close(fFd);
    }
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  bool Valid() const { return fFd >= 0; }
  int Get() const { return fFd; }
  const std::string& Path() const { return fPath; }

  void WriteAll(std::span<const std::uint8_t> bytes) const {
    std::size_t written = 0;
    while (written < bytes.size()) {
      ssize_t n = ::write(fFd, bytes.data() + written, bytes.size() - written);
      if (n > 0) {
        written += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        if (n == 0) {
          errno = EIO;
        }
        Throw("cannot write", fPath);
      }
    }
  }
  // A failed close can report a write that never reached the disk, so it is checked.
  void Close() {
    int fd = std::exchange(fFd, -1);
    if (::close(fd) != 0) {
      Throw("cannot close", fPath);
    }
  }

 private:
  std::string fPath;
  int fFd;
};

class TSystemAppendFile final : public TAppendFile {
 public:
  explicit TSystemAppendFile(const std::string& path)
      : fFile(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC) {
    if (!fFile.Valid()) {
      Throw("cannot open", path);
    }
  }
  void Truncate(std::uint64_t size) {
    if (::ftruncate(fFile.Get(), static_cast<off_t>(size)) != 0) {
      Throw("cannot truncate", fFile.Path());
    }
  }
  void Append(std::span<const std::uint8_t> bytes) override { fFile.WriteAll(bytes); }
  void Sync() override {
    if (::fdatasync(fFile.Get()) != 0) {
      Throw("cannot flush", fFile.Path());
    }
  }

 private:
  TFd fFile;
};

std::string DirectoryOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A new or renamed directory entry is only durable once its directory is flushed.
void SyncDirectoryOf(const std::string& path) {
  TFd directory(DirectoryOf(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (!directory.Valid() || ::fsync(directory.Get()) != 0) {
    Throw("cannot flush the directory of", path);
  }
}

}  // namespace

std::optional<std::vector<std::uint8_t>> TSystemStoreFiles::Read(const std::string& path) {
  TFd file(path, O_RDONLY | O_CLOEXEC);
  if (!file.Valid()) {
    if (errno == ENOENT) {
      return std::nullopt;
    }
    Throw("cannot open", path);
  }
  struct stat info {};
  if (::fstat(file.Get(), &info) != 0) {
    Throw("cannot read", path);
  }
  if (S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    Throw("cannot read", path);
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(info.st_size));
  std::size_t got = 0;
  for (;;) {
    if (got == bytes.size()) {
      // The file may have grown since fstat; read on until end of file.
      bytes.resize(bytes.size() + 65536);
    }
    ssize_t n = ::read(file.Get(), bytes.data() + got, bytes.size() - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      Throw("cannot read", path);
    }
  }
  bytes.resize(got);
  return bytes;
}

void TSystemStoreFiles::WriteSynced(const std::string& path, std::span<const std::uint8_t> bytes) {
  TFd file(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC);
  if (!file.Valid()) {
    Throw("cannot create", path);
  }
  file.WriteAll(bytes);
  if (::fsync(file.Get()) != 0) {
    Throw("cannot write", path);
  }
  file.Close();
}

void TSystemStoreFiles::Rename(const std::string& from, const std::string& to) {
  if (std::rename(from.c_str(), to.c_str()) != 0) {
    Throw("cannot rename onto", to);
  }
  SyncDirectoryOf(to);
}

void TSystemStoreFiles::Remove(const std::string& path) noexcept {
  ::unlink(path.c_str());
}

std::unique_ptr<TAppendFile> TSystemStoreFiles::OpenAppend(const std::string& path,
                                                           std::uint64_t keep) {
  auto file = std::make_unique<TSystemAppendFile>(path);
  file->Truncate(keep);
  // The file may have just been created: records synced into it must not vanish with its name.
  SyncDirectoryOf(path);
  return file;
}

}  // namespace vantorix
