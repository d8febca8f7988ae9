#include "diagnostics/ZBSystemFolderExtension.hpp"

#include "platform/Environment.hpp"
#include "platform/Preferences.hpp"

#include "support/ScopedEnv.hpp"
#include "support/TempDir.hpp"

#include <gtest/gtest.h>

#include <filesystem>

using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

class ZBSystemFolderExtensionTest : public ::testing::Test {
protected:
  TempDir dir;
  ScopedEnv home{"HOME", dir.file("home")};
  ScopedEnv tmp{"TMPDIR", dir.file("tmp/")};
  ScopedEnv config{"XDG_CONFIG_HOME", std::nullopt};
  ScopedEnv state{"XDG_STATE_HOME", std::nullopt};
  ScopedEnv data{"XDG_DATA_HOME", std::nullopt};
  ScopedEnv cache{"XDG_CACHE_HOME", std::nullopt};

  static std::optional<std::string> path(int kind) {
    return ZBSystemFolderExtension::pathForSystemFolder(static_cast<ZBSystemFolder>(kind));
  }
};

// Every kind keeps its number; the XDG defaults under the home folder apply when unset.
TEST_F(ZBSystemFolderExtensionTest, EveryKindHasItsFolder) {
  const std::string h = dir.file("home");
  EXPECT_EQ(path(0), dir.file("tmp"));
  EXPECT_EQ(path(1), "/System/Applications");
  EXPECT_EQ(path(2), "/usr/share/applications");
  EXPECT_EQ(path(3), h + "/.local/share/applications");
  EXPECT_EQ(path(4), "/System/Applications/Utilities");
  EXPECT_EQ(path(5), "/usr/share/applications/Utilities");
  EXPECT_EQ(path(6), h + "/.local/share/applications/Utilities");
  EXPECT_EQ(path(7), h + "/.local/state");
  EXPECT_EQ(path(8), h + "/.config");
  EXPECT_EQ(path(9), h + "/.local/share");
  EXPECT_EQ(path(10), h + "/.cache");
  EXPECT_EQ(path(11), h + "/.local");
}

// Absolute XDG values are used; relative ones are ignored.
TEST_F(ZBSystemFolderExtensionTest, XdgVariablesCountOnlyWhenAbsolute) {
  ScopedEnv s{"XDG_STATE_HOME", std::string("/srv/state")};
  ScopedEnv c{"XDG_CONFIG_HOME", std::string("/srv/config/")};
  ScopedEnv d{"XDG_DATA_HOME", std::string("/srv/data")};
  ScopedEnv k{"XDG_CACHE_HOME", std::string("relative/cache")};
  EXPECT_EQ(path(7), "/srv/state");
  EXPECT_EQ(path(8), "/srv/config");
  EXPECT_EQ(path(9), "/srv/data");
  EXPECT_EQ(path(3), "/srv/data/applications");
  EXPECT_EQ(path(10), dir.file("home/.cache"));
}

// Every reader of XDG_CONFIG_HOME in the programs follows the same rule, the installer's too (it puts
// the user unit and the plug-in there): an empty or relative value is ignored.
TEST_F(ZBSystemFolderExtensionTest, ConfigFolderFollowsTheXdgRule) {
  const std::string h = dir.file("home");
  const struct {
    std::optional<std::string> value;
    std::string expected;
  } cases[] = {
      {std::nullopt, h + "/.config"},      {"", h + "/.config"},
      {"relative/config", h + "/.config"}, {"~/config", h + "/.config"},
      {"/srv/config//", "/srv/config"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.value_or("(unset)"));
    ScopedEnv value{"XDG_CONFIG_HOME", c.value};
    EXPECT_EQ(platform::XdgBaseDirectory("XDG_CONFIG_HOME", ".config"), c.expected);
    EXPECT_EQ(path(8), c.expected);
    EXPECT_EQ(platform::PreferencesFilePath("domain"), c.expected + "/domain.json");
  }
}

// Unknown kinds give nothing, with or without a subfolder, and create nothing.
TEST_F(ZBSystemFolderExtensionTest, UnknownKindsGiveNothing) {
  for (int kind : {-1, 12, 1000}) {
    EXPECT_EQ(path(kind), std::nullopt) << kind;
    EXPECT_EQ(ZBSystemFolderExtension::pathForSystemFolder(static_cast<ZBSystemFolder>(kind), "x", true),
              std::nullopt);
  }
}

// Without a usable temporary directory, "/tmp".
TEST_F(ZBSystemFolderExtensionTest, TemporaryFallsBackToSlashTmp) {
  ScopedEnv unset{"TMPDIR", std::nullopt};
  EXPECT_EQ(path(0), "/tmp");
  ScopedEnv relative{"TMPDIR", std::string("tmp")};
  EXPECT_EQ(path(0), "/tmp");
}

// Creating makes the one last folder when its parent exists; a missing parent means nothing
// is created, and the path is returned all the same.
TEST_F(ZBSystemFolderExtensionTest, CreatingMakesOnlyTheLastFolder) {
  ScopedEnv s{"XDG_STATE_HOME", dir.file("state")};
  auto missingParent = ZBSystemFolderExtension::pathForSystemFolder(ZBSystemFolder::UserLogs, "Zorbel", true);
  EXPECT_EQ(missingParent, dir.file("state/Zorbel"));
  EXPECT_FALSE(std::filesystem::exists(dir.file("state")));

  std::filesystem::create_directory(dir.file("state"));
  auto created = ZBSystemFolderExtension::pathForSystemFolder(ZBSystemFolder::UserLogs, "Zorbel", true);
  EXPECT_EQ(created, dir.file("state/Zorbel"));
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("state/Zorbel")));
  // Again: an existing folder is no error.
  EXPECT_EQ(ZBSystemFolderExtension::pathForSystemFolder(ZBSystemFolder::UserLogs, "Zorbel", true), created);

  auto notCreating = ZBSystemFolderExtension::pathForSystemFolder(ZBSystemFolder::UserLogs, "Other", false);
  EXPECT_EQ(notCreating, dir.file("state/Other"));
  EXPECT_FALSE(std::filesystem::exists(dir.file("state/Other")));
}

// Path components join with exactly one "/".
TEST(ZBSystemFolderExtensionPathTest, ComponentsJoinWithOneSlash) {
  using E = ZBSystemFolderExtension;
  EXPECT_EQ(E::stringByAppendingPathComponent("/a", "b"), "/a/b");
  EXPECT_EQ(E::stringByAppendingPathComponent("/a/", "/b/"), "/a/b");
  EXPECT_EQ(E::stringByAppendingPathComponent("/", "b"), "/b");
  EXPECT_EQ(E::stringByAppendingPathComponent("/a", ""), "/a");
  EXPECT_EQ(E::stringByAppendingPathComponent("", "b"), "b");
  EXPECT_EQ(E::stringByAppendingPathComponent("/a", "b/c"), "/a/b/c");
}

} // namespace
