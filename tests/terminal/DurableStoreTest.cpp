// Tests of the store's snapshot and journal: replay, torn and corrupt tails, faults and crashes
// at every file operation, and stores of the earlier file form.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "terminal/DurableStore.h"
#include "tests/terminal/MemoryStoreFiles.h"

namespace vantorix {
namespace {

const std::string kPath = "store.bin";
const std::string kJournal = "store.bin.journal";

TLinkUser User(const std::u16string& number, const std::u16string& name) {
  return TLinkUser{number, name, u"pw" + number, 0, true, u"card" + number};
}

// One change of each kind, in an order where each depends on the ones before.
const std::vector<std::function<void(TDurableStore&)>>& EveryKind() {
  static const std::vector<std::function<void(TDurableStore&)>> changes = {
      [](TDurableStore& s) { s.PutUser(User(u"1", u"Ann")); },
      [](TDurableStore& s) { s.PutUser(User(u"2", u"Bob")); },
      [](TDurableStore& s) {
        ASSERT_TRUE(s.SetTemplate(u"1", 0, {1, u"T1-0"}));
      },
      [](TDurableStore& s) {
        ASSERT_TRUE(s.SetTemplate(u"1", 9, {0, u"T1-9"}));
      },
      [](TDurableStore& s) {
        ASSERT_TRUE(s.SetTemplate(u"2", 4, {1, u"T2-4"}));
      },
      [](TDurableStore& s) { ASSERT_TRUE(s.ClearTemplate(u"1", 0)); },
      [](TDurableStore& s) {
        s.PutUser(TLinkUser{u"1", u"Ann B", u"", 3, false, u""});
      },
      [](TDurableStore& s) { ASSERT_TRUE(s.RemoveUser(u"2")); },
      [](TDurableStore& s) { s.PutUser(User(u"2", u"Bob again")); },
      [](TDurableStore& s) {
        ASSERT_TRUE(s.SetTemplate(u"2", 1, {1, u"T2-1"}));
      },
  };
  return changes;
}

TTerminalStore Reload(TStoreFiles& files) {
  return TDurableStore(files, kPath).Store();
}

TEST(DurableStoreTest, EveryRecordKindReplaysFromTheJournal) {
  TMemoryStoreFiles files;
  TDurableStore store(files, kPath);
  store.Compact();
  const auto snapshot = files.Files().at(kPath).now;
  for (const auto& change : EveryKind()) {
    change(store);
    ASSERT_TRUE(store.Dirty());
    store.Commit();
    EXPECT_FALSE(store.Dirty());
    EXPECT_EQ(Reload(files), store.Store());
  }
  EXPECT_EQ(files.Files().at(kPath).now, snapshot) << "small changes go to the journal only";
  ASSERT_EQ(store.Store().Users().size(), 2u);
  EXPECT_EQ(store.Store().Users()[1].info.name, u"Bob again");
  EXPECT_EQ(store.Store().TemplateCount(), 2u);
  // Changes that do not apply record nothing.
  EXPECT_FALSE(store.SetTemplate(u"9", 0, {1, u"x"}));
  EXPECT_FALSE(store.ClearTemplate(u"1", 0));
  EXPECT_FALSE(store.RemoveUser(u"9"));
  EXPECT_FALSE(store.Dirty());
}

// The checksum of every record is the CRC-32 of RFC 1952, whatever the body's length: a bitwise
// reference checks records of every length modulo 8 and a large one, as a journal written by
// an earlier build must still load.
TEST(DurableStoreTest, RecordChecksumsAreCrc32) {
  auto reference = [](const std::uint8_t* p, std::size_t n) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
      c ^= p[i];
      for (int k = 0; k < 8; ++k) {
        c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      }
    }
    return c ^ 0xFFFFFFFFu;
  };
  auto u32 = [](const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
           static_cast<std::uint32_t>(b[at + 2]) << 16 |
           static_cast<std::uint32_t>(b[at + 3]) << 24;
  };
  TMemoryStoreFiles files;
  TDurableStore store(files, kPath);
  store.Compact();
  for (std::size_t length = 0; length < 9; ++length) {
    store.PutUser(User(u"1", std::u16string(length, u'\xE9')));
  }
  // Template records have odd lengths, user records even ones.
  for (int finger = 0; finger < 4; ++finger) {
    ASSERT_TRUE(store.SetTemplate(u"1", finger, {1, std::u16string(finger, u'q')}));
  }
  ASSERT_TRUE(store.SetTemplate(u"1", 5, {1, std::u16string(100001, u'\x7A5B')}));
  store.Commit();
  const std::vector<std::uint8_t>& journal = files.Files().at(kJournal).now;
  std::size_t records = 0;
  for (std::size_t at = 16; at < journal.size(); ++records) {
    const std::uint32_t length = u32(journal, at);
    ASSERT_LE(at + 8 + length, journal.size());
    EXPECT_EQ(u32(journal, at + 4), reference(journal.data() + at + 8, length)) << records;
    at += 8 + length;
  }
  EXPECT_EQ(records, 14u);
  EXPECT_EQ(Reload(files), store.Store());
}

