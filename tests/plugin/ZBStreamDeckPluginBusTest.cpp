// The plug-in with the real notification center on a private session bus: engine commands sent
// with gdbus reach Stream Deck, key presses are seen by an independent client, and without a
// bus Stream Deck is still served.
#include "plugin/ZBStreamDeckPlugin.hpp"

#include "platform/RunLoop.hpp"
#include "streamdeck/FakeWebSocket.hpp"
#include "streamdeck/SDConnectionManager.hpp"
#include "support/DBusClient.hpp"
#include "support/LogCapture.hpp"
#include "support/PrivateSessionBus.hpp"

#include <gtest/gtest.h>

using nlohmann::json;
using platform::RunLoop;

// sdbus-c++ 1.2 does not release its sd-bus object when opening a bus fails (the unreachable-bus
// cases below); that one allocation is the library's, not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:sd_bus_new\n"; }

namespace {

class ZBStreamDeckPluginBusTest : public ::testing::Test {
protected:
  void SetUp() override { log = &testsupport::TestLog(); }

  void start(std::shared_ptr<platform::DistributedNotificationCenter> center) {
    plugin = std::make_shared<ZBStreamDeckPlugin>();
    plugin->setNotificationCenterForTesting(std::move(center));
    manager = SDConnectionManager::initWithPort(4000, "U", "registerPlugin", std::nullopt, plugin,
                                                [this](const WSURLRequest& request) {
                                                  socket = std::make_shared<FakeWebSocket>(request);
                                                  return socket;
                                                });
    socket->reportOpen();
    socket->sent.clear();
  }

  void startOnBus() {
    start(platform::DistributedNotificationCenter::sessionBusCenter(RunLoop::main(), bus.address()));
  }

  void appear(const std::string& context, int row, int column, json settings = json::object()) {
    socket->reportText(
        json{{"event", "willAppear"},
             {"context", context},
             {"payload", {{"coordinates", {{"row", row}, {"column", column}}}, {"settings", settings}}}}
            .dump());
  }

  int emit(const std::string& name, const std::string& userInfo,
           const std::string& object = kZBEngineNotificationObject) {
    return testsupport::GdbusEmit(bus.address(), name, object, userInfo);
  }

  bool waitForSent(std::size_t count) {
    if (socket->sent.size() >= count) return true;
    return RunLoop::main().runUntil([&] { return socket->sent.size() >= count; }, std::chrono::seconds(20));
  }

  std::vector<json> wire() const {
    std::vector<json> out;
    for (const auto& s : socket->sent) out.push_back(s.json());
    return out;
  }

  testsupport::LogCapture* log = nullptr;
  testsupport::PrivateSessionBus bus;
  std::shared_ptr<ZBStreamDeckPlugin> plugin;
  std::shared_ptr<SDConnectionManager> manager;
  std::shared_ptr<FakeWebSocket> socket;
};

// The four engine commands, sent with gdbus, become Stream Deck commands for the addressed key.
TEST_F(ZBStreamDeckPluginBusTest, EngineCommandsFromGdbusReachStreamDeck) {
  startOnBus();
  appear("K", 0, 0);
  ASSERT_EQ(emit("Zorbel Stream Deck Set Title", "{'zbID': <'R1C1'>, 'title': <'Hi'>}"), 0);
  ASSERT_TRUE(waitForSent(2));
  ASSERT_EQ(emit("Zorbel Stream Deck Set Image", "{'zbID': <'R1C1'>, 'image': <'data:image/png;base64,AA'>}"),
            0);
  ASSERT_TRUE(waitForSent(4));
  ASSERT_EQ(emit("Zorbel Stream Deck Show Alert", "{'zbID': <'R1C1'>}"), 0);
  ASSERT_TRUE(waitForSent(5));
  ASSERT_EQ(emit("Zorbel Stream Deck Show OK", "{'zbID': <'R1C1'>}"), 0);
  ASSERT_TRUE(waitForSent(6));
  auto sent = wire();
  EXPECT_EQ(sent[0],
            (json{{"event", "setTitle"}, {"context", "K"}, {"payload", {{"title", "Hi"}, {"target", 0}}}}));
  EXPECT_EQ(sent[1], (json{{"event", "setSettings"}, {"context", "K"}, {"payload", {{"title", "Hi"}}}}));
  EXPECT_EQ(sent[2]["event"], "setImage");
  EXPECT_EQ(sent[2]["payload"]["image"], "data:image/png;base64,AA");
  EXPECT_EQ(sent[3]["payload"], (json{{"title", "Hi"}, {"image", "data:image/png;base64,AA"}}));
  EXPECT_EQ(sent[4], (json{{"event", "showAlert"}, {"context", "K"}}));
  EXPECT_EQ(sent[5], (json{{"event", "showOk"}, {"context", "K"}}));
}

// Bad engine notifications: a foreign object never arrives, a missing zbID is reported, an
// integer zbID addresses no key, an integer title is sent and kept as its text; the next one works.
TEST_F(ZBStreamDeckPluginBusTest, BadEngineNotificationsAndTheNextOne) {
  startOnBus();
  appear("K", 0, 0);
  auto mark = log->mark();
  ASSERT_EQ(emit("Zorbel Stream Deck Show OK", "{'zbID': <'R1C1'>}", "com.other.engine"), 0);
  ASSERT_EQ(emit("Zorbel Stream Deck Show OK", "{'title': <'no id'>}"), 0);
  ASSERT_EQ(emit("Zorbel Stream Deck Show OK", "{'zbID': <11>}"), 0);
  ASSERT_EQ(emit("Zorbel Stream Deck Set Title", "{'zbID': <'R1C1'>, 'title': <int64 7>}"), 0);
  ASSERT_TRUE(waitForSent(2));
  ASSERT_EQ(emit("Zorbel Stream Deck Show Alert", "{'zbID': <'R1C1'>}"), 0);
  ASSERT_TRUE(waitForSent(3));
  auto sent = wire();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0]["payload"]["title"], "7");
  EXPECT_EQ(sent[1]["payload"], (json{{"title", "7"}}));
  EXPECT_EQ(sent[2]["event"], "showAlert");
  EXPECT_EQ(log->count("Assertion Failed: zbID", mark), 1);
}

