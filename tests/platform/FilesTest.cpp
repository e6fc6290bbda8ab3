// Whole-file reads and replacement in one step: an existing file is replaced (which a plain
// rename does not do on Windows), names outside ASCII work, and a failure leaves the old file.
#include "platform/Files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace vantorix {
namespace {

std::vector<std::uint8_t> Bytes(const std::string& text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// Runs change, which must raise EFileError with a message that starts with prefix.
void ExpectFileError(const std::function<void()>& change, const std::string& prefix) {
  try {
    change();
    ADD_FAILURE() << "no error, expected " << prefix;
  } catch (const EFileError& e) {
    EXPECT_EQ(std::string(e.what()).rfind(prefix, 0), 0u) << e.what();
  }
}

// A fresh folder for one test, removed afterwards.
class FilesTest : public ::testing::Test {
 protected:
  FilesTest() {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    FFolder = std::filesystem::temp_directory_path() / ("vantorix-files-" + name);
    std::filesystem::remove_all(FFolder);
    std::filesystem::create_directories(FFolder);
  }
  ~FilesTest() override { std::filesystem::remove_all(FFolder); }
  std::string In(const std::string& name) const {
    const std::u8string folder = FFolder.u8string();
    return std::string(folder.begin(), folder.end()) + "/" + name;
  }

  std::filesystem::path FFolder;
};

TEST_F(FilesTest, ReplacesExistingFilesWholeAndLeavesNoTemporaryFile) {
  // Names outside ASCII reach the system as they are (UTF-8 here, UTF-16 on Windows).
  for (const std::string name : {"store.bin", "Jörg \xE2\x82\xAC \xF0\x9F\x98\x80.bin"}) {
    SCOPED_TRACE(name);
    const std::string path = In(name);
    EXPECT_EQ(ReadWholeFile(path), std::nullopt) << "no file yet";
    ReplaceFileContents(path, Bytes("first contents"));
    EXPECT_EQ(ReadWholeFile(path), Bytes("first contents"));
    ReplaceFileContents(path, Bytes("second"));
    EXPECT_EQ(ReadWholeFile(path), Bytes("second"));
    ReplaceFileContents(path, {});
    EXPECT_EQ(ReadWholeFile(path), Bytes(""));
    EXPECT_TRUE(std::filesystem::exists(FsPath(path)));
    EXPECT_FALSE(std::filesystem::exists(FsPath(path + ".tmp")));
  }
  const std::vector<std::uint8_t> large(std::size_t{3} << 20, 0xA5);
  ReplaceFileContents(In("large.bin"), large);
  EXPECT_EQ(ReadWholeFile(In("large.bin")), large);
}

TEST_F(FilesTest, AFailureKeepsThePreviousContentsAndNamesTheFile) {
  const std::string path = In("keep.bin");
  ReplaceFileContents(path, Bytes("kept"));

  // A folder where the temporary file goes: it cannot be created.
  std::filesystem::create_directory(FsPath(path + ".tmp"));
  ExpectFileError([&] { ReplaceFileContents(path, Bytes("lost")); },
                  "cannot create " + path + ".tmp: ");
  EXPECT_EQ(ReadWholeFile(path), Bytes("kept"));
  std::filesystem::remove(FsPath(path + ".tmp"));

  // A folder in the file's place: the new contents are written but cannot take its place, and
  // their temporary file goes again.
  const std::string folder = In("folder");
  std::filesystem::create_directory(FsPath(folder));
  std::filesystem::create_directory(FsPath(folder + "/inside"));
  ExpectFileError([&] { ReplaceFileContents(folder, Bytes("x")); },
                  "cannot replace " + folder + ": ");
  EXPECT_TRUE(std::filesystem::is_directory(FsPath(folder + "/inside")));
  EXPECT_FALSE(std::filesystem::exists(FsPath(folder + ".tmp")));

  // A missing folder on the way: nothing to read, and nothing can be written.
  EXPECT_EQ(ReadWholeFile(In("missing/x.bin")), std::nullopt);
  EXPECT_THROW(ReplaceFileContents(In("missing/x.bin"), Bytes("x")), EFileError);
  EXPECT_THROW(ReadWholeFile(folder), EFileError) << "a folder is no file";
}

}  // namespace
}  // namespace vantorix
