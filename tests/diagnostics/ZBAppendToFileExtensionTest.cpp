#include "diagnostics/ZBAppendToFileExtension.hpp"

#include "support/TempDir.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

constexpr auto kUTF8 = ZBStringEncoding::UTF8;

// A missing file whose folder exists is created; two appends follow each other directly.
TEST(ZBAppendToFileExtensionTest, CreatesTheFileAndAppendsInOrder) {
  TempDir dir;
  EXPECT_TRUE(ZBAppendToFileExtension::appendToFile("first", dir.file("log"), kUTF8));
  EXPECT_TRUE(ZBAppendToFileExtension::appendToFile("second\n", dir.file("log"), kUTF8));
  EXPECT_EQ(ReadFile(dir.file("log")), "firstsecond\n");
}

// An existing file keeps its content; the text goes at its end.
TEST(ZBAppendToFileExtensionTest, AppendsToAnExistingFile) {
  TempDir dir;
  testsupport::WriteFile(dir.file("log"), "old\n");
  EXPECT_TRUE(ZBAppendToFileExtension::appendToFile("new \xE2\x80\xA6\n", dir.file("log"), kUTF8));
  EXPECT_EQ(ReadFile(dir.file("log")), "old\nnew \xE2\x80\xA6\n");
}

// A directory at the path: false, and nothing changes.
TEST(ZBAppendToFileExtensionTest, DirectoryAtThePathFails) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("folder"));
  EXPECT_FALSE(ZBAppendToFileExtension::appendToFile("text", dir.file("folder"), kUTF8));
  EXPECT_TRUE(std::filesystem::is_empty(dir.file("folder")));
}

// A missing parent folder: false, nothing created.
TEST(ZBAppendToFileExtensionTest, MissingFolderFails) {
  TempDir dir;
  EXPECT_FALSE(ZBAppendToFileExtension::appendToFile("text", dir.file("missing/log"), kUTF8));
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
}

// Text that cannot be represented in the encoding writes nothing and still succeeds.
TEST(ZBAppendToFileExtensionTest, UnrepresentableTextWritesNothingButSucceeds) {
  TempDir dir;
  EXPECT_TRUE(
      ZBAppendToFileExtension::appendToFile("caf\xC3\xA9", dir.file("ascii"), ZBStringEncoding::ASCII));
  EXPECT_EQ(ReadFile(dir.file("ascii")), "");
  EXPECT_TRUE(
      ZBAppendToFileExtension::appendToFile("caf\xC3\xA9", dir.file("latin1"), ZBStringEncoding::ISOLatin1));
  EXPECT_EQ(ReadFile(dir.file("latin1")), "caf\xE9");
  EXPECT_TRUE(
      ZBAppendToFileExtension::appendToFile("\xE2\x80\xA6", dir.file("latin1"), ZBStringEncoding::ISOLatin1));
  EXPECT_EQ(ReadFile(dir.file("latin1")), "caf\xE9");
  EXPECT_TRUE(ZBAppendToFileExtension::appendToFile("plain", dir.file("ascii"), ZBStringEncoding::ASCII));
  EXPECT_EQ(ReadFile(dir.file("ascii")), "plain");
}

// A full disk: the write fails and says so.
TEST(ZBAppendToFileExtensionTest, FullDiskFails) {
  EXPECT_FALSE(ZBAppendToFileExtension::appendToFile("text", "/dev/full", kUTF8));
}

// A FIFO nobody reads: fails at once instead of blocking the writer.
TEST(ZBAppendToFileExtensionTest, FifoWithoutReaderFailsWithoutBlocking) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(ZBAppendToFileExtension::appendToFile("text", dir.file("fifo"), kUTF8));
}

// A file without write permission: false (meaningless for root, who may write anyway).
TEST(ZBAppendToFileExtensionTest, ReadOnlyFileFails) {
  if (::geteuid() == 0) GTEST_SKIP() << "root ignores file permissions";
  TempDir dir;
  testsupport::WriteFile(dir.file("ro"), "keep");
  ::chmod(dir.file("ro").c_str(), 0444);
  EXPECT_FALSE(ZBAppendToFileExtension::appendToFile("text", dir.file("ro"), kUTF8));
  EXPECT_EQ(ReadFile(dir.file("ro")), "keep");
}

} // namespace
