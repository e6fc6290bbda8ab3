// Snapshot plus journal. Every change is encoded as a journal record and applied through the
// same decoder that replays the journal at start-up, so what a restart rebuilds is what ran.
//
// Crash safety rests on three orderings: a record is acknowledged only after the journal is
// flushed; a new snapshot is flushed before it is renamed into place; and the journal is only
// restarted (with the new generation) after that rename is durable. A crash between the rename
// and the restart leaves a journal of the old generation, which the loader skips because the
// snapshot already holds everything it recorded.
#include "terminal/DurableStore.h"

#include <algorithm>
#include <array>
#include <utility>

namespace vantorix {

namespace {

constexpr char kJournalMagic[8] = {'V', 'T', 'J', 'O', 'U', 'R', 'N', '1'};
constexpr std::size_t kJournalHeaderSize = 16;
constexpr std::size_t kRecordHeaderSize = 8;

enum class TRecordKind : std::uint8_t {
  kPutUser = 1,
  kSetTemplate = 2,
  kClearTemplate = 3,
  kRemoveUser = 4,
};

// Tables for CRC-32 eight bytes at a time ("slicing by 8"): table k gives the CRC of a byte
// followed by k zero bytes, so eight lookups replace eight dependent steps of the byte loop.
// Every change of a bulk write is checksummed, tens of megabytes in one synctodevice, and the
// byte loop took a third of the simulator's own time for it.
constexpr std::array<std::array<std::uint32_t, 256>, 8> MakeCrcTables() {
  std::array<std::array<std::uint32_t, 256>, 8> tables{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) {
      c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    tables[0][i] = c;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::size_t i = 0; i < 256; ++i) {
      const std::uint32_t previous = tables[k - 1][i];
      tables[k][i] = tables[0][previous & 0xFFu] ^ (previous >> 8);
    }
  }
  return tables;
}

constexpr std::array<std::array<std::uint32_t, 256>, 8> kCrcTables = MakeCrcTables();

// CRC-32 as in zlib and RFC 1952.
std::uint32_t Crc32(std::span<const std::uint8_t> bytes) {
  const auto& t = kCrcTables;
  std::uint32_t c = 0xFFFFFFFFu;
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  for (; n >= 8; n -= 8, p += 8) {
    const std::uint32_t low =
        c ^ (static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
             static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24);
    c = t[7][low & 0xFFu] ^ t[6][(low >> 8) & 0xFFu] ^ t[5][(low >> 16) & 0xFFu] ^ t[4][low >> 24] ^
        t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
  }
  for (; n > 0; --n, ++p) {
    c = t[0][(c ^ *p) & 0xFFu] ^ (c >> 8);
  }
  return c ^ 0xFFFFFFFFu;
}

std::uint32_t GetU32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

std::vector<std::uint8_t> JournalHeader(std::uint64_t generation) {
  TLinkWriter w;
  for (char c : kJournalMagic) {
    w.U8(static_cast<std::uint8_t>(c));
  }
  w.U32(static_cast<std::uint32_t>(generation));
  w.U32(static_cast<std::uint32_t>(generation >> 32));
  return std::move(w.Bytes());
}

bool ValidFinger(int finger) {
  return finger >= 0 && finger < kFingerSlots;
}

// Applies one record body to the store; false when it does not fit (unknown user, empty slot).
// Throws ELinkProtocolError when the body is malformed.
bool Apply(TTerminalStore& store, std::span<const std::uint8_t> body) {
  TLinkReader r(body);
  auto kind = static_cast<TRecordKind>(r.U8());
  bool applied = false;
  switch (kind) {
    case TRecordKind::kPutUser: {
      TLinkUser info = r.User();
      r.End();
      store.Put(info);
      return true;
    }
    case TRecordKind::kSetTemplate: {
      std::u16string number = r.Text();
      int finger = r.I32();
      TStoredTemplate fp;
      fp.flag = r.I32();
      fp.data = r.Text();
      r.End();
      TStoredUser* user = store.Find(number);
      if (user != nullptr && ValidFinger(finger)) {
        user->fingers[static_cast<std::size_t>(finger)] = std::move(fp);
        applied = true;
      }
      break;
    }
    case TRecordKind::kClearTemplate: {
      std::u16string number = r.Text();
      int finger = r.I32();
      r.End();
      TStoredUser* user = store.Find(number);
      if (user != nullptr && ValidFinger(finger) &&
          user->fingers[static_cast<std::size_t>(finger)]) {
        user->fingers[static_cast<std::size_t>(finger)].reset();
        applied = true;
      }
      break;
    }
    case TRecordKind::kRemoveUser: {
      std::u16string number = r.Text();
      r.End();
      applied = store.Remove(number);
      break;
    }
    default:
      throw ELinkProtocolError("unknown journal record");
  }
  return applied;
}

TLinkWriter RecordWriter(TRecordKind kind) {
  TLinkWriter w;
  w.U8(static_cast<std::uint8_t>(kind));
  return w;
}

}  // namespace