// A key press is seen by an independent client as the contract's signal and types.
TEST_F(ZBStreamDeckPluginBusTest, KeyPressIsSeenByAnIndependentClient) {
  startOnBus();
  testsupport::NotificationWatcher watcher(bus.address(), "Zorbel Stream Deck Key");
  appear("K", 1, 2, {{"zbRow", "7"}});
  socket->reportText(R"({"event":"keyDown","context":"K","payload":{"coordinates":{"row":1,"column":2}}})");
  socket->reportText(R"({"event":"keyUp","context":"K","payload":{"coordinates":{"row":1,"column":2}}})");
  auto down = watcher.next();
  auto up = watcher.next();
  ASSERT_TRUE(down && up);
  EXPECT_EQ((*down)["object"], "com.zorbel.streamdeck");
  EXPECT_EQ((*down)["types"], (json{{"context", "s"}, {"row", "i"}, {"column", "i"}, {"pressed", "b"}}));
  EXPECT_EQ((*down)["userInfo"], (json{{"context", "K"}, {"row", 7}, {"column", 3}, {"pressed", true}}));
  EXPECT_EQ((*up)["userInfo"]["pressed"], false);
}

// Dials on the bus: a turn is seen with the contract's types, and a feedback sent by gdbus as a
// nested dictionary reaches Stream Deck as setFeedback (its integer indicator clamped).
TEST_F(ZBStreamDeckPluginBusTest, DialTurnAndStripFeedbackOverTheBus) {
  startOnBus();
  testsupport::NotificationWatcher watcher(bus.address(), "Zorbel Stream Deck Dial");
  socket->reportText(R"({"event":"willAppear","context":"V","payload":{"controller":"Encoder",)"
                     R"("coordinates":{"row":0,"column":1},"settings":{}}})");
  socket->reportText(R"({"event":"dialRotate","context":"V","payload":{"coordinates":{"row":0,"column":1},)"
                     R"("ticks":-3,"pressed":true}})");
  auto turn = watcher.next();
  ASSERT_TRUE(turn);
  EXPECT_EQ((*turn)["types"], (json{{"context", "s"},
                                    {"column", "i"},
                                    {"zbID", "s"},
                                    {"event", "s"},
                                    {"ticks", "i"},
                                    {"pressed", "b"}}));
  EXPECT_EQ((*turn)["userInfo"], (json{{"context", "V"},
                                       {"column", 2},
                                       {"zbID", "D2"},
                                       {"event", "rotate"},
                                       {"ticks", -3},
                                       {"pressed", true}}));
  ASSERT_EQ(emit("Zorbel Stream Deck Set Feedback",
                 "{'zbID': <'D2'>, 'feedback': <{'title': <'Vol'>, 'indicator': <int64 140>}>}"),
            0);
  ASSERT_TRUE(waitForSent(2));
  auto sent = wire();
  EXPECT_EQ(sent[0], (json{{"event", "setFeedback"},
                           {"context", "V"},
                           {"payload", {{"title", "Vol"}, {"indicator", 100}}}}));
  EXPECT_EQ(sent[1]["payload"]["feedback"], (json{{"title", "Vol"}, {"indicator", 100}}));
}

// Without a session bus: one "display" line, key presses post nothing, Stream Deck is served.
TEST_F(ZBStreamDeckPluginBusTest, WithoutABusStreamDeckIsStillServed) {
  auto mark = log->mark();
  start(platform::DistributedNotificationCenter::sessionBusCenter(RunLoop::main(),
                                                                  "unix:path=/nonexistent/bus"));
  EXPECT_EQ(log->count("Distributed notifications are unavailable", mark), 1);
  appear("K", 0, 0, {{"title", "T"}});
  socket->reportText(R"({"event":"keyDown","context":"K","payload":{"coordinates":{"row":0,"column":0}}})");
  socket->reportText(R"({"event":"sendToPlugin","context":"K","payload":{"zbID":"Desk"}})");
  auto sent = wire();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0]["event"], "setTitle");
  EXPECT_EQ(sent[1]["payload"]["zbID"], "Desk");
  EXPECT_EQ(log->count("Failed to parse the JSON data", mark), 0);
}

} // namespace
