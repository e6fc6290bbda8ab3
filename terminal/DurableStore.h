// The simulated terminal's store kept on disk as a snapshot plus an append-only journal, so that
// a change costs in proportion to its size instead of rewriting every user.
//
// Files: the snapshot at `path` (TTerminalStore::Encode, with a generation number) and the
// journal at `path + ".journal"`: a header naming the snapshot generation it continues, then
// records of u32 body length, u32 CRC-32 of the body, body. A journal of another generation is
// left over from an interrupted compaction and already contained in the snapshot.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "terminal/StoreFiles.h"
#include "terminal/TerminalStore.h"

namespace vantorix {

// Not thread-safe: the terminal server guards it with its own lock.
class TDurableStore {
 public:
  // Without files the store lives in memory only and Commit and Compact do nothing.
  TDurableStore() = default;
  // Loads the snapshot (missing: empty) and replays the journal; a torn or corrupt journal tail
  // is ignored and cut off by the next Commit. Throws ETerminalStoreError when a file cannot be
  // read, the snapshot is corrupt, or a whole journal record does not fit the snapshot. Writes
  // nothing. files must outlive the store. Commit compacts once the journal is larger than twice
  // the snapshot and than minCompaction.
  TDurableStore(TStoreFiles& files, std::string path,
                std::uint64_t minCompaction = kDefaultMinCompaction);

  static constexpr std::uint64_t kDefaultMinCompaction = 64u << 20;

  const TTerminalStore& Store() const { return fStore; }
  // True while changes are not yet durable.
  bool Dirty() const { return !fPending.empty() || fNeedsCompaction; }

  // Changes apply at once and become durable with the next successful Commit.
  void PutUser(const TLinkUser& info);
  // False (and nothing recorded) when the user does not exist.
  bool SetTemplate(const std::u16string& enrollNumber, int finger, const TStoredTemplate& fp);
  // False when that slot is empty or the user does not exist.
  bool ClearTemplate(const std::u16string& enrollNumber, int finger);
  bool RemoveUser(const std::u16string& enrollNumber);
  // Any change at all; the next Commit writes a whole snapshot.
  void Edit(const std::function<void(TTerminalStore&)>& change);

  // Makes every change so far durable: appends them to the journal and flushes it, or writes a
  // snapshot after Edit. Compacts when the journal has grown past the snapshot. Throws
  // ETerminalStoreError and keeps the changes pending, to be written by the next Commit.
  void Commit();
  // Writes the whole store as a new snapshot (temporary file, flush, rename) and starts an empty
  // journal. Each step leaves files that load as the store before or after it. Throws
  // ETerminalStoreError: before the rename the changes stay pending; after it they are durable
  // and only the new journal is missing, which the next Commit creates.
  void Compact();

  // Journal size in bytes as of the last Commit, header included (0: none yet).
  std::uint64_t JournalSize() const { return fJournalSize; }

 private:
  void Record(std::vector<std::uint8_t> body);
  std::string JournalPath() const { return fPath + ".journal"; }

  TStoreFiles* fFiles = nullptr;
  std::string fPath;
  TTerminalStore fStore;
  std::uint64_t fMinCompaction = kDefaultMinCompaction;
  std::uint64_t fGeneration = 0;
  std::uint64_t fSnapshotSize = 0;
  // Bytes of the journal known good for fGeneration; 0 when it must be started afresh.
  std::uint64_t fJournalSize = 0;
  std::unique_ptr<TAppendFile> fJournal;
  std::vector<std::uint8_t> fPending;
  bool fNeedsCompaction = false;
};

}  // namespace vantorix
