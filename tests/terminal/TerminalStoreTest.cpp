// Tests of the simulated terminal's store and its file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/StopRequest.h"
#include "terminal/TerminalStore.h"

namespace vantorix {
namespace {

std::string TempPath(const std::string& name) {
  auto dir =
      std::filesystem::path(testing::TempDir()) / ("vtstore-" + std::to_string(CurrentProcessId()));
  std::filesystem::create_directories(dir);
  auto path = dir / name;
  std::filesystem::remove(path);
  return path.string();
}

TTerminalStore Sample() {
  TTerminalStore store;
  TStoredUser& a = store.Put(TLinkUser{u"10", u"Ann", u"1234", 3, true, u"555"});
  a.fingers[0] = TStoredTemplate{1, u"AAA"};
  a.fingers[9] = TStoredTemplate{0, u"ZZZ"};
  store.Put(TLinkUser{u"2", u"Bob", u"", 0, false, u""});
  return store;
}

TEST(TerminalStoreTest, PutKeepsFirstOrderAndTemplates) {
  TTerminalStore store = Sample();
  store.Put(TLinkUser{u"10", u"Ann B", u"", 0, false, u""});
  ASSERT_EQ(store.Users().size(), 2u);
  EXPECT_EQ(store.Users()[0].info.name, u"Ann B");
  EXPECT_EQ(store.TemplateCount(), 2u);
  EXPECT_TRUE(store.Remove(u"10"));
  EXPECT_FALSE(store.Remove(u"10"));
  ASSERT_NE(store.Find(u"2"), nullptr);
  EXPECT_EQ(store.Find(u"2")->info.name, u"Bob");
}

TEST(TerminalStoreTest, SaveAndLoadRoundTripWithoutLeavingTemporaryFile) {
  std::string path = TempPath("round.bin");
  EXPECT_TRUE(TTerminalStore::Load(path).Users().empty()) << "missing file is an empty store";
  Sample().Save(path);
  EXPECT_EQ(TTerminalStore::Load(path), Sample());
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
  TTerminalStore smaller;
  smaller.Put(TLinkUser{u"1", u"x", u"", 0, true, u""});
  smaller.Save(path);
  EXPECT_EQ(TTerminalStore::Load(path), smaller);
}

// A store cut short anywhere (a crash of a writer without the rename) is refused, not half-read.
TEST(TerminalStoreTest, TruncatedOrForeignFileIsRefused) {
  auto bytes = Sample().Encode();
  for (std::size_t n = 0; n < bytes.size(); n += 7) {
    std::vector<std::uint8_t> prefix(bytes.begin(), bytes.begin() + static_cast<long>(n));
    EXPECT_THROW(TTerminalStore::Decode(prefix), ELinkProtocolError) << n;
  }
  std::string path = TempPath("foreign.bin");
  std::ofstream(path) << "not a store";
  EXPECT_THROW(TTerminalStore::Load(path), ETerminalStoreError);
}

TEST(TerminalStoreTest, FailedSaveKeepsThePreviousFile) {
  std::string path = TempPath("keep.bin");
  Sample().Save(path);
  // A directory in the temporary file's place makes the write fail.
  std::filesystem::create_directory(path + ".tmp");
  TTerminalStore other;
  EXPECT_THROW(other.Save(path), ETerminalStoreError);
  EXPECT_EQ(TTerminalStore::Load(path), Sample());
  std::filesystem::remove(path + ".tmp");
}

}  // namespace
}  // namespace vantorix
