// The plug-in's dials: identity, events to the engine, bad input, strip feedback and layouts,
// and what a dial keeps across a disappearance.
#include "plugin/ZBStreamDeckPlugin.hpp"

#include "plugin/FakeNotificationCenter.hpp"
#include "streamdeck/FakeWebSocket.hpp"
#include "streamdeck/SDConnectionManager.hpp"
#include "support/LogCapture.hpp"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

class ZBStreamDeckPluginDialsTest : public ::testing::Test {
protected:
  void SetUp() override {
    log = &testsupport::TestLog();
    center = std::make_shared<FakeNotificationCenter>();
    plugin = std::make_shared<ZBStreamDeckPlugin>();
    plugin->setNotificationCenterForTesting(center);
    manager = SDConnectionManager::initWithPort(4000, "U", "registerPlugin", std::nullopt, plugin,
                                                [this](const WSURLRequest& request) {
                                                  socket = std::make_shared<FakeWebSocket>(request);
                                                  return socket;
                                                });
    socket->reportOpen();
    socket->sent.clear();
  }

  void event(const json& message) { socket->reportText(message.dump()); }

  void appear(const std::string& context, int column, json settings = json::object(),
              const char* controller = "Encoder") {
    event({{"event", "willAppear"},
           {"action", "com.zorbel.streamdeck.key"},
           {"context", context},
           {"device", "D"},
           {"payload",
            {{"controller", controller},
             {"coordinates", {{"row", 0}, {"column", column}}},
             {"settings", std::move(settings)}}}});
  }

  void dial(const char* which, const std::string& context, json payload) {
    event({{"event", which}, {"context", context}, {"payload", std::move(payload)}});
  }

  void engine(const char* name, json userInfo) {
    center->deliver(name, kZBEngineNotificationObject, std::move(userInfo));
  }

  std::vector<json> wire() {
    std::vector<json> out;
    for (const auto& s : socket->sent) out.push_back(s.json());
    socket->sent.clear();
    return out;
  }

  testsupport::LogCapture* log = nullptr;
  std::shared_ptr<FakeNotificationCenter> center;
  std::shared_ptr<ZBStreamDeckPlugin> plugin;
  std::shared_ptr<SDConnectionManager> manager;
  std::shared_ptr<FakeWebSocket> socket;
};

const json kAt0 = {{"row", 0}, {"column", 0}};

// A dial's button ID is its zbID, else D<virtual column>; a key at the same place stays R1C1, and
// the inspector moves a dial as it moves a key.
TEST_F(ZBStreamDeckPluginDialsTest, Identity) {
  struct Case {
    const char* controller;
    int column;
    json settings;
    const char* id;
  } cases[] = {
      {"Encoder", 0, json::object(), "D1"},   {"Keypad", 0, json::object(), "R1C1"},
      {"Encoder", 3, json::object(), "D4"},   {"Encoder", 0, {{"zbColumn", "7"}}, "D7"},
      {"Encoder", 0, {{"zbRow", "5"}}, "D1"}, {"Encoder", 2, {{"zbID", "volume"}}, "volume"},
      {"encoder", 0, json::object(), "R1C1"}, // the controller is named exactly
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.controller) + " " + c.settings.dump());
    const std::string context = "X" + std::to_string(n++);
    appear(context, c.column, c.settings, c.controller);
    EXPECT_EQ(plugin->knownIDs()->at(context), c.id);
    EXPECT_EQ(plugin->isDial(context), std::string(c.controller) == "Encoder");
  }
  // The inspector: a column, then an ID, then no ID again.
  appear("V", 0);
  event({{"event", "sendToPlugin"}, {"context", "V"}, {"payload", {{"zbColumn", 5}}}});
  EXPECT_EQ(plugin->knownIDs()->at("V"), "D5");
  event({{"event", "sendToPlugin"}, {"context", "V"}, {"payload", {{"zbID", " vol "}}}});
  EXPECT_EQ(plugin->knownIDs()->at("V"), "vol");
  event({{"event", "sendToPlugin"}, {"context", "V"}, {"payload", {{"zbID", ""}}}});
  EXPECT_EQ(plugin->knownIDs()->at("V"), "D5");
  EXPECT_TRUE(center->appeared.empty() || center->appeared.back().userInfo["context"] != "V");
}

