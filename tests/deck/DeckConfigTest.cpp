#include "deck/DeckConfig.hpp"

#include "deck/DeckConfigCheck.hpp"
#include "support/ScopedEnv.hpp"
#include "support/TempDir.hpp"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace deck;
using namespace std::chrono_literals;

// Every accepted and refused duration form.
TEST(DeckConfigTest, DurationsAreWholeNumbersWithUnitsLargestFirst) {
  const std::pair<const char*, std::optional<Milliseconds>> cases[] = {
      {"250ms", 250ms},
      {"30s", 30s},
      {"5m", 5min},
      {"1h", 1h},
      {"1m30s", 90s},
      {"1h2m3s4ms", 3'723'004ms},
      {"", std::nullopt},
      {"0s", std::nullopt},
      {"10", std::nullopt},
      {"1.5s", std::nullopt},
      {"s", std::nullopt},
      {"-1s", std::nullopt},
      {"30s1m", std::nullopt},
      {"1s1s", std::nullopt},
      {"3 s", std::nullopt},
      {"2d", std::nullopt},
      {"99999999999s", std::nullopt},
  };
  for (auto& [text, expected] : cases) EXPECT_EQ(DeckParseDuration(text), expected) << text;
}

// Only the plug-in's own form of a position ID gives a position.
TEST(DeckConfigTest, PositionIDsAreExactlyRowAndColumn) {
  EXPECT_EQ(DeckPositionOfID("R1C1"), std::pair(1, 1));
  EXPECT_EQ(DeckPositionOfID("R12C999"), std::pair(12, 999));
  for (const char* id : {"r1c1", "R0C1", "R01C1", "R1C", "RC1", "R1C1 ", "R1000C1", "Lights", "R-1C1", ""})
    EXPECT_EQ(DeckPositionOfID(id), std::nullopt) << id;
}

TEST(DeckConfigTest, AGoodFileGivesEveryFieldInFileOrder) {
  auto result = DeckParseConfig(R"(
[keys.R2C1]
press = "make"
release = "echo up"
feedback = "none"
title = "date +%H:%M"
icon = "state-icon"
image = "~/icon.png"
every = "30s"
timeout = "2m"

[keys.Lights]
row = 2
column = 3
press = "toggle"

[keys.Status]
icon = "uptime-icon"
every = "1s"
)",
                                "deck.toml");
  ASSERT_TRUE(std::holds_alternative<DeckConfig>(result)) << std::get<DeckConfigError>(result).description();
  auto& keys = std::get<DeckConfig>(result).keys;
  ASSERT_EQ(keys.size(), 3u);
  EXPECT_EQ(keys[0].id, "R2C1");
  EXPECT_EQ(keys[0].row, 2);
  EXPECT_EQ(keys[0].column, 1);
  EXPECT_EQ(keys[0].feedback, Feedback::None);
  EXPECT_EQ(keys[0].every, 30s);
  EXPECT_EQ(keys[0].timeout, 2min);
  EXPECT_EQ(keys[1].id, "Lights");
  EXPECT_EQ(keys[1].row, 2);
  EXPECT_EQ(keys[1].column, 3);
  EXPECT_EQ(keys[1].timeout, kDefaultTimeout);
  EXPECT_EQ(keys[1].feedback, Feedback::Status);
  EXPECT_EQ(keys[0].icon, "state-icon");
  EXPECT_EQ(keys[2].row, 0);    // set by ID only
  EXPECT_EQ(keys[2].every, 1s); // the shortest, rerunning the icon alone
}