TDurableStore::TDurableStore(TStoreFiles& files, std::string path, std::uint64_t minCompaction)
    : fFiles(&files), fPath(std::move(path)), fMinCompaction(minCompaction) {
  if (auto snapshot = fFiles->Read(fPath)) {
    try {
      fStore = TTerminalStore::Decode(*snapshot, &fGeneration);
    } catch (const ELinkProtocolError& e) {
      throw ETerminalStoreError("corrupt store " + fPath + ": " + e.what());
    }
    fSnapshotSize = snapshot->size();
  }
  auto journal = fFiles->Read(JournalPath());
  // Shorter than its header: a journal whose creation was cut short, so nothing was recorded.
  if (!journal || journal->size() < kJournalHeaderSize) {
    return;
  }
  const std::span<const std::uint8_t> bytes(*journal);
  if (!std::equal(std::begin(kJournalMagic), std::end(kJournalMagic), bytes.begin())) {
    throw ETerminalStoreError("corrupt store " + JournalPath() + ": not a store journal");
  }
  std::uint64_t generation = GetU32(bytes, 8) | static_cast<std::uint64_t>(GetU32(bytes, 12)) << 32;
  if (generation < fGeneration) {
    return;
  }
  // A journal ahead of its snapshot means the snapshot was replaced by an older one; replaying
  // would build a store that never existed.
  if (generation > fGeneration) {
    throw ETerminalStoreError("corrupt store " + fPath + ": older than its journal");
  }
  std::size_t at = kJournalHeaderSize;
  while (bytes.size() - at >= kRecordHeaderSize) {
    std::uint32_t length = GetU32(bytes, at);
    std::uint32_t checksum = GetU32(bytes, at + 4);
    if (length > bytes.size() - at - kRecordHeaderSize) {
      break;
    }
    auto body = bytes.subspan(at + kRecordHeaderSize, length);
    if (Crc32(body) != checksum) {
      break;
    }
    bool applied = false;
    try {
      applied = Apply(fStore, body);
    } catch (const ELinkProtocolError& e) {
      throw ETerminalStoreError("corrupt store " + JournalPath() + ": " + e.what());
    }
    if (!applied) {
      throw ETerminalStoreError("corrupt store " + JournalPath() +
                                ": a record does not fit the store");
    }
    at += kRecordHeaderSize + length;
  }
  // Whatever follows the last whole record was never acknowledged; the next append replaces it.
  fJournalSize = at;
}

void TDurableStore::Record(std::vector<std::uint8_t> body) {
  if (!Apply(fStore, body) || fFiles == nullptr) {
    return;
  }
  TLinkWriter header;
  header.U32(static_cast<std::uint32_t>(body.size()));
  header.U32(Crc32(body));
  fPending.insert(fPending.end(), header.Bytes().begin(), header.Bytes().end());
  fPending.insert(fPending.end(), body.begin(), body.end());
}

void TDurableStore::PutUser(const TLinkUser& info) {
  TLinkWriter w = RecordWriter(TRecordKind::kPutUser);
  w.User(info);
  Record(std::move(w.Bytes()));
}

