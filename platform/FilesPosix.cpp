// Whole-file reads and atomic replacement on POSIX: write, fsync, rename.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/Files.h"

namespace vantorix {
namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error) {
  throw EFileError(what + " " + path + ": " + std::strerror(error));
}

// Owns a descriptor; close reports its own failure, which for a written file may be the write's.
class TFile {
 public:
  explicit TFile(int fd) : FFd(fd) {}
  ~TFile() {
    if (FFd >= 0) {
      ::close(FFd);
    }
  }
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;
  int Fd() const { return FFd; }
  bool Close() { return ::close(std::exchange(FFd, -1)) == 0; }

 private:
  int FFd;
};

}  // namespace

void ReplaceFileContents(const std::string& path, std::span<const std::uint8_t> bytes) {
  const std::string temporary = path + ".tmp";
  TFile file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (file.Fd() < 0) {
    Fail("cannot create", temporary, errno);
  }
  int error = 0;
  std::string what = "cannot write";
  std::size_t written = 0;
  while (error == 0 && written < bytes.size()) {
    const ssize_t n = ::write(file.Fd(), bytes.data() + written, bytes.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      error = errno;
    } else if (n == 0) {
      error = EIO;
    }
  }
  // The data must be on the disk before the rename makes it the file, or a crash could leave an
  // empty file under the name.
  if (error == 0 && ::fsync(file.Fd()) != 0) {
    error = errno;
  }
  if (!file.Close() && error == 0) {
    error = errno;
  }
  if (error == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) {
    error = errno;
    what = "cannot replace";
  }
  if (error != 0) {
    std::remove(temporary.c_str());
    Fail(what, what == "cannot replace" ? path : temporary, error);
  }
}

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path) {
  TFile file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.Fd() < 0) {
    if (errno == ENOENT) {
      return std::nullopt;
    }
    Fail("cannot open", path, errno);
  }
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[65536];
  for (;;) {
    const ssize_t n = ::read(file.Fd(), chunk, sizeof chunk);
    if (n > 0) {
      bytes.insert(bytes.end(), chunk, chunk + n);
    } else if (n == 0) {
      return bytes;
    } else if (errno != EINTR) {
      Fail("cannot read", path, errno);
    }
  }
}

}  // namespace vantorix
