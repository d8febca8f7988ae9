#include "deck/DeckDialEvent.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using namespace deck;
using nlohmann::json;

json Rotate(json ticks) {
  return {{"context", "ctx"},  {"column", 2},    {"zbID", "D2"},
          {"event", "rotate"}, {"ticks", ticks}, {"pressed", false}};
}

json Without(json info, const char* name) {
  info.erase(name);
  return info;
}

json With(json info, const char* name, json value) {
  info[name] = std::move(value);
  return info;
}

// Every event read from its userInfo, and every malformed one refused with its reason.
TEST(DeckDialEventTest, NotificationsAreCheckedBeforeTheyCount) {
  const json tap = {{"context", "c"}, {"column", 1}, {"zbID", "Vol"}, {"event", "tap"},
                    {"x", 120},       {"y", 40},     {"hold", true}};
  const json down = {{"context", "c"}, {"column", 3}, {"zbID", "D3"}, {"event", "down"}};
  {
    auto read = DeckReadDialEvent(With(Rotate(-3), "pressed", true));
    ASSERT_TRUE(std::holds_alternative<DeckDialEvent>(read));
    auto& event = std::get<DeckDialEvent>(read);
    EXPECT_EQ(event.kind, DeckDialEvent::Kind::Rotate);
    EXPECT_EQ((std::tuple(event.context, event.zbID, event.column, event.ticks, event.pressed)),
              std::tuple("ctx", "D2", 2, -3LL, true));
  }
  {
    auto read = DeckReadDialEvent(tap);
    ASSERT_TRUE(std::holds_alternative<DeckDialEvent>(read));
    auto& event = std::get<DeckDialEvent>(read);
    EXPECT_EQ(event.kind, DeckDialEvent::Kind::Tap);
    EXPECT_EQ((std::tuple(event.x, event.y, event.hold, event.zbID)), std::tuple(120LL, 40LL, true, "Vol"));
  }
  EXPECT_EQ(std::get<DeckDialEvent>(DeckReadDialEvent(down)).kind, DeckDialEvent::Kind::Down);
  EXPECT_EQ(std::get<DeckDialEvent>(DeckReadDialEvent(With(down, "event", "up"))).kind,
            DeckDialEvent::Kind::Up);
  EXPECT_TRUE(std::holds_alternative<DeckDialEvent>(DeckReadDialEvent(Rotate(kMaxDialTicks))));

  const std::pair<json, const char*> refused[] = {
      {json::array(), "not a dictionary"},
      {Without(Rotate(1), "event"), "no event"},
      {With(Rotate(1), "event", "spin"), "unknown event \"spin\""},
      {Without(Rotate(1), "context"), "no context"},
      {Without(Rotate(1), "zbID"), "no zbID"},
      {With(Rotate(1), "zbID", 5), "zbID is not a string"},
      {Without(Rotate(1), "column"), "no column"},
      {With(Rotate(1), "column", 0), "not a position"},
      {With(Rotate(1), "column", "2"), "column is not an integer"},
      {Without(Rotate(1), "ticks"), "no ticks"},
      {Rotate(1.5), "ticks is not an integer"},
      {Rotate("3"), "ticks is not an integer"},
      {Rotate(kMaxDialTicks + 1), "is beyond"},
      {Rotate(-kMaxDialTicks - 1), "is beyond"},
      {Rotate(18446744073709551615ULL), "out of range"},
      {Without(Rotate(1), "pressed"), "no pressed"},
      {With(Rotate(1), "pressed", 1), "pressed is not a boolean"},
      {Without(tap, "y"), "no y"},
      {With(tap, "x", 1.0), "x is not an integer"},
      {With(tap, "hold", "yes"), "hold is not a boolean"},
  };
  for (auto& [info, reason] : refused) {
    auto read = DeckReadDialEvent(info);
    ASSERT_TRUE(std::holds_alternative<std::string>(read)) << info.dump();
    EXPECT_NE(std::get<std::string>(read).find(reason), std::string::npos)
        << info.dump() << " -> " << std::get<std::string>(read);
  }
}

TEST(DeckDialEventTest, WatchLinesNameTheDialByItsID) {
  const std::pair<json, const char*> cases[] = {
      {Rotate(-3), "D2 rotate -3 ctx"},
      {{{"zbID", "D1"}, {"event", "down"}, {"context", "c1"}}, "D1 down c1"},
      {{{"zbID", "D1"}, {"event", "up"}, {"context", "c1"}}, "D1 up c1"},
      {{{"zbID", "Vol"}, {"event", "tap"}, {"x", 120}, {"y", 40}, {"hold", false}, {"context", "c"}},
       "Vol tap 120 40 c"},
      {{{"zbID", "Vol"}, {"event", "tap"}, {"x", 120}, {"y", 40}, {"hold", true}, {"context", "c"}},
       "Vol tap 120 40 hold c"},
      {{{"event", "rotate"}, {"context", "c"}}, "? rotate ? c"},
      {{{"zbID", "a\nb"}, {"event", "down"}, {"context", "c"}}, "a?b down c"},
      {json::array(), "? ? ?"},
  };
  for (auto& [info, line] : cases) EXPECT_EQ(DeckDialWatchLine(info), line) << info.dump();
}

} // namespace
