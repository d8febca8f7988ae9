#include "platform/ExecutableFolder.hpp"

#include "support/LineCapture.hpp"
#include "support/TempDir.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The folder and its lib/ are examined, each named with its mode when its group or others may write
// to it, and the fix names exactly those.
TEST(ExecutableFolderTest, NamesTheFoldersOthersMayWrite) {
  struct Case {
    const char* label;
    mode_t folder;
    mode_t lib;        // 0: no lib/ folder
    const char* named; // what the sentence names, "" for no sentence
    const char* fix;
  };
  const Case cases[] = {
      {"both closed", 0755, 0755, "", ""},
      {"no lib/", 0700, 0, "", ""},
      {"group-writable folder", 0775, 0755, "B (mode 0775)", "chmod go-w B"},
      {"world-writable lib/", 0755, 0757, "B/lib (mode 0757)", "chmod go-w B/lib"},
      {"sticky is no excuse", 0755, 01777, "B/lib (mode 1777)", "chmod go-w B/lib"},
      {"both open", 0777, 0770, "B (mode 0777) and B/lib (mode 0770)", "chmod go-w B B/lib"},
  };
  auto named = [](std::string text, const std::string& base) {
    for (std::size_t at = 0; (at = text.find('B', at)) != std::string::npos; at += base.size())
      text.replace(at, 1, base);
    return text;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    testsupport::TempDir dir;
    std::string base = dir.file("bundle");
    ASSERT_EQ(::mkdir(base.c_str(), 0700), 0);
    if (c.lib != 0) {
      ASSERT_EQ(::mkdir((base + "/lib").c_str(), 0700), 0);
      ASSERT_EQ(::chmod((base + "/lib").c_str(), c.lib), 0);
    }
    ASSERT_EQ(::chmod(base.c_str(), c.folder), 0);
    auto warning = platform::WritableFolderWarning(base);
    ASSERT_EQ(::chmod(base.c_str(), 0700), 0);
    if (*c.named == '\0') {
      EXPECT_FALSE(warning) << *warning;
      continue;
    }
    ASSERT_TRUE(warning);
    EXPECT_NE(warning->find(": " + named(c.named, base) + ";"), std::string::npos) << *warning;
    EXPECT_TRUE(warning->ends_with("Fix it with: " + named(c.fix, base))) << *warning;
  }
}

// A path that is not one plain shell word is quoted in the fix.
TEST(ExecutableFolderTest, QuotesTheFix) {
  testsupport::TempDir dir;
  std::string base = dir.file("it's here");
  ASSERT_EQ(::mkdir(base.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(base.c_str(), 0770), 0);
  auto warning = platform::WritableFolderWarning(base);
  ASSERT_TRUE(warning);
  EXPECT_TRUE(warning->ends_with("chmod go-w '" + dir.path() + "/it'\\''s here'")) << *warning;
}

// A missing folder, a file and "" give no sentence; the running test's own folder is found.
TEST(ExecutableFolderTest, NothingToSayWithoutAFolder) {
  testsupport::TempDir dir;
  ASSERT_TRUE(testsupport::WriteFile(dir.file("file"), "x"));
  ASSERT_EQ(::chmod(dir.file("file").c_str(), 0666), 0);
  EXPECT_FALSE(platform::WritableFolderWarning(""));
  EXPECT_FALSE(platform::WritableFolderWarning(dir.file("missing")));
  EXPECT_FALSE(platform::WritableFolderWarning(dir.file("file")));
  std::string self = platform::ExecutableFolder();
  ASSERT_FALSE(self.empty());
  struct stat info {};
  EXPECT_EQ(::stat((self + "/zb_platform_tests").c_str(), &info), 0) << self;
}

// The log gets the sentence once, in "display", only when there is one.
TEST(ExecutableFolderTest, LogsTheSentence) {
  testsupport::TempDir dir;
  testsupport::LineCapture capture("display");
  EXPECT_FALSE(platform::LogWhenFolderIsWritable(dir.path()));
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  EXPECT_TRUE(platform::LogWhenFolderIsWritable(dir.path()));
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0], *platform::WritableFolderWarning(dir.path()));
  ASSERT_EQ(::chmod(dir.path().c_str(), 0700), 0);
}

} // namespace
