#include "plugin/ZBStreamDeckPlugin.hpp"

#include "plugin/FakeNotificationCenter.hpp"
#include "streamdeck/FakeWebSocket.hpp"
#include "streamdeck/SDConnectionManager.hpp"
#include "support/LogCapture.hpp"
#include "support/TempDir.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <set>

using nlohmann::json;

namespace {

class ZBStreamDeckPluginTest : public ::testing::Test {
protected:
  void SetUp() override {
    log = &testsupport::TestLog();
    center = std::make_shared<FakeNotificationCenter>();
    plugin = std::make_shared<ZBStreamDeckPlugin>();
    plugin->setNotificationCenterForTesting(center);
    launchMark = log->mark();
    manager = SDConnectionManager::initWithPort(4000, "U", "registerPlugin", std::nullopt, plugin,
                                                [this](const WSURLRequest& request) {
                                                  socket = std::make_shared<FakeWebSocket>(request);
                                                  return socket;
                                                });
    socket->reportOpen();
    socket->sent.clear();
  }

  void event(const json& message) { socket->reportText(message.dump()); }

  void appear(const std::string& context, int row, int column, json settings = json::object()) {
    event({{"event", "willAppear"},
           {"action", "com.zorbel.key"},
           {"context", context},
           {"device", "D"},
           {"payload", {{"coordinates", {{"row", row}, {"column", column}}}, {"settings", settings}}}});
  }

  void key(const char* which, const std::string& context, std::optional<std::pair<int, int>> at) {
    json payload = json::object();
    if (at) payload["coordinates"] = {{"row", at->first}, {"column", at->second}};
    event({{"event", which}, {"context", context}, {"payload", payload}});
  }

  void inspector(const std::string& context, json payload) {
    event({{"event", "sendToPlugin"}, {"context", context}, {"payload", std::move(payload)}});
  }

  json id(const std::string& context) const { return plugin->knownIDs()->at(context); }
  json settings(const std::string& context) const { return plugin->knownSettings()->at(context); }
  std::vector<json> wire() const {
    std::vector<json> out;
    for (const auto& s : socket->sent) out.push_back(s.json());
    return out;
  }

  testsupport::LogCapture* log = nullptr;
  std::size_t launchMark = 0;
  std::shared_ptr<FakeNotificationCenter> center;
  std::shared_ptr<ZBStreamDeckPlugin> plugin;
  std::shared_ptr<SDConnectionManager> manager;
  std::shared_ptr<FakeWebSocket> socket;
};

// ---- Start ----

// launched logs its line and observes the six engine notifications with the engine's object.
TEST_F(ZBStreamDeckPluginTest, LaunchedObservesTheEngineNotifications) {
  EXPECT_EQ(log->count("Stream Deck Plug In Launched", launchMark), 1);
  std::vector<std::string> names;
  for (const auto& [token, observer] : center->observers) {
    names.push_back(observer.name);
    EXPECT_EQ(observer.object, "com.zorbel.streamdeck");
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Zorbel Stream Deck Show Alert", "Zorbel Stream Deck Show OK",
                                             "Zorbel Stream Deck Set Title", "Zorbel Stream Deck Set Image",
                                             "Zorbel Stream Deck Set Feedback",
                                             "Zorbel Stream Deck Set Feedback Layout"}));
  EXPECT_EQ(plugin->connectionManager(), manager);
}

// Before any key appeared the tables do not exist; key presses still post, commands address nothing.
TEST_F(ZBStreamDeckPluginTest, TablesAreCreatedByTheFirstWillAppear) {
  EXPECT_EQ(plugin->knownIDs(), nullptr);
  EXPECT_EQ(plugin->knownSettings(), nullptr);
  EXPECT_EQ(plugin->knownCoordinates(), nullptr);
  key("keyDown", "C", std::make_pair(0, 0));
  ASSERT_EQ(center->posted.size(), 1u);
  center->deliver(kZBShowAlertNotification, kZBEngineNotificationObject, {{"zbID", "R1C1"}});
  EXPECT_TRUE(socket->sent.empty());
  appear("C", 0, 0);
  ASSERT_NE(plugin->knownIDs(), nullptr);
  EXPECT_EQ(plugin->knownCoordinates()->at("C"), (json{{"row", 0}, {"column", 0}}));
}

// ---- Key identity and presses ----