// Each dial event becomes one Dial notification with the specified userInfo.
TEST_F(ZBStreamDeckPluginDialsTest, EventsBecomeDialNotifications) {
  appear("V", 1, {{"zbID", "volume"}});
  struct Case {
    const char* event;
    json payload;
    json userInfo; // beyond context, column, zbID
  } cases[] = {
      {"dialRotate",
       {{"ticks", -3}, {"pressed", false}},
       {{"event", "rotate"}, {"ticks", -3}, {"pressed", false}}},
      {"dialRotate",
       {{"ticks", 2}, {"pressed", true}},
       {{"event", "rotate"}, {"ticks", 2}, {"pressed", true}}},
      {"dialRotate", {{"ticks", 1}}, {{"event", "rotate"}, {"ticks", 1}, {"pressed", false}}},
      {"dialDown", json::object(), {{"event", "down"}}},
      {"dialUp", json::object(), {{"event", "up"}}},
      {"touchTap",
       {{"tapPos", {120, 40}}, {"hold", false}},
       {{"event", "tap"}, {"x", 120}, {"y", 40}, {"hold", false}}},
      {"touchTap",
       {{"tapPos", {1.6, 2.4}}, {"hold", true}},
       {{"event", "tap"}, {"x", 2}, {"y", 2}, {"hold", true}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.payload.dump());
    center->posted.clear();
    json payload = c.payload;
    payload["coordinates"] = {{"row", 0}, {"column", 1}};
    payload["controller"] = "Encoder";
    dial(c.event, "V", payload);
    ASSERT_EQ(center->posted.size(), 1u);
    EXPECT_EQ(center->posted[0].name, "Zorbel Stream Deck Dial");
    EXPECT_EQ(center->posted[0].object, "com.zorbel.streamdeck");
    json expected = c.userInfo;
    expected["context"] = "V";
    expected["column"] = 2;
    expected["zbID"] = "volume";
    EXPECT_EQ(center->posted[0].userInfo, expected);
  }
  // A dial the plug-in never saw appear has its default ID.
  center->posted.clear();
  dial("dialDown", "unseen", {{"coordinates", {{"row", 0}, {"column", 2}}}});
  ASSERT_EQ(center->posted.size(), 1u);
  EXPECT_EQ(center->posted[0].userInfo["zbID"], "D3");
  // Nor is a key ever named in a Dial notification, whatever the host sends for it.
  appear("K", 0, json::object(), "Keypad");
  center->posted.clear();
  dial("dialDown", "K", {{"coordinates", kAt0}});
  ASSERT_EQ(center->posted.size(), 1u);
  EXPECT_EQ(center->posted[0].userInfo["zbID"], "D1");
  EXPECT_TRUE(socket->sent.empty());
}

// Malformed events: one log line each, nothing posted or sent, and the next event goes through.
TEST_F(ZBStreamDeckPluginDialsTest, BadEventsAreDroppedWithOneLine) {
  appear("V", 0);
  wire();
  const json at = kAt0;
  struct Case {
    const char* event;
    json message;
    const char* line;
  } cases[] = {
      {"dialRotate", {{"context", "V"}, {"payload", {{"ticks", 1}}}}, "it has no coordinates"},
      {"dialDown", {{"context", "V"}, {"payload", {{"coordinates", {{"row", 0}}}}}}, "it has no coordinates"},
      {"dialDown", {{"payload", {{"coordinates", at}}}}, "it has no context"},
      {"dialRotate", {{"context", "V"}, {"payload", {{"coordinates", at}, {"ticks", "3"}}}}, "its ticks"},
      {"dialRotate", {{"context", "V"}, {"payload", {{"coordinates", at}, {"ticks", 1.5}}}}, "its ticks"},
      {"dialRotate",
       {{"context", "V"}, {"payload", {{"coordinates", at}, {"ticks", 4000000000LL}}}},
       "its ticks"},
      {"dialRotate", {{"context", "V"}, {"payload", {{"coordinates", at}, {"ticks", -10001}}}}, "its ticks"},
      {"dialRotate", {{"context", "V"}, {"payload", {{"coordinates", at}}}}, "its ticks"},
      {"dialRotate",
       {{"context", "V"}, {"payload", {{"coordinates", at}, {"ticks", 1}, {"pressed", 1}}}},
       "its pressed"},
      {"touchTap", {{"context", "V"}, {"payload", {{"coordinates", at}}}}, "its tapPos"},
      {"touchTap", {{"context", "V"}, {"payload", {{"coordinates", at}, {"tapPos", {1}}}}}, "its tapPos"},
      {"touchTap",
       {{"context", "V"}, {"payload", {{"coordinates", at}, {"tapPos", {"1", "2"}}}}},
       "its tapPos"},
      {"touchTap",
       {{"context", "V"}, {"payload", {{"coordinates", at}, {"tapPos", {1, 2, 3}}}}},
       "its tapPos"},
      {"touchTap",
       {{"context", "V"}, {"payload", {{"coordinates", at}, {"tapPos", {1e300, 2}}}}},
       "its tapPos"},
      {"touchTap",
       {{"context", "V"}, {"payload", {{"coordinates", at}, {"tapPos", {1, 2}}, {"hold", "no"}}}},
       "its hold"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message.dump());
    const auto mark = log->mark();
    json message = c.message;
    message["event"] = c.event;
    event(message);
    EXPECT_TRUE(center->posted.empty());
    EXPECT_EQ(log->count("Ignoring the dial", mark), 1);
    EXPECT_EQ(log->count(c.line, mark), 1);
  }
  EXPECT_TRUE(wire().empty());
  dial("dialRotate", "V", {{"coordinates", at}, {"ticks", 10000}});
  ASSERT_EQ(center->posted.size(), 1u);
  EXPECT_EQ(center->posted[0].userInfo["ticks"], 10000);
}

// A fast spin: every rotation is posted as it comes, in order, none lost.
TEST_F(ZBStreamDeckPluginDialsTest, RotationFloodIsPostedInOrder) {
  appear("V", 0);
  std::vector<int> sent;
  for (int i = 0; i < 2000; ++i) {
    sent.push_back(i % 9 - 4);
    dial("dialRotate", "V", {{"coordinates", kAt0}, {"ticks", sent.back()}, {"pressed", false}});
  }
  ASSERT_EQ(center->posted.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) ASSERT_EQ(center->posted[i].userInfo["ticks"], sent[i]) << i;
}

// Layouts: built-in names and files of the bundle's layouts folder go to the dials with the ID;
// anything else is refused with one line and sends nothing.
TEST_F(ZBStreamDeckPluginDialsTest, FeedbackLayoutsAcceptedAndRefused) {
  appear("V", 0);
  appear("K", 0, json::object(), "Keypad");
  wire();
  struct Case {
    json layout;
    std::optional<std::string> sent;
  } cases[] = {
      {"$B1", "$B1"},
      {"$X1", "$X1"},
      {"$A0", "$A0"},
      {"layouts/volume.json", "layouts/volume.json"},
      {"volume.json", "layouts/volume.json"},
      {"$", std::nullopt},
      {"$B-1", std::nullopt},
      {"$B1/../../x", std::nullopt},
      {"../secret.json", std::nullopt},
      {"layouts/../manifest.json", std::nullopt},
      {"layouts/sub/x.json", std::nullopt},
      {"/etc/passwd", std::nullopt},
      {"layouts/", std::nullopt},
      {"a\\b.json", std::nullopt},
      {"a\nb.json", std::nullopt},
      {"", std::nullopt},
      {5, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.layout.dump());
    for (const char* id : {"D1", "R1C1"}) {
      const auto mark = log->mark();
      engine(kZBSetFeedbackLayoutNotification, {{"zbID", id}, {"layout", c.layout}});
      const auto out = wire();
      if (!c.sent) {
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(log->count("Refusing the feedback layout", mark), 1);
        continue;
      }
      if (std::string(id) == "R1C1") { // keys have no strip
        EXPECT_TRUE(out.empty());
        continue;
      }
      ASSERT_EQ(out.size(), 2u);
      EXPECT_EQ(out[0],
                (json{{"event", "setFeedbackLayout"}, {"context", "V"}, {"payload", {{"layout", *c.sent}}}}));
      EXPECT_EQ(out[1]["event"], "setSettings");
      EXPECT_EQ(out[1]["payload"]["layout"], *c.sent);
    }
  }
}

// Feedback: the four known items are normalised (indicator rounded and clamped), others pass
// through; a feedback that is not a dictionary or has a wrongly typed item is refused whole.
TEST_F(ZBStreamDeckPluginDialsTest, FeedbackIsNormalisedOrRefused) {
  appear("V", 0);
  wire();
  struct Case {
    json feedback;
    std::optional<json> sent;
  } cases[] = {
      {{{"indicator", 150}}, json{{"indicator", 100}}},
      {{{"indicator", -5}}, json{{"indicator", 0}}},
      {{{"indicator", 42.6}}, json{{"indicator", 43}}},
      {{{"indicator", 4000000000LL}}, json{{"indicator", 100}}},
      {{{"title", 42}, {"value", "50 %"}}, json{{"title", "42"}, {"value", "50 %"}}},
      {{{"icon", "data:image/png;base64,AA"}, {"bar", {{"value", 3}}}},
       json{{"icon", "data:image/png;base64,AA"}, {"bar", {{"value", 3}}}}},
      {"text", std::nullopt},
      {json::array({1, 2}), std::nullopt},
      {{{"indicator", "high"}}, std::nullopt},
      {{{"title", {1, 2}}}, std::nullopt},
      {{{"icon", 3}}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.feedback.dump());
    const auto mark = log->mark();
    engine(kZBSetFeedbackNotification, {{"zbID", "D1"}, {"feedback", c.feedback}});
    const auto out = wire();
    if (!c.sent) {
      EXPECT_TRUE(out.empty());
      EXPECT_EQ(log->count("Refusing a feedback", mark), 1);
      continue;
    }
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], (json{{"event", "setFeedback"}, {"context", "V"}, {"payload", *c.sent}}));
    EXPECT_EQ(out[1]["event"], "setSettings");
  }
  // Without the feedback entry at all.
  const auto mark = log->mark();
  engine(kZBSetFeedbackNotification, {{"zbID", "D1"}});
  EXPECT_TRUE(wire().empty());
  EXPECT_EQ(log->count("Refusing a feedback", mark), 1);
}