// Each refused file names the line of the fault and says what it is.
TEST(DeckConfigTest, ErrorsNameTheLineAndTheReason) {
  const struct {
    const char* text;
    int line;
    const char* reason;
  } cases[] = {
      {"[keys.R1C1]\npress = \"a\"\npresss = \"b\"\n", 3, "unknown field \"presss\""},
      {"[keys.R1C1]\nevery = \"soon\"\ntitle = \"x\"\n", 2, "bad duration \"soon\""},
      {"[keys.R1C1]\ntimeout = 5\n", 2, "must be a duration"},
      {"[keys.R1C1]\nevery = \"999ms\"\ntitle = \"x\"\n", 2,
       "every \"999ms\" is too short: the shortest is \"1s\""},
      {"[keys.R1C1]\nicon = 5\n", 2, "icon must be a string"},
      {"[keys.R1C1]\npress = \"a\\u0000b\"\n", 2, "press must not contain a NUL character"},
      {"\n[keys.r1c1]\ntitle = \"x\"\n", 2, "did you mean keys.R1C1?"},
      {"[keys.R01C1]\ntitle = \"x\"\n", 1, "did you mean keys.R1C1?"},
      {"[keys.\"R2 C3\"]\ntitle = \"x\"\n", 1, "did you mean keys.R2C3?"},
      {"[keys.Rc1]\npress = \"x\"\n", 1, "no position"}, // not a near miss of a position
      {"[keys.R1C1]\nfeedback = \"loud\"\n", 2, "feedback must be"},
      {"[keys.R1C1]\nrow = 1000\ncolumn = 1\n", 2, "from 1 to 999"},
      {"\n[keys.Lights]\nrow = 2\npress = \"x\"\n", 2, "both row and column"},
      {"[keys.Lights]\npress = \"x\"\n", 1, "no position"},
      {"[keys.R1C1]\nevery = \"1s\"\n", 1, "no title or icon command"},
      {"[keys.R1C1]\npress = \"a\"\n[keys.A]\nrow = 1\ncolumn = 1\n", 3, "has the position of keys.R1C1"},
      {"[key.R1C1]\n", 1, "unknown table or field \"key\""},
      {"keys = 3\n", 1, "keys must be a table"},
      {"[keys]\nR1C1 = \"x\"\n", 2, "must be a table"},
      {"[keys.R1C1]\ntitle = 5\n", 2, "title must be a string"},
  };
  for (auto& c : cases) {
    auto result = DeckParseConfig(c.text, "/home/u/deck.toml");
    ASSERT_TRUE(std::holds_alternative<DeckConfigError>(result)) << c.text;
    auto& error = std::get<DeckConfigError>(result);
    EXPECT_EQ(error.line, c.line) << c.text << " -> " << error.description();
    EXPECT_NE(error.reason.find(c.reason), std::string::npos) << c.text << " -> " << error.description();
    EXPECT_TRUE(error.description().starts_with("/home/u/deck.toml:" + std::to_string(c.line) + ": "));
  }
}

// A key named like a position but not quite, with its position given, is a key of its own.
TEST(DeckConfigTest, ANearMissIDWithItsOwnPositionIsKept) {
  auto result = DeckParseConfig("[keys.r1c1]\nrow = 1\ncolumn = 2\npress = \"x\"\n", "deck.toml");
  ASSERT_TRUE(std::holds_alternative<DeckConfig>(result)) << std::get<DeckConfigError>(result).description();
  EXPECT_EQ(std::get<DeckConfig>(result).keys.at(0).column, 2);
}

// TOML syntax errors give the line and the column, and say in words what is wrong.
TEST(DeckConfigTest, SyntaxErrorsAreSaidInPlainWords) {
  const struct {
    const char* text;
    int line, column;
    const char* reason;
  } cases[] = {
      {"[keys.R1C1]\nevery = 30s\n", 2, 11, "a duration goes in quotes"},
      {"[keys.R1C1]\npress = make\n", 2, 9, "text goes in quotes"},
      {"[keys.R1C1]\npress = \"a\n", 2, 11, "does not end on its line"},
      {"[keys.R1C1\n", 1, 11, "not closed with ]"},
      {"[keys.R1C1]\npress\n", 2, 6, "a key without = and a value"},
      {"[keys.R1C1]\npress = \"a\" title = \"b\"\n", 2, 13, "one key = value per line"},
      {"[keys.R1C1]\n[keys.R1C1]\n", 2, 1, "already defined above"},
      {"[keys.R1C1]\ntitle = \"C:\\q\"\n", 2, 13, "use single quotes"},
      {"x = tru\n", 1, 8, "true and false"},
      {"x = \"\xff\"\n", 1, 5, "not UTF-8"},
  };
  for (auto& c : cases) {
    auto result = DeckParseConfig(c.text, "deck.toml");
    ASSERT_TRUE(std::holds_alternative<DeckConfigError>(result)) << c.text;
    auto& error = std::get<DeckConfigError>(result);
    EXPECT_EQ(error.line, c.line) << c.text << " -> " << error.description();
    EXPECT_EQ(error.column, c.column) << c.text << " -> " << error.description();
    EXPECT_NE(error.reason.find(c.reason), std::string::npos) << c.text << " -> " << error.description();
    EXPECT_EQ(error.reason.find('\n'), std::string::npos) << error.reason;
  }
}