// A key at row 0, column 0 is R1C1; pressing and releasing post row 1, column 1 and the state.
TEST_F(ZBStreamDeckPluginTest, KeyPressPostsTheKeyNotification) {
  appear("C1", 0, 0);
  EXPECT_EQ(id("C1"), "R1C1");
  key("keyDown", "C1", std::make_pair(0, 0));
  key("keyUp", "C1", std::make_pair(0, 0));
  ASSERT_EQ(center->posted.size(), 2u);
  EXPECT_EQ(center->posted[0].name, "Zorbel Stream Deck Key");
  EXPECT_EQ(center->posted[0].object, "com.zorbel.streamdeck");
  EXPECT_EQ(center->posted[0].userInfo,
            (json{{"context", "C1"}, {"row", 1}, {"column", 1}, {"pressed", true}}));
  EXPECT_EQ(center->posted[1].userInfo,
            (json{{"context", "C1"}, {"row", 1}, {"column", 1}, {"pressed", false}}));
  EXPECT_TRUE(socket->sent.empty());
}

// The shared key-rule vectors (tests/support/key_rules.json, read by the inspector's and the Python
// stand-ins' tests too): user rows and columns of 1 to 999 win; 0, negatives, 1000 and above and
// non-numbers fall back to the position plus one. Each row goes through willAppear and a press.
TEST_F(ZBStreamDeckPluginTest, VirtualRowAndColumnRules) {
  const json vectors = json::parse(testsupport::ReadFile(ZB_KEY_RULES_FILE));
  ASSERT_GE(vectors["keys"].size(), 15u);
  int n = 0;
  for (const json& row : vectors["keys"]) {
    SCOPED_TRACE(row.dump());
    const std::string context = "K" + std::to_string(n++);
    const json& coordinates = row["coordinates"];
    const json* at = coordinates.is_null() ? nullptr : &coordinates;
    EXPECT_EQ(VirtualRow(&row["settings"], at), row["row"].get<int>());
    EXPECT_EQ(VirtualColumn(&row["settings"], at), row["column"].get<int>());
    if (coordinates.is_null()) continue;
    center->posted.clear();
    event({{"event", "willAppear"},
           {"action", "com.zorbel.key"},
           {"context", context},
           {"device", "D"},
           {"payload", {{"coordinates", coordinates}, {"settings", row["settings"]}}}});
    event({{"event", "keyDown"}, {"context", context}, {"payload", {{"coordinates", coordinates}}}});
    ASSERT_EQ(center->posted.size(), 1u);
    EXPECT_EQ(center->posted[0].userInfo["row"], row["row"]);
    EXPECT_EQ(center->posted[0].userInfo["column"], row["column"]);
    EXPECT_EQ(id(context), row["id"]);
  }
  const json& appeared = vectors["appearedWithoutCoordinates"];
  EXPECT_EQ(DefaultIDFromCoordinates(nullptr, &appeared["stored"]), appeared["id"]);
}

// Without coordinates a key is recorded at 777/777 (R778C778); a press without them reports 999/999.
TEST_F(ZBStreamDeckPluginTest, MissingCoordinates) {
  event({{"event", "willAppear"}, {"context", "N"}, {"payload", {{"settings", json::object()}}}});
  EXPECT_EQ(plugin->knownCoordinates()->at("N"), (json{{"row", 777}, {"column", 777}}));
  EXPECT_EQ(id("N"), "R778C778");
  key("keyDown", "N", std::nullopt);
  EXPECT_EQ(center->posted.at(0).userInfo["row"], 999);
  EXPECT_EQ(center->posted.at(0).userInfo["column"], 999);
}

// A press uses the event's own coordinates, not the stored ones.
TEST_F(ZBStreamDeckPluginTest, KeyPressUsesTheEventsCoordinates) {
  appear("M", 0, 0);
  key("keyDown", "M", std::make_pair(3, 2));
  EXPECT_EQ(center->posted.at(0).userInfo["row"], 4);
  EXPECT_EQ(center->posted.at(0).userInfo["column"], 3);
}

// A stored zbID is used as stored (blanks too); an empty one gives the default ID.
TEST_F(ZBStreamDeckPluginTest, StoredButtonIDs) {
  appear("B", 0, 0, {{"zbID", "   "}});
  EXPECT_EQ(id("B"), "   ");
  appear("E", 1, 1, {{"zbID", ""}});
  EXPECT_EQ(id("E"), "R2C2");
  EXPECT_FALSE(settings("E").contains("zbID") && settings("E")["zbID"] != ""); // the default is not written
}