// Feedback goes to dials only; titles, images, alerts and OKs address dials and keys by ID alike.
TEST_F(ZBStreamDeckPluginDialsTest, CommandsSelectByID) {
  appear("V", 0, {{"zbID", "both"}});
  appear("K", 0, {{"zbID", "both"}}, "Keypad");
  appear("W", 1);
  wire();
  engine(kZBSetFeedbackNotification, {{"zbID", "both"}, {"feedback", {{"value", "7"}}}});
  auto out = wire();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0]["context"], "V");
  engine(kZBSetTitleNotification, {{"zbID", "both"}, {"title", "T"}});
  out = wire();
  ASSERT_EQ(out.size(), 4u); // setTitle and setSettings for each, in table order: K, V
  EXPECT_EQ(out[0]["context"], "K");
  EXPECT_EQ(out[2]["context"], "V");
  engine(kZBShowOKNotification, {{"zbID", "D2"}});
  out = wire();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], (json{{"event", "showOk"}, {"context", "W"}}));
  engine(kZBSetFeedbackNotification, {{"zbID", "R1C1"}, {"feedback", {{"value", "7"}}}});
  EXPECT_TRUE(wire().empty());
}

// The last layout and the merged feedback are kept in the settings, and a dial that reappears
// with them (a profile switch) gets its layout, then its title, then its whole feedback again.
TEST_F(ZBStreamDeckPluginDialsTest, FeedbackAndLayoutPersist) {
  appear("V", 0);
  engine(kZBSetFeedbackLayoutNotification, {{"zbID", "D1"}, {"layout", "$A1"}});
  engine(kZBSetFeedbackNotification, {{"zbID", "D1"}, {"feedback", {{"title", "Vol"}, {"indicator", 20}}}});
  engine(kZBSetFeedbackNotification, {{"zbID", "D1"}, {"feedback", {{"value", "30"}, {"indicator", 30}}}});
  engine(kZBSetTitleNotification, {{"zbID", "D1"}, {"title", "T"}});
  const json stored = plugin->knownSettings()->at("V");
  EXPECT_EQ(stored["layout"], "$A1");
  EXPECT_EQ(stored["feedback"], (json{{"title", "Vol"}, {"value", "30"}, {"indicator", 30}}));
  std::vector<json> out = wire();
  EXPECT_EQ(out.back(), (json{{"event", "setSettings"}, {"context", "V"}, {"payload", stored}}));

  event({{"event", "willDisappear"}, {"context", "V"}, {"payload", {{"coordinates", kAt0}}}});
  EXPECT_FALSE(plugin->isDial("V"));
  appear("V", 0, stored);
  out = wire();
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0],
            (json{{"event", "setFeedbackLayout"}, {"context", "V"}, {"payload", {{"layout", "$A1"}}}}));
  EXPECT_EQ(out[1]["event"], "setTitle");
  EXPECT_EQ(out[2], (json{{"event", "setFeedback"}, {"context", "V"}, {"payload", stored["feedback"]}}));
  // A stored layout that is no longer acceptable, and a broken stored feedback, are not sent.
  appear("W", 1, {{"layout", "../x"}, {"feedback", "broken"}});
  EXPECT_TRUE(wire().empty());
}

} // namespace
