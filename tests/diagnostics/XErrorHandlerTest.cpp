#include "diagnostics/XErrorHandler.hpp"

#include "LogScenarioRunner.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <sys/stat.h>

namespace {

// ---- the facility, each scenario in a fresh process ---------------------------------------------

class XErrorHandlerTest : public ::testing::Test {
protected:
  LogScenarioRunner scenario;

  /// The log's lines with their "%F %T " timestamps checked and removed; untimestamped lines
  /// are kept as they are.
  std::vector<std::string> messages() const {
    static const std::regex stamped(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (.*))");
    std::vector<std::string> out;
    for (const auto& line : scenario.logLines()) {
      std::smatch match;
      out.push_back(std::regex_match(line, match, stamped) ? match[1].str() : "[no stamp] " + line);
    }
    return out;
  }

  /// The messages echoed on the console (the text after "program[pid] ").
  static std::vector<std::string> echoed(const std::string& stderrText) {
    static const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \S+\[\d+\] (.*))");
    std::vector<std::string> out;
    std::stringstream in(stderrText);
    for (std::string text; std::getline(in, text);) {
      std::smatch match;
      out.push_back(std::regex_match(text, match, line) ? match[1].str() : "[not a console line] " + text);
    }
    return out;
  }
};

using Lines = std::vector<std::string>;