std::string Repeated(const std::string& part, std::size_t times) {
  std::string text;
  for (std::size_t i = 0; i < times; ++i) text += part;
  return text;
}

// Texts that would take the TOML parser's recursion past the stack, or that go past the
// documented bounds, are refused with a reason and never crash.
TEST(DeckConfigTest, HostileShapesAreRefusedBeforeTheParser) {
  std::string keys;
  for (std::size_t i = 0; i <= kDeckMaxKeys; ++i)
    keys += "[keys.K" + std::to_string(i) + "]\ntitle = \"x\"\n";
  const struct {
    std::string text;
    const char* reason;
  } cases[] = {
      {Repeated("a.", 50'000) + "a = 1\n", "more than 32 dotted parts"},
      {"[" + Repeated("a.", 50'000) + "a]\n", "more than 32 dotted parts"},
      {"[[" + Repeated("a.", 50'000) + "a]]\n", "more than 32 dotted parts"},
      {"x = {" + Repeated("a.", 50'000) + "a = 1}\n", "more than 32 dotted parts"},
      {"x = " + Repeated("[", 100'000) + Repeated("]", 100'000) + "\n",
       "more than 32 arrays or inline tables"},
      {"x = " + Repeated("{a=", 30'000) + "1" + Repeated("}", 30'000) + "\n", "more than 32 arrays"},
      {"x = " + Repeated("[{a=", 20'000) + "1" + Repeated("}]", 20'000) + "\n", "more than 32 arrays"},
      {"[keys.R1C1]\n" + Repeated("#", kDeckMaxConfigBytes), "larger than 1 MiB"},
      {keys, "more than 1024 keys"},
  };
  for (auto& c : cases) {
    auto result = DeckParseConfig(c.text, "deck.toml");
    ASSERT_TRUE(std::holds_alternative<DeckConfigError>(result)) << c.text.substr(0, 40);
    auto& error = std::get<DeckConfigError>(result);
    EXPECT_NE(error.reason.find(c.reason), std::string::npos)
        << c.text.substr(0, 40) << " -> " << error.reason;
  }
  // The last key allowed is still a good file.
  keys.resize(keys.rfind("[keys."));
  auto result = DeckParseConfig(keys, "deck.toml");
  ASSERT_TRUE(std::holds_alternative<DeckConfig>(result)) << std::get<DeckConfigError>(result).description();
  EXPECT_EQ(std::get<DeckConfig>(result).keys.size(), kDeckMaxKeys);
}

// The file is opened without blocking and looked at before it is read.
TEST(DeckConfigTest, OnlyATrustedRegularFileOfAtMostOneMiBIsRead) {
  testsupport::TempDir dir;
  const std::string good = dir.file("good.toml"), big = dir.file("big.toml"), fifo = dir.file("fifo"),
                    open = dir.file("open.toml"), hidden = dir.file("hidden.toml");
  ASSERT_TRUE(testsupport::WriteFile(good, "[keys.R1C1]\ntitle = \"x\"\n"));
  ASSERT_TRUE(testsupport::WriteFile(big, Repeated("#\n", kDeckMaxConfigBytes / 2 + 1)));
  ASSERT_TRUE(testsupport::WriteFile(open, "[keys.R1C1]\n"));
  ASSERT_TRUE(testsupport::WriteFile(hidden, "[keys.R1C1]\n"));
  ASSERT_EQ(::chmod(open.c_str(), 0666), 0);
  ASSERT_EQ(::chmod(hidden.c_str(), 0), 0);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::string path;
    std::string description; // "" for a good file
    bool asRootToo = true;
  } cases[] = {
      {good, ""},
      {"/nonexistent/deck.toml", "/nonexistent/deck.toml: cannot read the file: No such file or directory"},
      {dir.path(),
       dir.path() + ": not a configuration file: it is a folder (a configuration is a regular file)"},
      {fifo, fifo + ": not a configuration file: it is a FIFO (a configuration is a regular file)"},
      {"/dev/zero",
       "/dev/zero: not a configuration file: it is a device (a configuration is a regular file)"},
      {big, big + ": larger than 1 MiB, the most a configuration may have"},
      {open, open + ": not trusted: it can be written by its group and everybody (mode 0666; chmod go-w " +
                 open + ")"},
      {hidden, hidden + ": cannot read the file: Permission denied", false},
  };
  for (auto& c : cases) {
    if (!c.asRootToo && ::geteuid() == 0) continue; // root reads any file
    auto result = DeckLoadConfig(c.path);
    if (c.description.empty()) {
      EXPECT_TRUE(std::holds_alternative<DeckConfig>(result))
          << std::get<DeckConfigError>(result).description();
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<DeckConfigError>(result)) << c.path;
    EXPECT_EQ(std::get<DeckConfigError>(result).description(), c.description);
  }
}

TEST(DeckConfigTest, TheDefaultFileFollowsTheXDGRules) {
  const std::string own = ::getpwuid(::getuid())->pw_dir;
  const struct {
    std::optional<std::string> xdg, home;
    std::string expected;
  } cases[] = {
      {"/x/config", "/h", "/x/config/zorbel/deck.toml"},
      {"relative/config", "/h", "/h/.config/zorbel/deck.toml"},
      {"", "/h", "/h/.config/zorbel/deck.toml"},
      {std::nullopt, "/h", "/h/.config/zorbel/deck.toml"},
      {std::nullopt, std::nullopt, own + "/.config/zorbel/deck.toml"},
      {std::nullopt, "", own + "/.config/zorbel/deck.toml"},
  };
  for (auto& c : cases) {
    testsupport::ScopedEnv xdg("XDG_CONFIG_HOME", c.xdg), home("HOME", c.home);
    EXPECT_EQ(DeckDefaultConfigPath(), c.expected)
        << c.xdg.value_or("(unset)") << " " << c.home.value_or("(unset)");
  }
}

// --check names every image that is not a file there, wherever its path starts.
TEST(DeckConfigTest, TheCheckNamesImagesThatAreNotFiles) {
  testsupport::TempDir home;
  ASSERT_TRUE(testsupport::WriteFile(home.file("there.png"), "png"));
  ASSERT_EQ(::mkdir(home.file("folder").c_str(), 0700), 0);
  DeckConfig config;
  config.path = "deck.toml";
  for (const char* image : {"~/there.png", "there.png", "", "~/gone.png", "folder", "/nonexistent/x.png"}) {
    DeckKey key;
    key.id = std::string("K") + image;
    key.image = image;
    config.keys.push_back(key);
  }
  EXPECT_EQ(DeckConfigFileProblems(config, home.path()),
            (std::vector<std::string>{
                "deck.toml: keys.K~/gone.png: image " + home.file("gone.png") + ": No such file or directory",
                "deck.toml: keys.Kfolder: image " + home.file("folder") + ": a folder, not an image file",
                "deck.toml: keys.K/nonexistent/x.png: image /nonexistent/x.png: No such file or directory",
            }));
  EXPECT_EQ(DeckConfigSummary(config), "OK: 6 keys");
}

TEST(DeckConfigTest, OnlyALeadingTildeMeansHome) {
  EXPECT_EQ(DeckExpandHome("~/i.png", "/home/u"), "/home/u/i.png");
  EXPECT_EQ(DeckExpandHome("~", "/home/u"), "/home/u");
  EXPECT_EQ(DeckExpandHome("~other/i.png", "/home/u"), "~other/i.png");
  EXPECT_EQ(DeckExpandHome("/a/~/b", "/home/u"), "/a/~/b");
}

} // namespace
