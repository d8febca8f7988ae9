#include "platform/Preferences.hpp"

#include "support/ScopedEnv.hpp"
#include "support/TempDir.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// Each test uses a domain of its own: a domain's file is read once per process.
class PreferencesTest : public ::testing::Test {
protected:
  TempDir home;
  ScopedEnv homeVariable{"HOME", home.path()};
  ScopedEnv config{"XDG_CONFIG_HOME", home.file("config")};
  void SetUp() override { ASSERT_TRUE(std::filesystem::create_directory(home.file("config"))); }
};

// Values are read from "$XDG_CONFIG_HOME/<domain>.json", with their JSON types.
TEST_F(PreferencesTest, ReadsValuesFromTheDomainFile) {
  ASSERT_TRUE(
      WriteFile(home.file("config/test.values.json"), R"({"Debug": "Verbose", "Zany": true, "N": 3})"));
  EXPECT_EQ(platform::PreferencesFilePath("test.values"), home.file("config/test.values.json"));
  EXPECT_EQ(platform::PreferenceValue("Debug", "test.values"), "Verbose");
  EXPECT_EQ(platform::PreferenceValue("Zany", "test.values"), true);
  EXPECT_EQ(platform::PreferenceValue("N", "test.values"), 3);
  EXPECT_TRUE(platform::PreferenceValue("Missing", "test.values").is_null());
}

// The file is read once: a later change is not seen by this process.
TEST_F(PreferencesTest, FileIsReadOncePerProcess) {
  ASSERT_TRUE(WriteFile(home.file("config/test.once.json"), R"({"Debug": "first"})"));
  EXPECT_EQ(platform::PreferenceValue("Debug", "test.once"), "first");
  ASSERT_TRUE(WriteFile(home.file("config/test.once.json"), R"({"Debug": "second"})"));
  EXPECT_EQ(platform::PreferenceValue("Debug", "test.once"), "first");
}

// A missing file, invalid JSON, a top level that is not an object, a device or an oversized
// file mean no preferences.
TEST_F(PreferencesTest, MissingOrInvalidFilesMeanNoPreferences) {
  ASSERT_TRUE(WriteFile(home.file("config/test.invalid.json"), R"({"Debug": "x",)"));
  ASSERT_TRUE(WriteFile(home.file("config/test.array.json"), R"(["Debug", "x"])"));
  ASSERT_TRUE(WriteFile(home.file("config/test.empty.json"), ""));
  ASSERT_TRUE(std::filesystem::create_directory(home.file("config/test.directory.json")));
  std::filesystem::create_symlink("/dev/zero", home.file("config/test.endless.json"));
  ASSERT_TRUE(WriteFile(home.file("config/test.huge.json"),
                        R"({"Debug": "Verbose", "pad": ")" + std::string(2 << 20, 'x') + R"("})"));
  for (const char* domain : {"test.missing", "test.invalid", "test.array", "test.empty", "test.directory",
                             "test.endless", "test.huge"})
    EXPECT_TRUE(platform::PreferenceValue("Debug", domain).is_null()) << domain;
}

// A relative XDG_CONFIG_HOME is ignored in favour of "~/.config".
TEST_F(PreferencesTest, RelativeConfigHomeFallsBackToDotConfig) {
  ScopedEnv relative{"XDG_CONFIG_HOME", std::string("relative/config")};
  EXPECT_EQ(platform::PreferencesFilePath("test.relative"), home.file(".config/test.relative.json"));
  ScopedEnv unset{"XDG_CONFIG_HOME", std::nullopt};
  EXPECT_EQ(platform::PreferencesFilePath("test.relative"), home.file(".config/test.relative.json"));
}

} // namespace