// A crash while the last record was being appended leaves any prefix of it; none may load as
// data, and the next commit must continue after the last whole record.
TEST(DurableStoreTest, TornLastRecordIsIgnoredAndCutAtEveryLength) {
  TMemoryStoreFiles files;
  TDurableStore store(files, kPath);
  for (const auto& change : EveryKind()) {
    change(store);
  }
  store.Commit();
  const TTerminalStore acknowledged = store.Store();
  const std::size_t whole = files.Files().at(kJournal).now.size();
  ASSERT_TRUE(store.SetTemplate(u"1", 5, {1, std::u16string(40, u'x')}));
  store.Commit();
  const auto full = files.Files().at(kJournal).now;
  ASSERT_GT(full.size(), whole);
  TTerminalStore next = acknowledged;
  next.Find(u"2")->fingers[3] = TStoredTemplate{0, u"after"};
  for (std::size_t length = whole; length < full.size(); ++length) {
    SCOPED_TRACE(length);
    TMemoryStoreFiles torn;
    torn.Files() = files.Files();
    torn.Files()[kJournal].now.assign(full.begin(), full.begin() + static_cast<long>(length));
    TDurableStore reopened(torn, kPath);
    ASSERT_EQ(reopened.Store(), acknowledged);
    ASSERT_TRUE(reopened.SetTemplate(u"2", 3, {0, u"after"}));
    reopened.Commit();
    ASSERT_EQ(Reload(torn), next);
  }
}

TEST(DurableStoreTest, CorruptRecordEndsTheReplay) {
  TMemoryStoreFiles files;
  TDurableStore store(files, kPath);
  store.PutUser(User(u"1", u"Ann"));
  store.Commit();
  const std::size_t first = files.Files().at(kJournal).now.size();
  const TTerminalStore one = store.Store();
  store.PutUser(User(u"2", u"Bob"));
  store.Commit();
  const std::size_t second = files.Files().at(kJournal).now.size();
  store.PutUser(User(u"3", u"Cid"));
  store.Commit();
  const std::size_t third = files.Files().at(kJournal).now.size();
  ASSERT_EQ(third - second, second - first) << "the offsets below assume equal records";
  TTerminalStore two = one;
  two.Put(User(u"2", u"Bob"));
  struct TCase {
    const char* what;
    std::size_t at;
    TTerminalStore expected;
  };
  const TCase cases[] = {
      {"checksum of the last record", second + 4, two},
      {"body of the last record", third - 1, two},
      {"length of the last record", second, two},
      {"body of a middle record", second - 2, one},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TMemoryStoreFiles damaged;
    damaged.Files() = files.Files();
    damaged.Files().at(kJournal).now[c.at] ^= 0x40;
    EXPECT_EQ(Reload(damaged), c.expected);
  }
}

