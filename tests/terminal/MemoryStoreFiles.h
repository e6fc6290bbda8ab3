// File operations for store tests: an in-memory file system that can forget what was not made
// durable (a crash), and a wrapper that fails one chosen operation.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "terminal/StoreFiles.h"
#include "terminal/TerminalStore.h"

namespace vantorix {

// Each file has the contents a reader sees now and the contents a crash would leave. A name
// survives a crash once a Rename or OpenAppend (which flush their directory) made it durable.
class TMemoryStoreFiles final : public TStoreFiles {
 public:
  struct TFile {
    std::vector<std::uint8_t> now;
    std::vector<std::uint8_t> durable;
    bool durableName = false;
  };

  std::optional<std::vector<std::uint8_t>> Read(const std::string& path) override {
    auto it = fFiles.find(path);
    if (it == fFiles.end()) {
      return std::nullopt;
    }
    return it->second.now;
  }
  void WriteSynced(const std::string& path, std::span<const std::uint8_t> bytes) override {
    TFile& file = fFiles[path];
    file.now.assign(bytes.begin(), bytes.end());
    file.durable = file.now;
  }
  void Rename(const std::string& from, const std::string& to) override {
    auto it = fFiles.find(from);
    if (it == fFiles.end()) {
      throw ETerminalStoreError("no file " + from);
    }
    TFile file = std::move(it->second);
    fFiles.erase(it);
    file.durableName = true;
    fFiles[to] = std::move(file);
  }
  void Remove(const std::string& path) noexcept override { fFiles.erase(path); }
  std::unique_ptr<TAppendFile> OpenAppend(const std::string& path, std::uint64_t keep) override {
    TFile& file = fFiles[path];
    file.durableName = true;
    if (file.now.size() > keep) {
      file.now.resize(keep);
    }
    return std::make_unique<TAppender>(*this, path);
  }

  // What a crash of the machine leaves: unflushed data and unflushed names are gone.
  void Crash() {
    for (auto it = fFiles.begin(); it != fFiles.end();) {
      if (!it->second.durableName) {
        it = fFiles.erase(it);
      } else {
        it->second.now = it->second.durable;
        ++it;
      }
    }
  }
  std::map<std::string, TFile>& Files() { return fFiles; }

 private:
  class TAppender final : public TAppendFile {
   public:
    TAppender(TMemoryStoreFiles& files, std::string path) : fFiles(files), fPath(std::move(path)) {}
    void Append(std::span<const std::uint8_t> bytes) override {
      auto& now = fFiles.fFiles.at(fPath).now;
      now.insert(now.end(), bytes.begin(), bytes.end());
    }
    void Sync() override {
      TFile& file = fFiles.fFiles.at(fPath);
      file.durable = file.now;
    }

   private:
    TMemoryStoreFiles& fFiles;
    std::string fPath;
  };

  std::map<std::string, TFile> fFiles;
};

// Passes every operation to inner and counts them (Remove excepted: it cannot fail). The
// operation numbered failAt (1 = the next one) throws ETerminalStoreError; a failing Append
// first writes half its bytes, as a full disk would. With crashAfterFailure every later
// operation fails too, as if the process had died there.
class TFaultyStoreFiles final : public TStoreFiles {
 public:
  explicit TFaultyStoreFiles(TStoreFiles& inner) : fInner(inner) {}
  void FailAt(long failAt, bool crashAfterFailure) {
    fCount = 0;
    fFailAt = failAt;
    fCrash = crashAfterFailure;
    fFailed = false;
  }
  bool Failed() const { return fFailed; }
  long Count() const { return fCount; }

  std::optional<std::vector<std::uint8_t>> Read(const std::string& path) override {
    Step("read " + path);
    return fInner.Read(path);
  }
  void WriteSynced(const std::string& path, std::span<const std::uint8_t> bytes) override {
    Step("write " + path);
    fInner.WriteSynced(path, bytes);
  }
  void Rename(const std::string& from, const std::string& to) override {
    Step("rename " + from);
    fInner.Rename(from, to);
  }
  void Remove(const std::string& path) noexcept override {
    if (!(fCrash && fFailed)) {
      fInner.Remove(path);
    }
  }
  std::unique_ptr<TAppendFile> OpenAppend(const std::string& path, std::uint64_t keep) override {
    Step("open " + path);
    return std::make_unique<TAppender>(*this, fInner.OpenAppend(path, keep));
  }

 private:
  class TAppender final : public TAppendFile {
   public:
    TAppender(TFaultyStoreFiles& owner, std::unique_ptr<TAppendFile> inner)
        : fOwner(owner), fInner(std::move(inner)) {}
    void Append(std::span<const std::uint8_t> bytes) override {
      if (fOwner.Fails()) {
        if (!fOwner.fFailed) {
          fInner->Append(bytes.first(bytes.size() / 2));
        }
        fOwner.Step("append");
      }
      fOwner.Step("append");
      fInner->Append(bytes);
    }
    void Sync() override {
      fOwner.Step("sync");
      fInner->Sync();
    }

   private:
    TFaultyStoreFiles& fOwner;
    std::unique_ptr<TAppendFile> fInner;
  };

  // True when the next Step throws.
  bool Fails() const { return (fCrash && fFailed) || fCount + 1 == fFailAt; }
  void Step(const std::string& what) {
    bool fail = Fails();
    ++fCount;
    if (fail) {
      fFailed = true;
      throw ETerminalStoreError("injected failure: " + what);
    }
  }

  TStoreFiles& fInner;
  long fCount = 0;
  long fFailAt = 0;
  bool fCrash = false;
  bool fFailed = false;
};

}  // namespace vantorix