// No "Debug" preference: "display" is written, not echoed; the debug categories are dropped
// without evaluating their arguments; no "Debugging level" line.
TEST_F(XErrorHandlerTest, DefaultsWriteDisplayOnly) {
  auto result = scenario.run({"log", "display", "shown", "log", "Verbose", "v", "log", "Events", "e", "log",
                              "WebSocket", "w", "lazy", "Verbose", "log", "debug", "dbg", "quit"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(messages(), (Lines{"shown", "dbg"}));
  EXPECT_EQ(result.out, "evaluated=0\n");
  EXPECT_EQ(result.err, "");
}

// The log folder is created with its missing parents, each with mode 0700.
TEST_F(XErrorHandlerTest, MissingLogFoldersAreCreatedPrivate) {
  auto result = scenario.run({"log", "display", "first", "quit"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(messages(), Lines{"first"});
  for (const char* folder : {"home/.local", "home/.local/state", "home/.local/state/Zorbel"}) {
    struct stat info {};
    ASSERT_EQ(::stat(scenario.home.file(folder).c_str(), &info), 0) << folder;
    EXPECT_EQ(info.st_mode & 0777, 0700u) << folder;
  }
}

// XDG_STATE_HOME decides where the log goes.
TEST_F(XErrorHandlerTest, LogGoesToTheStateFolder) {
  scenario.environment["XDG_STATE_HOME"] = scenario.home.file("state/deeper");
  auto result = scenario.run({"log", "display", "moved", "quit"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(testsupport::ReadFile(scenario.home.file("state/deeper/Zorbel/StreamDeck.log")).find(" moved\n"),
            std::string::npos);
}

// "Verbose Events": both are logged, "WebSocket" is not; the first check logs the list.
TEST_F(XErrorHandlerTest, DebugListEnablesNamedCategories) {
  scenario.setPreferences(R"({"Debug": "Verbose Events"})");
  auto result = scenario.run({"log", "Verbose", "v", "log", "Events", "e", "log", "WebSocket", "w", "quit"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(messages(), (Lines{"Debugging level set to ' Verbose Events '", "v", "e"}));
  EXPECT_EQ(result.err, "");
}

// Category names match case-sensitively and as whole words.
TEST_F(XErrorHandlerTest, DebugListMatchesWholeWordsCaseSensitively) {
  scenario.setPreferences(R"({"Debug": "verbose VerboseX Even"})");
  auto result = scenario.run({"should", "Verbose", "should", "Events", "should", "verbose", "should", "any"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, "Verbose=0\nEvents=0\nverbose=1\nany=1\n");
}

// "all" alone enables everything; "all Verbose" is only a list with Verbose in it.
TEST_F(XErrorHandlerTest, AllEnablesEverythingOnlyAlone) {
  scenario.setPreferences(R"({"Debug": "all"})");
  auto all = scenario.run({"should", "Verbose", "should", "WebSocket", "should", "LOG", "should", "zany"});
  EXPECT_EQ(all.out, "Verbose=1\nWebSocket=1\nLOG=1\nzany=1\n");

  LogScenarioRunner second;
  second.setPreferences(R"({"Debug": "all Verbose"})");
  auto listed = second.run({"should", "Verbose", "should", "WebSocket", "should", "Events"});
  EXPECT_EQ(listed.out, "Verbose=1\nWebSocket=0\nEvents=0\n");
}

// "LOG Events": "Events" and "display" lines are echoed to the console as well.
TEST_F(XErrorHandlerTest, LogSwitchEchoesToTheConsole) {
  scenario.setPreferences(R"({"Debug": "LOG Events"})");
  auto result = scenario.run({"log", "Events", "event line", "log", "display", "display line", "quit"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(messages(), (Lines{"Debugging level set to ' LOG Events '", "event line", "display line"}));
  EXPECT_EQ(echoed(result.err),
            (Lines{"Debugging level set to ' LOG Events '", "event line", "display line"}));
}

// "always" and "zany" are echoed even without the LOG switch.
TEST_F(XErrorHandlerTest, AlwaysAndZanyAreEchoedWithoutTheSwitch) {
  scenario.setPreferences(R"({"Zany": true})");
  auto result =
      scenario.run({"zany", "log", "always", "a", "log", "zany", "z", "log", "display", "d", "quit"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, "zany=1\n");
  EXPECT_EQ(messages(), (Lines{"a", "z", "d"}));
  EXPECT_EQ(echoed(result.err), (Lines{"a", "z"}));
}

// Preferences of the wrong type, too long, empty or unparsable leave the defaults.
TEST_F(XErrorHandlerTest, UnusablePreferencesLeaveTheDefaults) {
  const std::string longest(252, 'x');
  for (const std::string& preferences :
       {std::string(R"({"Debug": 7, "Zany": "true"})"), std::string(R"({"Debug": "", "Zany": 1})"),
        R"({"Debug": ")" + std::string(253, 'V') + R"("})", std::string(R"({"Debug": ["Verbose"]})"),
        std::string(R"({"Debug": "Verbose")"), std::string(R"(["Verbose"])")}) {
    LogScenarioRunner run;
    run.setPreferences(preferences);
    auto result = run.run({"should", "Verbose", "should", "any", "zany", "should", "display"});
    EXPECT_EQ(result.out, "Verbose=0\nany=0\nzany=0\ndisplay=1\n") << preferences;
  }
  // 252 bytes is still accepted.
  scenario.setPreferences(R"({"Debug": ")" + longest + R"( Verbose"})");
  auto result = scenario.run({"should", "Verbose"});
  EXPECT_EQ(result.out, "Verbose=0\n");
  LogScenarioRunner fits;
  fits.setPreferences(R"({"Debug": ")" + std::string(244, 'x') + R"( Verbose"})");
  EXPECT_EQ(fits.run({"should", "Verbose"}).out, "Verbose=1\n");
}

// Three identical messages and another: the first, "repeated 3 times" without stamp, the other.
TEST_F(XErrorHandlerTest, RepeatsAreFolded) {
  auto result =
      scenario.run({"log", "display", "same", "log", "display", "same", "log", "display", "same", "log",
                    "display", "other", "log", "display", "last", "log", "display", "last", "quit"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  // The pending count of the final message is never written.
  EXPECT_EQ(messages(), (Lines{"same", "[no stamp] Last message repeated 3 times", "other", "last"}));
}

// "Execute macro " messages are never folded.
TEST_F(XErrorHandlerTest, ExecuteMacroMessagesAreNeverFolded) {
  auto result = scenario.run({"log", "display", "Execute macro A", "log", "display", "Execute macro A", "log",
                              "display", "Execute macroA", "log", "display", "Execute macroA", "quit"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(messages(), (Lines{"Execute macro A", "Execute macro A", "Execute macroA"}));
}

// Carriage returns in the format become line feeds; an argument with a line break stays on its
// own line, escaped.
TEST_F(XErrorHandlerTest, CarriageReturnsBecomeLineFeeds) {
  auto result = scenario.run(
      {"format", "display", "a\r\nb\rc\n\rd", "log", "display", "ctx\n2026-01-01 00:00:00 forged\r", "quit"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(scenario.log().find(" a\nb\nc\n\nd\n"), std::string::npos);
  EXPECT_EQ(scenario.log().find('\r'), std::string::npos);
  EXPECT_EQ(messages().back(), "ctx\\n2026-01-01 00:00:00 forged\\r");
  EXPECT_EQ(messages().size(), 6u);
}

// One message is at most 64 KiB: a longer one is cut and says how much was left out.
TEST_F(XErrorHandlerTest, LongMessagesAreCapped) {
  auto result = scenario.run(
      {"big", "display", "65536", "big", "display", "65537", "big", "display", "1000000", "quit"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  // std::regex recurses per character, so messages() cannot take these lines: the stamp
  // ("%F %T ", 20 bytes) is cut off by hand and only the short marker goes through a regex.
  auto lines = scenario.logLines();
  ASSERT_EQ(lines.size(), 3u);
  for (auto& line : lines) line.erase(0, 20);
  EXPECT_EQ(lines[0], std::string(65536, 'x'));
  for (std::size_t i : {1u, 2u}) {
    const std::size_t total = i == 1 ? 65537 : 1000000;
    const std::size_t kept = lines[i].find_first_not_of('x');
    std::smatch marker;
    const std::string end = lines[i].substr(kept);
    ASSERT_TRUE(std::regex_match(end, marker, std::regex("\xE2\x80\xA6 \\[(\\d+) bytes left out\\]"))) << end;
    EXPECT_LE(lines[i].size(), 65536u);
    EXPECT_EQ(kept + std::stoul(marker[1]), total);
  }
}

// A failed check is written whatever the categories, with the source path shortened to "…/",
// and the program goes on.
TEST_F(XErrorHandlerTest, FailedChecksAreWrittenAndExecutionContinues) {
  auto result = scenario.run({"assert", "quit"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, "continued\n");
  ASSERT_EQ(messages().size(), 1u);
  EXPECT_TRUE(
      std::regex_match(messages()[0], std::regex(R"(Assertion Failed: value == 2,  file: )"
                                                 "\xE2\x80\xA6"
                                                 R"(/tests/diagnostics/LogScenario\.cpp:\d+, value: 0)")))
      << messages()[0];
  EXPECT_EQ(echoed(result.err).size(), 1u);
}

// A two-character category reports the length check (once per check made) and logs anyway.
TEST_F(XErrorHandlerTest, TooShortCategoryIsReportedAndLogged) {
  std::string tooLong(100, 'c');
  auto result = scenario.run({"log", "xy", "short one", "should", tooLong, "quit"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  auto lines = messages();
  ASSERT_EQ(lines.size(), 4u) << scenario.log();
  std::regex shortCheck(R"(Assertion Failed: strlen\( code \) >= 3,  file: )"
                        "\xE2\x80\xA6"
                        R"(/src/diagnostics/XErrorHandler\.cpp:\d+, value: 0)");
  EXPECT_TRUE(std::regex_match(lines[0], shortCheck)) << lines[0];
  // The caller checks, then the facility checks again before formatting: two reports, folded.
  EXPECT_EQ(lines[1], "[no stamp] Last message repeated 2 times");
  EXPECT_EQ(lines[2], "short one");
  EXPECT_NE(lines[3].find("Assertion Failed: strlen( code ) < MAXCODELEN,  file: "), std::string::npos);
  EXPECT_NE(result.out.find(tooLong + "=1"), std::string::npos);
}

// After Quitting(), a logged line is on disk when the call returns.
TEST_F(XErrorHandlerTest, AfterQuittingLinesAreOnDiskAtReturn) {
  auto result = scenario.run({"log", "display", "before", "quit", "ondisk", "after quitting"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, "ondisk=1\n");
  EXPECT_EQ(messages(), (Lines{"before", "after quitting"}));
}

// Quitting() with nothing logged returns at once and creates nothing.
TEST_F(XErrorHandlerTest, QuittingWithoutLinesCreatesNothing) {
  auto result = scenario.run({"quit"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_FALSE(std::filesystem::exists(scenario.logFolder()));
}

// ---- trimming at start ------------------------------------------------------------------------

class XErrorHandlerTrimTest : public XErrorHandlerTest {
protected:
  void writeLog(const std::string& content) {
    scenario.createLogFolder();
    ASSERT_TRUE(testsupport::WriteFile(scenario.logFile(), content));
  }
};

// A file of 13,000,001 bytes keeps only what follows the first run of line feeds in its last
// 7,000,000 bytes.
TEST_F(XErrorHandlerTrimTest, OversizedFileKeepsItsTailFromALineStart) {
  std::string content(6'000'001, 'o');
  std::string tail = "cut line\n\n\nkept line\n";
  tail += std::string(7'000'000 - tail.size() - 1, 'k') + "\n";
  // The cut: the last 7,000,000 bytes begin with "cut line".
  content += tail;
  ASSERT_EQ(content.size(), 13'000'001u);
  writeLog(content);
  auto result = scenario.run({"log", "display", "new", "quit"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  std::string log = scenario.log();
  EXPECT_EQ(log.substr(0, 10), "kept line\n");
  EXPECT_LE(log.size(), 7'000'000u + 40);
  EXPECT_TRUE(log.ends_with(" new\n"));
}

// A file of exactly 13,000,000 bytes is left alone.
TEST_F(XErrorHandlerTrimTest, FileAtTheLimitIsLeftAlone) {
  std::string content(13'000'000 - 1, 'a');
  content += '\n';
  writeLog(content);
  auto result = scenario.run({"log", "display", "new", "quit"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  std::string log = scenario.log();
  EXPECT_EQ(log.size(), 13'000'000u + 20 + 4);
  EXPECT_EQ(log.substr(0, 13'000'000), content);
}

// A file that passes the limit while running is trimmed before the next write, to its tail
// starting with a line, and the replacement is private. (After Quitting every line is a write.)
TEST_F(XErrorHandlerTrimTest, PassingTheLimitWhileRunningTrims) {
  std::string line(99, 'o');
  line += '\n';
  std::string content;
  while (content.size() + line.size() <= 13'000'000) content += line;
  writeLog(content);
  auto result = scenario.run(
      {"quit", "log", "display", "first", "log", "display", "second", "log", "display", "third"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  std::string log = scenario.log();
  EXPECT_LE(log.size(), 7'000'000u);
  EXPECT_EQ(log.substr(0, line.size()), line);
  const std::size_t first = log.find(" first\n"), second = log.find(" second\n");
  EXPECT_LT(first, second);
  EXPECT_NE(second, std::string::npos);
  EXPECT_TRUE(log.ends_with(" third\n"));
  struct stat info {};
  ASSERT_EQ(::stat(scenario.logFile().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// A file whose last 7,000,000 bytes hold no line feed (or only line feeds at its end) empties.
TEST_F(XErrorHandlerTrimTest, TailWithoutALineStartEmptiesTheFile) {
  writeLog(std::string(6'500'000, 'a') + "\n" + std::string(7'000'000, 'b'));
  auto result = scenario.run({"log", "display", "only", "quit"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(messages(), Lines{"only"});

  LogScenarioRunner trailing;
  trailing.createLogFolder();
  testsupport::WriteFile(trailing.logFile(), std::string(6'999'990, 'a') + std::string(6'000'011, '\n'));
  auto second = trailing.run({"log", "display", "only", "quit"});
  ASSERT_EQ(second.exitCode, 0) << second.err;
  EXPECT_EQ(trailing.logLines().size(), 1u);
}

// ---- faults: the caller is never blocked or crashed --------------------------------------------

// A log folder that cannot be created: lines are dropped silently.
TEST_F(XErrorHandlerTest, UncreatableFolderDropsLines) {
  testsupport::WriteFile(scenario.home.file("plainfile"), "x");
  scenario.environment["XDG_STATE_HOME"] = scenario.home.file("plainfile/state");
  auto result = scenario.run({"log", "display", "lost", "quit", "log", "display", "lost too"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.err, "");
}

// A directory in the log file's place: lines are dropped, the directory is untouched.
TEST_F(XErrorHandlerTest, DirectoryInPlaceOfTheFileDropsLines) {
  std::filesystem::create_directories(scenario.logFile());
  auto result = scenario.run({"log", "display", "lost", "quit", "log", "display", "lost too"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_TRUE(std::filesystem::is_directory(scenario.logFile()));
  EXPECT_TRUE(std::filesystem::is_empty(scenario.logFile()));
}

// A symlink at the log's name (here to /dev/full) is never followed: lines are dropped, the
// caller carries on.
TEST_F(XErrorHandlerTest, FullDiskDropsLines) {
  scenario.createLogFolder();
  std::filesystem::create_symlink("/dev/full", scenario.logFile());
  auto result = scenario.run({"log", "display", "lost", "quit", "ondisk", "lost too"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, "ondisk=0\n");
}

// ---- the log cannot be turned against other files ------------------------------------------------

// A symlink at the log's name is neither written through nor trimmed, and stays a symlink.
TEST_F(XErrorHandlerTrimTest, SymlinkAtTheLogIsLeftAlone) {
  const std::string victim = scenario.home.file("victim");
  const std::string content = std::string(13'000'000, 'v') + "\n";
  ASSERT_TRUE(testsupport::WriteFile(victim, content));
  scenario.createLogFolder();
  std::filesystem::create_symlink(victim, scenario.logFile());
  auto result = scenario.run({"log", "display", "lost", "quit"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_TRUE(std::filesystem::is_symlink(scenario.logFile()));
  EXPECT_TRUE(testsupport::ReadFile(victim) == content);
  auto entries = std::distance(std::filesystem::directory_iterator(scenario.logFolder()), {});
  EXPECT_EQ(entries, 1) << "nothing but the symlink in the folder";
}

// A log folder that is not the user's own, or that others may write to, is refused with one
// console line; one that others may only read is used, and the new file is private whatever the
// umask says.
TEST_F(XErrorHandlerTest, OnlyAPrivateLogFolderIsUsed) {
  const struct {
    mode_t mode;
    uid_t owner;         // 0: the user running the test
    const char* refusal; // nullptr: the folder is used
  } cases[] = {
      {0755, 0, nullptr},
      {0770, 0, "its group or others may write to it (mode 0770)"},
      {01777, 0, "its group or others may write to it (mode 1777)"},
      {0700, 65534, "it belongs to another user (uid 65534)"},
  };
  const mode_t umask = ::umask(0);
  for (const auto& c : cases) {
    if (c.owner != 0 && ::geteuid() != 0) continue; // giving a folder away needs root
    LogScenarioRunner run;
    run.createLogFolder();
    EXPECT_EQ(::chmod(run.logFolder().c_str(), c.mode), 0);
    EXPECT_EQ(::chown(run.logFolder().c_str(), c.owner ? c.owner : ::geteuid(), static_cast<gid_t>(-1)), 0);
    auto result = run.run({"log", "display", "one", "quit"});
    struct stat info {};
    const bool written = ::stat(run.logFile().c_str(), &info) == 0;
    EXPECT_EQ(written, c.refusal == nullptr) << c.mode;
    EXPECT_EQ(echoed(result.err), c.refusal ? Lines{"Not writing the log file: the log folder " +
                                                    run.logFolder() + " is not safe: " + c.refusal}
                                            : Lines{});
    EXPECT_EQ(written ? info.st_mode & 0777 : 0600u, 0600u);
  }
  ::umask(umask);
}

} // namespace