TEST(DurableStoreTest, InconsistentFilesRefuseToLoad) {
  auto base = [] {
    TMemoryStoreFiles files;
    TDurableStore store(files, kPath);
    store.PutUser(User(u"1", u"Ann"));
    store.Compact();
    EXPECT_TRUE(store.SetTemplate(u"1", 2, {1, u"T"}));
    store.Commit();
    return files.Files();
  }();
  struct TCase {
    const char* what;
    std::function<void(std::map<std::string, TMemoryStoreFiles::TFile>&)> damage;
  };
  const TCase cases[] = {
      {"a record for a user the snapshot lacks",
       [](auto& f) { f.at(kPath).now = TTerminalStore().Encode(1); }},
      {"a journal newer than its snapshot",
       [](auto& f) { f.at(kPath).now = TTerminalStore().Encode(0); }},
      {"a foreign journal", [](auto& f) { f.at(kJournal).now[0] = 'X'; }},
      {"a truncated snapshot", [](auto& f) { f.at(kPath).now.pop_back(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TMemoryStoreFiles files;
    files.Files() = base;
    EXPECT_NO_THROW(Reload(files));
    c.damage(files.Files());
    EXPECT_THROW(Reload(files), ETerminalStoreError);
  }
}

// A journal of an older generation is what a crash between the snapshot's rename and the new
// journal leaves; replaying it again would apply its changes twice.
TEST(DurableStoreTest, JournalOfAnOlderGenerationIsSkipped) {
  TMemoryStoreFiles files;
  TDurableStore store(files, kPath);
  store.PutUser(User(u"1", u"Ann"));
  store.PutUser(User(u"2", u"Bob"));
  store.Commit();
  ASSERT_TRUE(store.RemoveUser(u"1"));
  store.Commit();
  const auto oldJournal = files.Files().at(kJournal);
  store.Compact();
  store.PutUser(User(u"1", u"Ann"));
  store.Commit();
  store.Compact();
  files.Files()[kJournal] = oldJournal;
  TDurableStore reopened(files, kPath);
  EXPECT_EQ(reopened.Store(), store.Store()) << "user 1 last, not removed again";
  reopened.PutUser(User(u"3", u"Cid"));
  reopened.Commit();
  EXPECT_EQ(Reload(files), reopened.Store());
}

TEST(DurableStoreTest, CommitCompactsAGrownJournal) {
  TMemoryStoreFiles files;
  TDurableStore store(files, kPath, 4096);
  store.Compact();
  std::uint64_t largest = 0;
  int compactions = 0;
  for (int round = 0; round < 200; ++round) {
    store.PutUser(User(u"1", u"Ann " + std::u16string(round % 50, u'x')));
    std::uint64_t before = store.JournalSize();
    store.Commit();
    compactions += store.JournalSize() < before ? 1 : 0;
    largest = std::max(largest, store.JournalSize());
  }
  EXPECT_GT(compactions, 0);
  EXPECT_LE(largest, 4096u + 200u) << "never more than one commit past the floor";
  EXPECT_EQ(Reload(files), store.Store());
}

TEST(DurableStoreTest, EarlierFileFormLoadsAndIsRewrittenByCompaction) {
  TTerminalStore sample;
  sample.Put(User(u"10", u"Ann")).fingers[3] = TStoredTemplate{1, u"AAA"};
  sample.Put(User(u"2", u"Bob"));
  // The earlier form: the same body after "VTSTORE1", without a generation.
  std::vector<std::uint8_t> old = sample.Encode(0);
  old.erase(old.begin() + 8, old.begin() + 16);
  old[7] = '1';
  TMemoryStoreFiles files;
  files.Files()[kPath].now = old;
  TDurableStore store(files, kPath);
  EXPECT_EQ(store.Store(), sample);
  store.PutUser(User(u"3", u"Cid"));
  store.Commit();
  EXPECT_EQ(files.Files().at(kPath).now, old) << "the journal continues the old snapshot";
  store.Compact();
  const auto& now = files.Files().at(kPath).now;
  EXPECT_EQ(std::string(now.begin(), now.begin() + 8), "VTSTORE2");
  EXPECT_EQ(Reload(files), store.Store());
  EXPECT_EQ(Reload(files).Users().size(), 3u);
}

// The commits and compactions of a session's life, run against a file system that fails the
// Nth operation for N = 1, 2, 3, ... until the run completes.
struct TScript {
  std::vector<TTerminalStore> acknowledged;  // the state after each call that returned
  std::vector<TTerminalStore> attempted;     // the state each call tried to make durable
};

// Returns false when a call threw. Changes of a failed call stay in the store and are retried.
bool RunScript(TDurableStore& store, TScript& script) {
  const std::vector<std::function<void(TDurableStore&)>> steps = {
      [](TDurableStore& s) {
        s.PutUser(User(u"1", u"Ann"));
        s.PutUser(User(u"2", u"Bob"));
        s.Commit();
      },
      [](TDurableStore& s) {
        ASSERT_TRUE(s.SetTemplate(u"1", 0, {1, u"T1"}));
        s.Commit();
      },
      [](TDurableStore& s) { s.Compact(); },
      [](TDurableStore& s) {
        ASSERT_TRUE(s.RemoveUser(u"2"));
        s.Commit();
      },
      [](TDurableStore& s) {
        s.Edit([](TTerminalStore& t) { t.Put(User(u"5", u"Eve")); });
        s.Commit();
      },
      [](TDurableStore& s) {
        ASSERT_TRUE(s.ClearTemplate(u"1", 0));
        s.Commit();
      },
  };
  for (const auto& step : steps) {
    try {
      step(store);
    } catch (const ETerminalStoreError&) {
      script.attempted.push_back(store.Store());
      return false;
    }
    script.acknowledged.push_back(store.Store());
    script.attempted.push_back(store.Store());
  }
  return true;
}

// A fresh store on memory whose file operation number failAt fails.
struct TFaultRun {
  TFaultRun(long failAt, bool crash) { files.FailAt(failAt, crash); }
  TMemoryStoreFiles memory;
  TFaultyStoreFiles files{memory};
  TDurableStore store{files, kPath};
  TScript script;
};

TEST(DurableStoreTest, CrashAtEveryFileOperationKeepsWhatWasAcknowledged) {
  for (long n = 1;; ++n) {
    SCOPED_TRACE(n);
    TFaultRun run(n, true);
    auto& [memory, files, store, script] = run;
    bool completed = RunScript(store, script);
    memory.Crash();
    const TTerminalStore loaded = Reload(memory);
    // What loads is the last acknowledged state, or the state a call was making durable when it
    // failed (its flush may have landed before the failure).
    const std::size_t acked = script.acknowledged.size();
    bool expected = (acked == 0 && loaded.Users().empty()) ||
                    (acked > 0 && loaded == script.acknowledged.back()) ||
                    (!completed && loaded == script.attempted.back());
    ASSERT_TRUE(expected) << acked << " calls acknowledged; " << loaded.Users().size()
                          << " users loaded";
    // The files go on working after the crash.
    TDurableStore restarted(memory, kPath);
    restarted.PutUser(User(u"9", u"Zed"));
    restarted.Commit();
    ASSERT_EQ(Reload(memory), restarted.Store());
    if (completed) {
      ASSERT_GT(n, 10) << "the script makes more file operations than that";
      break;
    }
  }
}

TEST(DurableStoreTest, FailedCommitIsRetriedWithoutDamage) {
  TScript clean;
  {
    TMemoryStoreFiles memory;
    TDurableStore store(memory, kPath);
    ASSERT_TRUE(RunScript(store, clean));
  }
  for (long n = 1;; ++n) {
    SCOPED_TRACE(n);
    TFaultRun run(n, false);
    auto& [memory, files, store, script] = run;
    if (!RunScript(store, script)) {
      // One failure only: the retry makes everything durable, a half-written append included.
      store.Commit();
      EXPECT_FALSE(store.Dirty());
      EXPECT_EQ(Reload(memory), store.Store());
      // And the journal carries on where the failure left it.
      store.PutUser(User(u"8", u"Hal"));
      store.Commit();
      memory.Crash();
      EXPECT_EQ(Reload(memory), store.Store());
      continue;
    }
    EXPECT_FALSE(files.Failed());
    EXPECT_EQ(script.acknowledged.back(), clean.acknowledged.back());
    break;
  }
}

}  // namespace
}  // namespace vantorix