// willDisappear forgets the key; a later press still posts, from the event's coordinates.
TEST_F(ZBStreamDeckPluginTest, WillDisappearForgetsTheKey) {
  appear("G", 0, 0, {{"zbRow", "7"}});
  event({{"event", "willDisappear"}, {"context", "G"}, {"payload", json::object()}});
  EXPECT_EQ(plugin->knownIDs()->count("G"), 0u);
  EXPECT_EQ(plugin->knownSettings()->count("G"), 0u);
  EXPECT_EQ(plugin->knownCoordinates()->count("G"), 0u);
  key("keyDown", "G", std::make_pair(0, 0));
  EXPECT_EQ(center->posted.at(0).userInfo["row"], 1);
}

// A key event without a context posts "UNKNOWN".
TEST_F(ZBStreamDeckPluginTest, KeyEventWithoutContextPostsUnknown) {
  event({{"event", "keyUp"}, {"payload", {{"coordinates", {{"row", 0}, {"column", 0}}}}}});
  EXPECT_EQ(center->posted.at(0).userInfo["context"], "UNKNOWN");
}

// An appearing key gets back its stored image and then its title; no setSettings.
TEST_F(ZBStreamDeckPluginTest, AppearingKeyRestoresImageThenTitle) {
  appear("R", 0, 0, {{"title", "Hello"}, {"image", "data:image/png;base64,AA"}, {"other", 1}});
  auto sent = wire();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], (json{{"event", "setImage"},
                           {"context", "R"},
                           {"payload", {{"image", "data:image/png;base64,AA"}, {"target", 0}}}}));
  EXPECT_EQ(
      sent[1],
      (json{{"event", "setTitle"}, {"context", "R"}, {"payload", {{"title", "Hello"}, {"target", 0}}}}));
  socket->sent.clear();
  appear("S", 0, 1, {{"image", ""}});
  ASSERT_EQ(wire().size(), 1u);
  EXPECT_EQ(wire()[0]["payload"]["image"], "");
}

// A willAppear without settings records coordinates and the default ID, then fails the message.
TEST_F(ZBStreamDeckPluginTest, WillAppearWithoutSettingsFails) {
  auto mark = log->mark();
  event({{"event", "willAppear"},
         {"context", "W"},
         {"payload", {{"coordinates", {{"row", 1}, {"column", 1}}}}}});
  EXPECT_EQ(log->count("Failed to parse the JSON data", mark), 1);
  EXPECT_EQ(id("W"), "R2C2");
  EXPECT_EQ(plugin->knownSettings()->count("W"), 0u);
  EXPECT_TRUE(socket->sent.empty());
}

// Wrongly typed payload parts fail the message; the next one is handled.
TEST_F(ZBStreamDeckPluginTest, WronglyTypedPayloadPartsFailTheMessage) {
  const json bad[] = {
      {{"event", "willAppear"}, {"context", "X"}, {"payload", {{"settings", "text"}}}},
      {{"event", "willAppear"}, {"context", "X"}, {"payload", {{"settings", json::array()}}}},
      {{"event", "willAppear"}, {"context", "X"}, {"payload", {{"settings", nullptr}}}},
      {{"event", "willAppear"},
       {"context", "X"},
       {"payload", {{"coordinates", 5}, {"settings", json::object()}}}},
      {{"event", "keyDown"}, {"context", "X"}, {"payload", {{"coordinates", "0,0"}}}},
      {{"event", "keyDown"}, {"context", "X"}, {"payload", {{"coordinates", {{"row", json::object()}}}}}},
      {{"event", "willAppear"}, {"payload", {{"settings", json::object()}}}},
  };
  for (const auto& message : bad) {
    SCOPED_TRACE(message.dump());
    auto mark = log->mark();
    event(message);
    EXPECT_EQ(log->count("Failed to parse the JSON data", mark), 1);
  }
  EXPECT_TRUE(center->posted.empty());
  appear("X", 0, 0);
  EXPECT_EQ(id("X"), "R1C1");
}

