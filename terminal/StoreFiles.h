// The file operations the simulated terminal's store needs, behind an interface so that tests can
// run the store on memory and fail any single operation.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vantorix {

// A file open for appending. Owned by whoever opened it; closed by the destructor. One thread at a
// time. Failures throw ETerminalStoreError (TerminalStore.h) naming the file and the reason; after
// one, the caller drops the handle and reopens, since how much of a failed append landed is
// unknown.
class TAppendFile {
 public:
  virtual ~TAppendFile() = default;
  // Writes all of bytes at the end of the file.
  virtual void Append(std::span<const std::uint8_t> bytes) = 0;
  // Returns once everything appended so far, and the file's size, survive a crash.
  virtual void Sync() = 0;
};

// Threading: one caller at a time. Every failure throws ETerminalStoreError; nothing here retries.
class TStoreFiles {
 public:
  virtual ~TStoreFiles() = default;
  // The whole file, or nullopt when it does not exist.
  virtual std::optional<std::vector<std::uint8_t>> Read(const std::string& path) = 0;
  // Creates or empties path, writes bytes and returns once they survive a crash.
  virtual void WriteSynced(const std::string& path, std::span<const std::uint8_t> bytes) = 0;
  // Atomically puts from in to's place; returns once the new name survives a crash.
  virtual void Rename(const std::string& from, const std::string& to) = 0;
  // Best effort, never throws: a leftover is harmless to the store.
  virtual void Remove(const std::string& path) noexcept = 0;
  // Opens path for appending, creating it when missing, and cuts it to its first keep bytes.
  // The cut itself becomes durable with the next Sync.
  virtual std::unique_ptr<TAppendFile> OpenAppend(const std::string& path, std::uint64_t keep) = 0;
};

// The local file system. POSIX: fsync of the file, and of the directory after a rename or a
// create. Windows: FlushFileBuffers, and MoveFileExW with MOVEFILE_WRITE_THROUGH for the rename
// (the system has no flush of a directory; a written-through move is durable when it returns).
class TSystemStoreFiles final : public TStoreFiles {
 public:
  std::optional<std::vector<std::uint8_t>> Read(const std::string& path) override;
  void WriteSynced(const std::string& path, std::span<const std::uint8_t> bytes) override;
  void Rename(const std::string& from, const std::string& to) override;
  void Remove(const std::string& path) noexcept override;
  std::unique_ptr<TAppendFile> OpenAppend(const std::string& path, std::uint64_t keep) override;
};

}  // namespace vantorix