bool TDurableStore::SetTemplate(const std::u16string& enrollNumber, int finger,
                                const TStoredTemplate& fp) {
  if (fStore.Find(enrollNumber) == nullptr || !ValidFinger(finger)) {
    return false;
  }
  TLinkWriter w = RecordWriter(TRecordKind::kSetTemplate);
  w.Text(enrollNumber);
  w.I32(finger);
  w.I32(fp.flag);
  w.Text(fp.data);
  Record(std::move(w.Bytes()));
  return true;
}

bool TDurableStore::ClearTemplate(const std::u16string& enrollNumber, int finger) {
  const TStoredUser* user = fStore.Find(enrollNumber);
  if (user == nullptr || !ValidFinger(finger) || !user->fingers[static_cast<std::size_t>(finger)]) {
    return false;
  }
  TLinkWriter w = RecordWriter(TRecordKind::kClearTemplate);
  w.Text(enrollNumber);
  w.I32(finger);
  Record(std::move(w.Bytes()));
  return true;
}

bool TDurableStore::RemoveUser(const std::u16string& enrollNumber) {
  if (fStore.Find(enrollNumber) == nullptr) {
    return false;
  }
  TLinkWriter w = RecordWriter(TRecordKind::kRemoveUser);
  w.Text(enrollNumber);
  Record(std::move(w.Bytes()));
  return true;
}

void TDurableStore::Edit(const std::function<void(TTerminalStore&)>& change) {
  change(fStore);
  fNeedsCompaction = fFiles != nullptr;
}

void TDurableStore::Commit() {
  if (fFiles == nullptr) {
    return;
  }
  if (fNeedsCompaction) {
    Compact();
    return;
  }
  if (fPending.empty()) {
    return;
  }
  // The header of a journal started afresh goes in its own append: joining it to the pending
  // records would copy them, tens of megabytes after a bulk write.
  const std::vector<std::uint8_t> header =
      fJournalSize == 0 ? JournalHeader(fGeneration) : std::vector<std::uint8_t>();
  try {
    if (!fJournal) {
      // Cuts off a torn tail or a failed append before anything new goes after it.
      fJournal = fFiles->OpenAppend(JournalPath(), fJournalSize);
    }
    if (!header.empty()) {
      fJournal->Append(header);
    }
    fJournal->Append(fPending);
    fJournal->Sync();
  } catch (const ETerminalStoreError&) {
    fJournal.reset();
    throw;
  }
  fJournalSize += header.size() + fPending.size();
  fPending.clear();
  // A compaction rewrites the whole store inside the Refresh that triggers it, so it waits until
  // the journal outgrows twice the snapshot (replay then reads at most three times the data)
  // and a floor that keeps a bulk write into a small store from paying for a rewrite as well.
  if (fJournalSize > std::max(fMinCompaction, 2 * fSnapshotSize)) {
    try {
      Compact();
    } catch (const ETerminalStoreError&) {
      // Everything is durable in the journal already; the next Commit tries again.
    }
  }
}

void TDurableStore::Compact() {
  if (fFiles == nullptr) {
    return;
  }
  std::vector<std::uint8_t> snapshot = fStore.Encode(fGeneration + 1);
  const std::string temporary = fPath + ".tmp";
  try {
    fFiles->WriteSynced(temporary, snapshot);
    fFiles->Rename(temporary, fPath);
  } catch (const ETerminalStoreError&) {
    fFiles->Remove(temporary);
    throw;
  }
  // From here the snapshot holds everything, and the old journal is stale whatever happens next.
  ++fGeneration;
  fSnapshotSize = snapshot.size();
  fPending.clear();
  fNeedsCompaction = false;
  fJournal.reset();
  fJournalSize = 0;
  std::vector<std::uint8_t> header = JournalHeader(fGeneration);
  auto journal = fFiles->OpenAppend(JournalPath(), 0);
  journal->Append(header);
  journal->Sync();
  fJournal = std::move(journal);
  fJournalSize = header.size();
}

}  // namespace vantorix