// A zbRow setting that is a dictionary has no integer value: the appearance fails when it needs
// the default ID, and so does every key press of a key that appeared with its own zbID.
TEST_F(ZBStreamDeckPluginTest, DictionaryRowSettingFailsItsMessages) {
  auto mark = log->mark();
  appear("D", 0, 0, {{"zbRow", {{"a", 1}}}});
  EXPECT_EQ(log->count("Failed to parse the JSON data", mark), 1);
  EXPECT_EQ(plugin->knownSettings()->count("D"), 0u);
  appear("E", 0, 0, {{"zbID", "E"}, {"zbRow", {{"a", 1}}}});
  EXPECT_EQ(id("E"), "E");
  key("keyDown", "E", std::make_pair(0, 0));
  EXPECT_EQ(log->count("Failed to parse the JSON data", mark), 2);
  EXPECT_TRUE(center->posted.empty());
  key("keyDown", "D", std::make_pair(0, 0)); // no settings kept: located by its coordinates
  EXPECT_EQ(center->posted.size(), 1u);
}

// ---- Engine commands ----

// Set Title for R1C1 sets the title, then stores it in the settings sent with setSettings.
TEST_F(ZBStreamDeckPluginTest, SetTitleSendsTitleThenSettings) {
  appear("T", 0, 0, {{"keep", "me"}});
  center->deliver(kZBSetTitleNotification, kZBEngineNotificationObject, {{"zbID", "R1C1"}, {"title", "Hi"}});
  auto sent = wire();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0],
            (json{{"event", "setTitle"}, {"context", "T"}, {"payload", {{"title", "Hi"}, {"target", 0}}}}));
  EXPECT_EQ(
      sent[1],
      (json{{"event", "setSettings"}, {"context", "T"}, {"payload", {{"keep", "me"}, {"title", "Hi"}}}}));
  EXPECT_EQ(socket->sent[1].bytes.find('\n'), std::string::npos);
}

// Without a title the key shows and stores "UNKNOWN"; an empty title clears it.
TEST_F(ZBStreamDeckPluginTest, MissingAndEmptyTitles) {
  appear("T", 0, 0);
  center->deliver(kZBSetTitleNotification, kZBEngineNotificationObject, {{"zbID", "R1C1"}});
  EXPECT_EQ(wire()[0]["payload"]["title"], "UNKNOWN");
  EXPECT_EQ(settings("T")["title"], "UNKNOWN");
  socket->sent.clear();
  center->deliver(kZBSetTitleNotification, kZBEngineNotificationObject, {{"zbID", "R1C1"}, {"title", ""}});
  EXPECT_EQ(wire()[0]["payload"]["title"], "");
  EXPECT_FALSE(settings("T").contains("title"));
  EXPECT_EQ(wire()[1]["payload"], json::object());
  // Stream Deck returns these settings at the next appearance: no title is sent then.
  socket->sent.clear();
  appear("T", 0, 0, settings("T"));
  EXPECT_TRUE(socket->sent.empty());
}

// A number or boolean title is sent and stored as its text; any other non-string title is
// refused with one line and changes nothing.
TEST_F(ZBStreamDeckPluginTest, TitlesThatAreNotText) {
  appear("T", 0, 0, {{"title", "before"}});
  struct Case {
    json title;
    std::optional<std::string> text; // nullopt: refused
  };
  const Case cases[] = {{42, "42"},       {-3.5, "-3.5"},         {true, "true"},
                        {false, "false"}, {json::array({1}), {}}, {json::object(), {}},
                        {nullptr, {}}};
  for (const auto& c : cases) {
    socket->sent.clear();
    auto mark = log->mark();
    center->deliver(kZBSetTitleNotification, kZBEngineNotificationObject,
                    {{"zbID", "R1C1"}, {"title", c.title}});
    if (c.text) {
      ASSERT_EQ(wire().size(), 2u) << c.title;
      EXPECT_EQ(wire()[0]["payload"]["title"], *c.text);
      EXPECT_EQ(settings("T")["title"], *c.text);
      EXPECT_EQ(wire()[1]["payload"]["title"], *c.text);
    } else {
      EXPECT_TRUE(socket->sent.empty()) << c.title;
      EXPECT_EQ(log->count("Refusing a title that is not text", mark), 1) << c.title;
      EXPECT_EQ(settings("T")["title"], "false") << c.title; // the last accepted one
    }
  }
}

