#include "deck/DeckDialEngine.hpp"

#include "contract/ZBContract.hpp"
#include "platform/RunLoop.hpp"
#include "support/TempDir.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace deck;
using namespace std::chrono_literals;
using nlohmann::json;

// The dial engine on a loop of the test's own thread, with what it posts and logs recorded.
struct Deck {
  testsupport::TempDir home;
  platform::RunLoop loop{"dial-engine-test"};
  std::vector<std::pair<std::string, json>> posts;
  std::vector<std::string> logs;
  DeckDialEngine engine{loop, [this](const char* name, const json& info) { posts.emplace_back(name, info); },
                        [this](const std::string& line) { logs.push_back(line); },
                        DeckEngineOptions{home.path(), false}};

  std::vector<json> posted(const char* name, const std::string& id) const {
    std::vector<json> found;
    for (auto& [n, info] : posts)
      if (n == name && info.value("zbID", "") == id) found.push_back(info);
    return found;
  }
  bool logged(const std::string& text) const {
    for (auto& line : logs)
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
  bool until(const std::function<bool()>& done) { return loop.runUntil(done, 20s); }
};

json Event(const char* event, int column, json fields = json::object()) {
  json info = {
      {"context", "ctx"}, {"column", column}, {"zbID", "D" + std::to_string(column)}, {"event", event}};
  info.update(fields);
  return info;
}

DeckDial Dial(int column) {
  DeckDial dial;
  dial.id = "D" + std::to_string(column);
  dial.column = column;
  return dial;
}

// A burst of rotations while the rotate command runs: summed per pressed state, first come first,
// one command at a time, each with the dial's environment.
TEST(DeckDialEngineTest, RotationsWhileTheCommandRunsAreSummed) {
  Deck deck;
  ASSERT_EQ(::mkfifo(deck.home.file("gate").c_str(), 0600), 0);
  // Held open for writing, so that each command's read waits for a line, not for a writer.
  int gate = ::open(deck.home.file("gate").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(gate, 0);
  DeckDial dial = Dial(1);
  dial.rotate = R"(echo "$ZB_TICKS $ZB_PRESSED $ZB_ID $ZB_COLUMN $ZB_CONTEXT" >> rotations; read go < gate)";
  deck.engine.apply({dial});
  for (auto [ticks, pressed] : {std::pair(5, false), {2, false}, {3, true}, {-1, false}, {100, true}})
    deck.engine.dialNotification(Event("rotate", 1, {{"ticks", ticks}, {"pressed", pressed}}));
  deck.engine.dialNotification(Event("rotate", 2, {{"ticks", 1}, {"pressed", false}})); // no such dial
  ASSERT_EQ(::write(gate, "go\ngo\ngo\n", 9), 9);
  ASSERT_TRUE(deck.until([&] { return deck.posted(kZBShowOKNotification, "D1").size() == 3; }));
  EXPECT_EQ(testsupport::ReadFile(deck.home.file("rotations")),
            "+5 0 D1 1 ctx\n+1 0 D1 1 ctx\n+103 1 D1 1 ctx\n");
  ::close(gate);
}

// Push, release and touch share a slot; malformed events are logged and run nothing.
TEST(DeckDialEngineTest, EventsRunTheirCommandOrAreRefused) {
  Deck deck;
  DeckDial dial = Dial(2);
  dial.push = "echo \"push $ZB_PRESSED\" >> events; sleep 30";
  dial.release = "echo release >> events";
  dial.touch = "echo \"touch $ZB_X $ZB_Y $ZB_HOLD\" >> events";
  dial.showStatus = false;
  dial.timeout = 200ms;
  deck.engine.apply({dial});
  deck.engine.dialNotification(Event("down", 2));
  deck.engine.dialNotification(Event("up", 2));
  deck.engine.dialNotification(Event("rotate", 2, {{"ticks", 1.5}, {"pressed", false}}));
  deck.engine.dialNotification(Event("tap", 2, {{"x", 120}, {"y", 40}}));
  EXPECT_TRUE(deck.logged("D2: release ignored, the dial's command is still running"));
  EXPECT_TRUE(deck.logged("Ignored a dial notification: ticks is not an integer"));
  EXPECT_TRUE(deck.logged("Ignored a dial notification: no hold"));
  ASSERT_TRUE(deck.until([&] { return deck.logged("D2: the push command failed: timed out"); }));
  deck.engine.dialNotification(Event("tap", 2, {{"x", 120}, {"y", 40}, {"hold", true}}));
  ASSERT_TRUE(deck.until([&] {
    return testsupport::ReadFile(deck.home.file("events")) == "push 1\ntouch 120 40 1\n";
  })) << testsupport::ReadFile(deck.home.file("events"));
  EXPECT_TRUE(deck.posts.empty()); // show = "none"
}

// The strip is posted when the feedback command's result changes, not when it runs.
TEST(DeckDialEngineTest, TheStripIsPostedOnlyWhenItChanges) {
  Deck deck;
  DeckDial dial = Dial(3);
  dial.feedback =
      R"(echo x >> runs; n=$(wc -l < runs); [ "$n" -lt 3 ] && echo '{"title": "T", "indicator": 7.2}' || echo '{"title": "T", "indicator": 250}')";
  dial.every = 10ms;
  deck.engine.apply({dial});
  ASSERT_TRUE(deck.until([&] { return deck.posted(kZBSetFeedbackNotification, "D3").size() == 2; }));
  ASSERT_TRUE(deck.until([&] { return testsupport::ReadFile(deck.home.file("runs")).size() >= 10; }));
  auto strips = deck.posted(kZBSetFeedbackNotification, "D3");
  ASSERT_EQ(strips.size(), 2u);
  EXPECT_EQ(strips[0]["feedback"], (json{{"title", "T"}, {"indicator", 7}}));
  EXPECT_EQ(strips[1]["feedback"], (json{{"title", "T"}, {"indicator", 100}}));
  EXPECT_TRUE(deck.logs.empty()) << deck.logs.front();
}

} // namespace
