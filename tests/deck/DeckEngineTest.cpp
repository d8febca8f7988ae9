#include "deck/DeckEngine.hpp"

#include "contract/ZBContract.hpp"
#include "platform/RunLoop.hpp"
#include "platform/detail/RunLoopIo.hpp"
#include "plugin/FakeNotificationCenter.hpp"
#include "support/TempDir.hpp"

#include <boost/asio/post.hpp>

#include <gtest/gtest.h>
#include <sys/resource.h>

namespace {

using namespace deck;
using namespace std::chrono_literals;
using nlohmann::json;

const std::string kGIF = "GIF89a;";
const std::string kGIFURL = "data:image/gif;base64,R0lGODlhOw==";

DeckKey Key(std::string id, int row, int column) {
  DeckKey key;
  key.id = std::move(id);
  key.row = row;
  key.column = column;
  return key;
}

struct EngineTest : ::testing::Test {
  testsupport::TempDir home;
  platform::RunLoop loop{"deck-engine-test"};
  std::shared_ptr<FakeNotificationCenter> center = std::make_shared<FakeNotificationCenter>();
  std::vector<std::string> log;
  std::unique_ptr<DeckEngine> engine;

  DeckConfig Config(std::vector<DeckKey> keys) {
    DeckConfig config;
    config.path = home.file("deck.toml");
    config.keys = std::move(keys);
    return config;
  }

  void start(std::vector<DeckKey> keys, bool verbose = true) {
    engine = std::make_unique<DeckEngine>(
        loop, center, [this](const std::string& line) { log.push_back(line); },
        DeckEngineOptions{home.path(), verbose});
    ASSERT_TRUE(engine->start(Config(std::move(keys))));
  }
  // The posts of `name` so far, as "zbID=value".
  std::vector<std::string> posts(const char* name, const char* field) {
    std::vector<std::string> found;
    for (auto& n : center->posted)
      if (n.name == name) found.push_back(n.userInfo.value("zbID", "?") + "=" + n.userInfo.value(field, "?"));
    return found;
  }
  bool waitFor(const std::function<bool()>& done) { return loop.runUntil(done, 20s); }
  bool logged(const std::string& line) { return std::find(log.begin(), log.end(), line) != log.end(); }
  void appeared(json info) { center->deliver(kZBKeyAppearedNotification, kZBEngineNotificationObject, info); }
};

// A key that appears gets its image again (even unchanged) and its title and icon run; it is
// found by its ID first, then by its position. Anything malformed starts nothing.
TEST_F(EngineTest, AnAppearedKeyGetsItsImageAndTitle) {
  ASSERT_TRUE(testsupport::WriteFile(home.file("key.gif"), kGIF));
  auto r1c1 = Key("R1C1", 1, 1);
  r1c1.title = "echo one";
  r1c1.image = "key.gif";
  auto lights = Key("Lights", 3, 5);
  lights.title = "echo lights";
  auto r2c2 = Key("R2C2", 2, 2);
  r2c2.icon = "printf '%s\\n' '~/key.gif'";
  start({r1c1, lights, r2c2});
  ASSERT_TRUE(waitFor([&] {
    return posts(kZBSetTitleNotification, "title").size() == 2 &&
           posts(kZBSetImageNotification, "image").size() == 2;
  }));
  const struct {
    json info;
    std::vector<std::string> images; // posted at once
    std::vector<std::string> titles; // posted once its command ran
  } cases[] = {
      {{{"context", "c1"}, {"row", 1}, {"column", 1}, {"zbID", "R1C1"}}, {"R1C1=" + kGIFURL}, {"R1C1=one"}},
      {{{"context", "c2"}, {"row", 3}, {"column", 5}, {"zbID", "R3C5"}}, {}, {"Lights=lights"}},
      {{{"context", "c3"}, {"row", 9}, {"column", 9}, {"zbID", "Lights"}}, {}, {"Lights=lights"}},
      {{{"context", "c4"}, {"row", 2}, {"column", 2}, {"zbID", "R2C2"}}, {"R2C2=" + kGIFURL}, {}},
      {{{"context", "c5"}, {"row", 7}, {"column", 7}, {"zbID", "R7C7"}}, {}, {}},
      {{{"context", "c6"}, {"row", "1"}, {"column", 1}, {"zbID", "R1C1"}}, {}, {}},
      {{{"context", "c7"}, {"row", 1}, {"column", 1}}, {}, {}},
      {{{"row", 1}, {"column", 1}, {"zbID", "R1C1"}}, {}, {}},
      {{{"context", "c9"}, {"row", 1}, {"column", 1}, {"zbID", 5}}, {}, {}},
      {json::array({1, 2}), {}, {}},
  };
  for (auto& c : cases) {
    center->posted.clear();
    log.clear();
    appeared(c.info);
    EXPECT_EQ(posts(kZBSetImageNotification, "image"), c.images) << c.info;
    auto count = [&](const char* text) {
      return std::count_if(log.begin(), log.end(), [&](auto& l) { return l.find(text) != l.npos; });
    };
    auto started = count("started the");
    EXPECT_EQ(started, c.titles.size() + (c.info.is_object() && c.info.value("zbID", json()) == "R2C2"))
        << c.info;
    // The icon gives the image it gave before: not posted again.
    EXPECT_TRUE(waitFor([&] { return count("command finished") == started; })) << c.info;
    EXPECT_EQ(posts(kZBSetTitleNotification, "title"), c.titles) << c.info;
  }
}

// Images are posted again only when they changed: on reload, and for an icon's result.
TEST_F(EngineTest, ImagesArePostedOnlyWhenTheyChange) {
  ASSERT_TRUE(testsupport::WriteFile(home.file("key.gif"), kGIF));
  ASSERT_TRUE(testsupport::WriteFile(home.file("state"), "data:image/gif;base64,AAAA"));
  auto r1c1 = Key("R1C1", 1, 1);
  r1c1.image = "~/key.gif";
  auto r1c2 = Key("R1C2", 1, 2);
  r1c2.icon = "cat state; echo $$ >&2"; // a line in the log for each run
  r1c2.press = "true";
  start({r1c1, r1c2}, false);
  ASSERT_TRUE(waitFor([&] { return posts(kZBSetImageNotification, "image").size() == 2; }));
  EXPECT_EQ(posts(kZBSetImageNotification, "image"),
            (std::vector<std::string>{"R1C1=" + kGIFURL, "R1C2=data:image/gif;base64,AAAA"}));
  auto runs = [&] {
    return std::count_if(log.begin(), log.end(), [](auto& l) { return l.starts_with("R1C2 icon: "); });
  };
  auto settle = [&](long expected) { EXPECT_TRUE(waitFor([&] { return runs() == expected; })); };
  auto press = [&] {
    auto before = runs();
    center->deliver(kZBKeyNotification, kZBEngineNotificationObject,
                    {{"row", 1}, {"column", 2}, {"pressed", true}});
    settle(before + 1);
  };
  // A reload runs the icon again, with the same result here.
  center->posted.clear();
  engine->reload(Config({r1c1, r1c2}));
  settle(2);
  EXPECT_EQ(posts(kZBSetImageNotification, "image"), std::vector<std::string>{});
  ASSERT_TRUE(testsupport::WriteFile(home.file("key.gif"), "GIF89a!"));
  ASSERT_TRUE(testsupport::WriteFile(home.file("state"), "data:image/gif;base64,BBBB\nignored"));
  engine->reload(Config({r1c1, r1c2}));
  settle(3);
  EXPECT_EQ(posts(kZBSetImageNotification, "image"),
            (std::vector<std::string>{"R1C1=data:image/gif;base64,R0lGODlhIQ==",
                                      "R1C2=data:image/gif;base64,BBBB"}));
  // What is not an image is said once, and posts nothing.
  ASSERT_TRUE(testsupport::WriteFile(home.file("state"), "data:text/plain,hi"));
  center->posted.clear();
  press();
  press();
  EXPECT_EQ(posts(kZBSetImageNotification, "image"), std::vector<std::string>{});
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "R1C2: the icon command's output is not an image: not a data:image/ URL"),
            1);
}