// An image or title that would make a message over 16 MiB (on its own, or in the settings with
// what they hold) is refused with one line: nothing is sent and the settings stay.
TEST_F(ZBStreamDeckPluginTest, ValuesTooLargeForStreamDeckChangeNothing) {
  const std::string big = "data:image/png;base64," + std::string(9 << 20, 'A');
  appear("T", 0, 0, {{"image", big}});
  socket->sent.clear();
  const json before = settings("T");
  struct Case {
    const char* notification;
    const char* key;
    std::size_t size;
  };
  for (const Case& c : {Case{kZBSetImageNotification, "image", 16u << 20},   // alone too large
                        Case{kZBSetTitleNotification, "title", 8u << 20}}) { // with the image
    auto mark = log->mark();
    center->deliver(c.notification, kZBEngineNotificationObject,
                    {{"zbID", "R1C1"}, {c.key, std::string(c.size, 'x')}});
    EXPECT_TRUE(socket->sent.empty()) << c.key;
    EXPECT_EQ(log->count("Refusing", mark), 1) << c.key;
    EXPECT_EQ(settings("T"), before) << c.key;
  }
  // A value that fits still goes through.
  center->deliver(kZBSetTitleNotification, kZBEngineNotificationObject, {{"zbID", "R1C1"}, {"title", "ok"}});
  EXPECT_EQ(wire().size(), 2u);
}

// Set Image stores the image; an empty one sends setImage without image and removes it.
TEST_F(ZBStreamDeckPluginTest, SetImageAndClear) {
  appear("I", 0, 0);
  std::string image = "data:image/png;base64," + std::string(100, 'Z');
  center->deliver(kZBSetImageNotification, kZBEngineNotificationObject, {{"zbID", "R1C1"}, {"image", image}});
  EXPECT_EQ(wire()[0]["payload"]["image"], image);
  EXPECT_EQ(settings("I")["image"], image);
  socket->sent.clear();
  center->deliver(kZBSetImageNotification, kZBEngineNotificationObject, {{"zbID", "R1C1"}, {"image", ""}});
  EXPECT_EQ(wire()[0], (json{{"event", "setImage"}, {"context", "I"}, {"payload", {{"target", 0}}}}));
  EXPECT_FALSE(settings("I").contains("image"));
  EXPECT_EQ(wire()[1]["event"], "setSettings");
}

// Selection is by exact, case-sensitive, untrimmed button ID; every matching key is addressed.
TEST_F(ZBStreamDeckPluginTest, SelectionByExactButtonID) {
  appear("L1", 0, 0, {{"zbID", "Lights"}});
  appear("L2", 0, 1, {{"zbID", "Lights"}});
  appear("l3", 0, 2, {{"zbID", "lights"}});
  appear("A", 1, 0, {{"zbID", "A"}});
  socket->sent.clear();
  center->deliver(kZBShowOKNotification, kZBEngineNotificationObject, {{"zbID", "Lights"}});
  auto sent = wire();
  ASSERT_EQ(sent.size(), 2u);
  std::set<std::string> contexts = {sent[0]["context"], sent[1]["context"]};
  EXPECT_EQ(contexts, (std::set<std::string>{"L1", "L2"}));
  EXPECT_EQ(sent[0]["event"], "showOk");
  socket->sent.clear();
  center->deliver(kZBShowOKNotification, kZBEngineNotificationObject, {{"zbID", " Lights "}});
  center->deliver(kZBShowOKNotification, kZBEngineNotificationObject, {{"zbID", "R2C1"}}); // A's position
  EXPECT_TRUE(socket->sent.empty());
}

// Show Alert and Show OK never touch the settings.
TEST_F(ZBStreamDeckPluginTest, AlertAndOKLeaveSettingsAlone) {
  appear("Q", 0, 0, {{"x", 1}});
  center->deliver(kZBShowAlertNotification, kZBEngineNotificationObject, {{"zbID", "R1C1"}});
  center->deliver(kZBShowOKNotification, kZBEngineNotificationObject, {{"zbID", "R1C1"}});
  auto sent = wire();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], (json{{"event", "showAlert"}, {"context", "Q"}}));
  EXPECT_EQ(sent[1], (json{{"event", "showOk"}, {"context", "Q"}}));
  EXPECT_EQ(settings("Q"), (json{{"x", 1}}));
}

