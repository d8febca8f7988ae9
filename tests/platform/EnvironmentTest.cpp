#include "platform/Environment.hpp"

#include "support/ScopedEnv.hpp"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

using testsupport::ScopedEnv;

namespace {

// An absolute XDG value is used as it is, without trailing slashes.
TEST(EnvironmentTest, AbsoluteXdgValueIsUsed) {
  ScopedEnv home{"HOME", std::string("/home/someone")};
  ScopedEnv state{"XDG_STATE_HOME", std::string("/var/state//")};
  EXPECT_EQ(platform::XdgBaseDirectory("XDG_STATE_HOME", ".local/state"), "/var/state");
}

// Unset, empty or relative values give the standard default under the home folder.
TEST(EnvironmentTest, MissingOrRelativeXdgValueGivesTheDefault) {
  ScopedEnv home{"HOME", std::string("/home/someone/")};
  for (std::optional<std::string> value : {std::optional<std::string>(), std::optional<std::string>(""),
                                           std::optional<std::string>("relative/state")}) {
    ScopedEnv state{"XDG_STATE_HOME", value};
    EXPECT_EQ(platform::XdgBaseDirectory("XDG_STATE_HOME", ".local/state"), "/home/someone/.local/state");
  }
}

// A relative or missing HOME falls back to the password database.
TEST(EnvironmentTest, HomeFallsBackToThePasswordDatabase) {
  struct passwd* entry = getpwuid(getuid());
  ASSERT_NE(entry, nullptr);
  std::string expected = platform::WithoutTrailingSlash(entry->pw_dir);
  ScopedEnv relative{"HOME", std::string("not/absolute")};
  EXPECT_EQ(platform::HomeDirectory(), expected);
  ScopedEnv unset{"HOME", std::nullopt};
  EXPECT_EQ(platform::HomeDirectory(), expected);
}

// Trailing slashes go, a lone "/" stays.
TEST(EnvironmentTest, WithoutTrailingSlash) {
  EXPECT_EQ(platform::WithoutTrailingSlash("/a/b///"), "/a/b");
  EXPECT_EQ(platform::WithoutTrailingSlash("/"), "/");
  EXPECT_EQ(platform::WithoutTrailingSlash("///"), "/");
  EXPECT_EQ(platform::WithoutTrailingSlash(""), "");
}

} // namespace