// Standard error is logged under the key and the command's kind; a title that is not UTF-8 is
// shown with U+FFFD and said once.
TEST_F(EngineTest, ErrorsAndBadTitlesAreLogged) {
  auto r1c1 = Key("R1C1", 1, 1);
  r1c1.title = "echo 'no network' >&2; printf 'caf\\351\\n'";
  start({r1c1});
  auto titles = [&] { return posts(kZBSetTitleNotification, "title").size(); };
  ASSERT_TRUE(waitFor([&] { return titles() == 1; }));
  appeared({{"context", "c"}, {"row", 1}, {"column", 1}, {"zbID", "R1C1"}});
  ASSERT_TRUE(waitFor([&] { return titles() == 2; }));
  EXPECT_EQ(posts(kZBSetTitleNotification, "title"),
            (std::vector<std::string>{"R1C1=caf\uFFFD", "R1C1=caf\uFFFD"}));
  EXPECT_EQ(std::count(log.begin(), log.end(), "R1C1 title: no network"), 1);
  EXPECT_EQ(
      std::count(
          log.begin(), log.end(),
          "R1C1: the title command's output is not UTF-8; its bad bytes are shown as U+FFFD: caf\uFFFD"),
      1);
}

// Many keys with a title each start no more commands at once than the process can hold pipes
// for: every title arrives, none fails to start, under a low limit of open files.
TEST_F(EngineTest, ManyKeysDoNotExhaustDescriptors) {
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = 192; // about 3 per running command, and what the process holds already
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<DeckKey> keys;
  for (int i = 0; i < 200; ++i) {
    auto key = Key("K" + std::to_string(i), 0, 0);
    key.title = "echo " + std::to_string(i);
    keys.push_back(key);
  }
  start(keys, false);
  bool all = waitFor([&] { return posts(kZBSetTitleNotification, "title").size() == keys.size(); });
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_TRUE(all);
  EXPECT_EQ(log, std::vector<std::string>{"Loaded " + home.file("deck.toml") + ": 200 keys"});
}

// A storm of reload requests loads the file once (and once more for a request after it ran).
TEST_F(EngineTest, ReloadRequestsAreMerged) {
  start({});
  int loads = 0;
  auto load = [&]() -> DeckConfigResult {
    ++loads;
    return DeckConfigError{"deck.toml", 1, 0, "broken"};
  };
  for (int i = 0; i < 1000; ++i) engine->requestReload(load);
  bool after = false;
  boost::asio::post(platform::detail::IoContext(loop), [&] { after = true; });
  ASSERT_TRUE(waitFor([&] { return after; }));
  EXPECT_EQ(loads, 1);
  EXPECT_TRUE(logged("Kept the previous configuration: deck.toml:1: broken"));
  engine->requestReload(load);
  ASSERT_TRUE(waitFor([&] { return loads == 2; }));
}

} // namespace