// A notification without zbID is reported and addresses nothing; empty or non-string ones address nothing.
TEST_F(ZBStreamDeckPluginTest, BadZbIDsAddressNoKey) {
  appear("Z", 0, 0, {{"zbID", "5"}});
  auto mark = log->mark();
  center->deliver(kZBShowAlertNotification, kZBEngineNotificationObject, {{"title", "x"}});
  EXPECT_EQ(log->count("Assertion Failed: zbID", mark), 1);
  center->deliver(kZBShowAlertNotification, kZBEngineNotificationObject, {{"zbID", ""}});
  center->deliver(kZBShowAlertNotification, kZBEngineNotificationObject, {{"zbID", 5}});
  center->deliver(kZBShowAlertNotification, kZBEngineNotificationObject, {{"zbID", nullptr}});
  EXPECT_EQ(log->count("Assertion Failed", mark), 1);
  EXPECT_TRUE(socket->sent.empty());
  center->deliver(kZBShowAlertNotification, kZBEngineNotificationObject, {{"zbID", "5"}});
  EXPECT_EQ(wire().size(), 1u);
}

// A selected key without settings gets the title, a "settings" report and no setSettings.
TEST_F(ZBStreamDeckPluginTest, TitleForKeyWithoutSettings) {
  event({{"event", "willAppear"},
         {"context", "W"},
         {"payload", {{"coordinates", {{"row", 0}, {"column", 0}}}}}});
  auto mark = log->mark();
  center->deliver(kZBSetTitleNotification, kZBEngineNotificationObject, {{"zbID", "R1C1"}, {"title", "T"}});
  EXPECT_EQ(log->count("Assertion Failed: settings", mark), 1);
  auto sent = wire();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0]["event"], "setTitle");
}

// terminating logs its line.
TEST_F(ZBStreamDeckPluginTest, TerminatingLogsItsLine) {
  auto mark = log->mark();
  plugin->terminating();
  EXPECT_EQ(log->count("Stream Deck Plug In Quitting", mark), 1);
}

// ---- Property inspector ----

// A new zbID is trimmed, stored, becomes the button ID, is sent once and logged.
TEST_F(ZBStreamDeckPluginTest, NewButtonIDIsTrimmedAndStored) {
  appear("P", 0, 1);
  auto mark = log->mark();
  inspector("P", {{"zbID", " Kitchen\n"}});
  EXPECT_EQ(settings("P")["zbID"], "Kitchen");
  EXPECT_EQ(id("P"), "Kitchen");
  ASSERT_EQ(wire().size(), 1u);
  EXPECT_EQ(wire()[0],
            (json{{"event", "setSettings"}, {"context", "P"}, {"payload", {{"zbID", "Kitchen"}}}}));
  EXPECT_EQ(log->count("Set Button ID for context P to Kitchen", mark), 1);
  socket->sent.clear();
  inspector("P", {{"zbID", "\xC2\xA0\xE2\x80\xA8\tNook\xE3\x80\x80\xC2\x85"}});
  EXPECT_EQ(id("P"), "Nook");
}

// An empty (or blank) zbID removes the user's ID and returns to the position ID.
TEST_F(ZBStreamDeckPluginTest, EmptyButtonIDReturnsToTheDefault) {
  appear("P", 0, 1, {{"zbID", "Old"}});
  inspector("P", {{"zbID", ""}});
  EXPECT_FALSE(settings("P").contains("zbID"));
  EXPECT_EQ(id("P"), "R1C2");
  inspector("P", {{"zbID", "  \n "}});
  EXPECT_EQ(id("P"), "R1C2");
  EXPECT_EQ(wire().size(), 2u);
}

// A row change on a key without zbID changes the ID and sends the settings exactly once.
TEST_F(ZBStreamDeckPluginTest, RowChangeWithoutButtonID) {
  appear("P", 0, 1);
  inspector("P", {{"zbRow", "3"}});
  EXPECT_EQ(settings("P")["zbRow"], "3");
  EXPECT_EQ(id("P"), "R3C2");
  ASSERT_EQ(wire().size(), 1u);
  EXPECT_EQ(wire()[0]["payload"], (json{{"zbRow", "3"}}));
}

// A row change on a key with a zbID keeps the ID; presses report the new row.
TEST_F(ZBStreamDeckPluginTest, RowChangeWithButtonID) {
  appear("P", 0, 1, {{"zbID", "Lights"}});
  auto mark = log->mark();
  inspector("P", {{"zbRow", 3}});
  EXPECT_EQ(settings("P")["zbRow"], "3");
  EXPECT_EQ(id("P"), "Lights");
  EXPECT_EQ(wire().size(), 1u);
  EXPECT_EQ(log->count("Set Button ID", mark), 0);
  key("keyDown", "P", std::make_pair(0, 1));
  EXPECT_EQ(center->posted.at(0).userInfo["row"], 3);
}

// Out-of-range rows remove the override and log the integer read.
TEST_F(ZBStreamDeckPluginTest, OutOfRangeRowsAreRemoved) {
  struct Case {
    json value;
    int logged;
  } cases[] = {{"0", 0}, {"1000", 1000}, {"-2", -2}, {"", 0}, {"word", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.dump());
    appear("P", 0, 1, {{"zbRow", "5"}});
    auto mark = log->mark();
    inspector("P", {{"zbRow", c.value}});
    EXPECT_FALSE(settings("P").contains("zbRow"));
    EXPECT_EQ(log->count("updateRowOrColumn zbRow context P out of range " + std::to_string(c.logged), mark),
              1);
    EXPECT_EQ(id("P"), "R1C2");
  }
}

// Columns are normalised: "007" is stored as "7".
TEST_F(ZBStreamDeckPluginTest, ColumnIsNormalised) {
  appear("P", 0, 1);
  inspector("P", {{"zbColumn", "007"}});
  EXPECT_EQ(settings("P")["zbColumn"], "7");
  EXPECT_EQ(id("P"), "R1C7");
}

// A payload with zbID and zbRow changes only the ID; one with neither is reported.
TEST_F(ZBStreamDeckPluginTest, InspectorDispatchOrder) {
  appear("P", 0, 1);
  inspector("P", {{"zbID", "X"}, {"zbRow", "4"}});
  EXPECT_EQ(settings("P"), (json{{"zbID", "X"}}));
  auto mark = log->mark();
  inspector("P", {{"other", 1}});
  EXPECT_EQ(log->count("Assertion Failed: false", mark), 1);
  event({{"event", "didReceiveSettings"}, {"context", "P"}, {"payload", json::object()}});
  EXPECT_EQ(log->count("Assertion Failed: false", mark), 2);
  EXPECT_EQ(settings("P"), (json{{"zbID", "X"}}));
}

// Wrongly typed inspector values fail the message before anything changes.
TEST_F(ZBStreamDeckPluginTest, WronglyTypedInspectorValuesFail) {
  appear("P", 0, 1, {{"zbID", "Keep"}});
  for (const json& payload : {json{{"zbID", 5}}, json{{"zbID", nullptr}}, json{{"zbRow", json::array()}},
                              json{{"zbColumn", json::object()}}, json{{"zbRow", nullptr}}}) {
    SCOPED_TRACE(payload.dump());
    auto mark = log->mark();
    inspector("P", payload);
    EXPECT_EQ(log->count("Failed to parse the JSON data", mark), 1);
  }
  EXPECT_EQ(settings("P"), (json{{"zbID", "Keep"}}));
  EXPECT_EQ(id("P"), "Keep");
  EXPECT_TRUE(socket->sent.empty());
}

// A message for a key without settings records the ID, sends nothing and fails the message.
TEST_F(ZBStreamDeckPluginTest, InspectorMessageForUnknownKey) {
  appear("P", 0, 1);
  auto mark = log->mark();
  inspector("ghost", {{"zbRow", "2"}});
  EXPECT_EQ(log->count("Assertion Failed: settings", mark), 2);
  EXPECT_EQ(log->count("Failed to parse the JSON data", mark), 1);
  EXPECT_EQ(log->count("Set Button ID", mark), 0);
  EXPECT_EQ(id("ghost"), "R999C999");
  EXPECT_TRUE(socket->sent.empty());
  inspector("ghost", {{"zbID", "New"}});
  EXPECT_EQ(id("ghost"), "New");
  EXPECT_TRUE(socket->sent.empty());
}

// ---- The rules themselves ----

TEST(ZBStreamDeckPluginRulesTest, IsEmpty) {
  json values[] = {nullptr, "", json::array(), json::object(), " ", 0, false, json::array({1})};
  bool expected[] = {true, true, true, true, false, false, false, false};
  EXPECT_TRUE(IsEmpty(nullptr));
  for (std::size_t i = 0; i < std::size(values); ++i)
    EXPECT_EQ(IsEmpty(&values[i]), expected[i]) << values[i];
}

TEST(ZBStreamDeckPluginRulesTest, VirtualCoordinates) {
  json settings = {{"zbRow", "4"}};
  json coordinates = {{"row", 0}, {"column", 2}};
  EXPECT_EQ(DefaultIDFromCoordinates(nullptr, &coordinates), "R1C3");
  EXPECT_EQ(DefaultIDFromCoordinates(&settings, &coordinates), "R4C3");
  EXPECT_EQ(VirtualRow(nullptr, nullptr), 999);
  json huge = {{"row", 2147483647}};
  EXPECT_EQ(VirtualRow(nullptr, &huge), INT32_MIN); // 32-bit arithmetic, no bound
}

TEST(ZBStreamDeckPluginRulesTest, Trim) {
  EXPECT_EQ(TrimWhitespaceAndNewlines(" \t\r\n x y \xE2\x80\xA9"), "x y");
  EXPECT_EQ(TrimWhitespaceAndNewlines("\xE2\x80\x8B"
                                      "a"),
            "\xE2\x80\x8B"
            "a"); // zero width space is not white space
  EXPECT_EQ(TrimWhitespaceAndNewlines("   "), "");
  EXPECT_EQ(TrimWhitespaceAndNewlines("caf\xC3\xA9"), "caf\xC3\xA9");
}

} // namespace

// ---- Key appearances ----

// Key Appeared: on every willAppear of a key (not of a dial), on an inspector change of the ID or
// position (not on a message that changes neither), and for every key after a reconnection.
TEST_F(ZBStreamDeckPluginTest, KeyAppearedNotifications) {
  auto appeared = [&] {
    std::vector<json> out;
    for (const auto& n : center->appeared) {
      EXPECT_EQ(n.object, "com.zorbel.streamdeck");
      out.push_back(n.userInfo);
    }
    center->appeared.clear();
    return out;
  };
  struct Step {
    std::function<void()> action;
    std::vector<json> expected;
  } steps[] = {
      {[&] { appear("A", 1, 2); }, {{{"context", "A"}, {"row", 2}, {"column", 3}, {"zbID", "R2C3"}}}},
      {[&] {
         appear("B", 0, 0, {{"zbID", "lamp"}, {"zbRow", "9"}});
       },
       {{{"context", "B"}, {"row", 9}, {"column", 1}, {"zbID", "lamp"}}}},
      {[&] {
         event({{"event", "willAppear"},
                {"context", "V"},
                {"payload",
                 {{"controller", "Encoder"},
                  {"coordinates", {{"row", 0}, {"column", 0}}},
                  {"settings", json::object()}}}});
       },
       {}},
      {[&] {
         inspector("A", {{"zbID", "fan"}});
       },
       {{{"context", "A"}, {"row", 2}, {"column", 3}, {"zbID", "fan"}}}},
      {[&] {
         inspector("A", {{"zbID", " fan "}});
       },
       {}},
      {[&] {
         inspector("A", {{"zbColumn", "4"}});
       },
       {{{"context", "A"}, {"row", 2}, {"column", 4}, {"zbID", "fan"}}}},
      {[&] {
         inspector("A", {{"zbID", ""}});
       },
       {{{"context", "A"}, {"row", 2}, {"column", 4}, {"zbID", "R2C4"}}}},
      {[&] {
         inspector("B", {{"zbRow", "0"}});
       },
       {{{"context", "B"}, {"row", 1}, {"column", 1}, {"zbID", "lamp"}}}},
      {[&] { center->connected(); },
       {{{"context", "A"}, {"row", 2}, {"column", 4}, {"zbID", "R2C4"}},
        {{"context", "B"}, {"row", 1}, {"column", 1}, {"zbID", "lamp"}}}},
      {[&] {
         event({{"event", "willDisappear"}, {"context", "B"}});
       },
       {}},
      {[&] { center->connected(); }, {{{"context", "A"}, {"row", 2}, {"column", 4}, {"zbID", "R2C4"}}}},
  };
  int n = 0;
  for (auto& step : steps) {
    SCOPED_TRACE(n++);
    step.action();
    EXPECT_EQ(appeared(), step.expected);
  }
  // A key whose willAppear failed (no settings) does not appear.
  event({{"event", "willAppear"},
         {"context", "N"},
         {"payload", {{"coordinates", {{"row", 0}, {"column", 0}}}}}});
  EXPECT_TRUE(appeared().empty());
  EXPECT_TRUE(center->posted.empty());
}
