#include "streamdeck/SDConnectionManager.hpp"

#include "streamdeck/FakeWebSocket.hpp"
#include "streamdeck/SDUtilities.hpp"
#include "support/LogCapture.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

// Records every operation the connection manager calls, with its arguments (absent ones left out).
class RecordingDelegate final : public SDEventsProtocol {
public:
  explicit RecordingDelegate(std::vector<std::string>& order) : _order(order) {}

  std::vector<json> calls;
  std::weak_ptr<SDConnectionManager> manager;
  bool throwOnKeyDown = false;

  void setConnectionManager(std::weak_ptr<SDConnectionManager> m) override {
    manager = m;
    _order.push_back("setConnectionManager");
  }
  void keyDownForAction(const SDString& a, const SDString& c, const json* p, const SDString& d) override {
    record("keyDown", a, c, p, d);
    if (throwOnKeyDown) throw std::runtime_error("plug-in failure");
  }
  void keyUpForAction(const SDString& a, const SDString& c, const json* p, const SDString& d) override {
    record("keyUp", a, c, p, d);
  }
  void willAppearForAction(const SDString& a, const SDString& c, const json* p, const SDString& d) override {
    record("willAppear", a, c, p, d);
  }
  void willDisappearForAction(const SDString& a, const SDString& c, const json* p,
                              const SDString& d) override {
    record("willDisappear", a, c, p, d);
  }
  void didReceiveSettingsForAction(const SDString& a, const SDString& c, const json* p,
                                   const SDString& d) override {
    record("didReceiveSettings", a, c, p, d);
  }
  void didReceiveFromPluginForAction(const SDString& a, const SDString& c, const json* p,
                                     const SDString& d) override {
    record("sendToPlugin", a, c, p, d);
  }
  void dialRotateForAction(const SDString& a, const SDString& c, const json* p, const SDString& d) override {
    record("dialRotate", a, c, p, d);
  }
  void dialDownForAction(const SDString& a, const SDString& c, const json* p, const SDString& d) override {
    record("dialDown", a, c, p, d);
  }
  void dialUpForAction(const SDString& a, const SDString& c, const json* p, const SDString& d) override {
    record("dialUp", a, c, p, d);
  }
  void touchTapForAction(const SDString& a, const SDString& c, const json* p, const SDString& d) override {
    record("touchTap", a, c, p, d);
  }
  void deviceDidConnect(const SDString& d, const json* info) override {
    json call = {{"op", "deviceDidConnect"}};
    if (d) call["device"] = *d;
    if (info) call["deviceInfo"] = *info;
    calls.push_back(call);
  }
  void deviceDidDisconnect(const SDString& d) override {
    json call = {{"op", "deviceDidDisconnect"}};
    if (d) call["device"] = *d;
    calls.push_back(call);
  }
  void applicationDidLaunch(const json* p) override {
    calls.push_back(p ? json{{"op", "applicationDidLaunch"}, {"payload", *p}}
                      : json{{"op", "applicationDidLaunch"}});
  }
  void applicationDidTerminate(const json* p) override {
    calls.push_back(p ? json{{"op", "applicationDidTerminate"}, {"payload", *p}}
                      : json{{"op", "applicationDidTerminate"}});
  }
  void launched() override { _order.push_back("launched"); }
  void terminating() override { _order.push_back("terminating"); }

private:
  void record(const char* op, const SDString& a, const SDString& c, const json* p, const SDString& d) {
    json call = {{"op", op}};
    if (a) call["action"] = *a;
    if (c) call["context"] = *c;
    if (p) call["payload"] = *p;
    if (d) call["device"] = *d;
    calls.push_back(call);
  }
  std::vector<std::string>& _order;
};

class SDConnectionManagerTest : public ::testing::Test {
protected:
  void SetUp() override {
    log = &testsupport::TestLog();
    SDConnectionManager::setExitHandlerForTesting([this](int status) {
      order.push_back("exit");
      exitStatuses.push_back(status);
    });
  }
  void TearDown() override { SDConnectionManager::setExitHandlerForTesting(nullptr); }

  void make(std::optional<std::string> info = std::nullopt) {
    delegate = std::make_shared<RecordingDelegate>(order);
    manager = SDConnectionManager::initWithPort(28196, "UUID-1", "registerPlugin", std::move(info), delegate,
                                                [this](const WSURLRequest& request) {
                                                  order.push_back("socket " + request.url);
                                                  socket = std::make_shared<FakeWebSocket>(request);
                                                  return socket;
                                                });
  }

  void makeOpen() {
    make();
    socket->reportOpen();
    socket->sent.clear();
  }

  testsupport::LogCapture* log = nullptr;
  std::vector<std::string> order;
  std::vector<int> exitStatuses;
  std::shared_ptr<RecordingDelegate> delegate;
  std::shared_ptr<SDConnectionManager> manager;
  std::shared_ptr<FakeWebSocket> socket;
};

// ---- Construction and registration ----

// The delegate learns of the manager and of the launch before the connection exists; then it opens.
TEST_F(SDConnectionManagerTest, ConstructionOrderIsDelegateLaunchThenSocket) {
  make();
  ASSERT_EQ(order,
            (std::vector<std::string>{"setConnectionManager", "launched", "socket ws://localhost:28196"}));
  EXPECT_EQ(delegate->manager.lock(), manager);
  EXPECT_EQ(socket->openCalls, 1);
  EXPECT_EQ(socket->delegate(), manager);
  EXPECT_EQ(manager->socket(), socket);
  EXPECT_TRUE(socket->sent.empty()); // nothing before the open report
}

// The information JSON fills the application fields and the device list.
TEST_F(SDConnectionManagerTest, InformationJSONIsRead) {
  make(R"({"application":{"version":"6.4","platform":"linux","language":"en"},"devices":[{"id":"D1"}]})");
  EXPECT_EQ(manager->applicationVersion(), "6.4");
  EXPECT_EQ(manager->applicationPlatform(), "linux");
  EXPECT_EQ(manager->applicationLanguage(), "en");
  ASSERT_TRUE(manager->devicesInfo());
  EXPECT_EQ(*manager->devicesInfo(), json::parse(R"([{"id":"D1"}])"));
}

// Absent, invalid or oddly typed information leaves the fields absent and construction goes on.
TEST_F(SDConnectionManagerTest, BadInformationLeavesFieldsAbsent) {
  for (std::optional<std::string> info :
       {std::optional<std::string>(), std::optional<std::string>("not json"),
        std::optional<std::string>("[1,2]"),
        std::optional<std::string>(R"({"application":{"version":5}})")}) {
    order.clear();
    make(info);
    EXPECT_FALSE(manager->applicationVersion());
    EXPECT_FALSE(manager->applicationPlatform());
    EXPECT_FALSE(manager->devicesInfo());
    EXPECT_EQ(socket->openCalls, 1);
  }
}

// The first message after the open report is the registration, a pretty text message with two keys.
TEST_F(SDConnectionManagerTest, RegistersOnOpenWithEventAndUUID) {
  make();
  socket->reportOpen();
  ASSERT_EQ(socket->sent.size(), 1u);
  EXPECT_TRUE(socket->sent[0].text);
  EXPECT_EQ(socket->sent[0].json(), (json{{"event", "registerPlugin"}, {"uuid", "UUID-1"}}));
  EXPECT_NE(socket->sent[0].bytes.find('\n'), std::string::npos);
  EXPECT_NE(socket->sent[0].bytes.find("\n  \"event\": \"registerPlugin\""),
            std::string::npos); // 2-space indent
}

// ---- Outgoing commands ----

// Each command's JSON shape, sent as text; only setSettings is compact.
TEST_F(SDConnectionManagerTest, CommandsHaveTheirShapes) {
  makeOpen();
  json title = "Hi", image = "data:image/png;base64,AAAA", state = 1;
  manager->setTitle(&title, "ctx", 0);
  manager->setTitle(nullptr, "ctx", 2);
  manager->setImage(&image, "ctx", 0);
  manager->setImage(nullptr, "ctx", 1);
  manager->showAlertForContext("ctx");
  manager->showOKForContext("ctx");
  manager->setSettings(json{{"zbID", "A"}, {"title", "Hi"}}, "ctx");
  manager->setState(&state, "ctx");
  manager->logMessage("hello");
  manager->setFeedback(json{{"value", "4"}, {"indicator", 40}}, "dial");
  manager->setFeedbackLayout("$A1", "dial");
  std::vector<json> expected = {
      {{"event", "setTitle"}, {"context", "ctx"}, {"payload", {{"title", "Hi"}, {"target", 0}}}},
      {{"event", "setTitle"}, {"context", "ctx"}, {"payload", {{"target", 2}}}},
      {{"event", "setImage"}, {"context", "ctx"}, {"payload", {{"image", image}, {"target", 0}}}},
      {{"event", "setImage"}, {"context", "ctx"}, {"payload", {{"target", 1}}}},
      {{"event", "showAlert"}, {"context", "ctx"}},
      {{"event", "showOk"}, {"context", "ctx"}},
      {{"event", "setSettings"}, {"context", "ctx"}, {"payload", {{"zbID", "A"}, {"title", "Hi"}}}},
      {{"event", "setState"}, {"context", "ctx"}, {"payload", {{"state", 1}}}},
      {{"event", "logMessage"}, {"payload", {{"message", "hello"}}}},
      {{"event", "setFeedback"}, {"context", "dial"}, {"payload", {{"value", "4"}, {"indicator", 40}}}},
      {{"event", "setFeedbackLayout"}, {"context", "dial"}, {"payload", {{"layout", "$A1"}}}},
  };
  ASSERT_EQ(socket->sent.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(socket->sent[i].text);
    EXPECT_EQ(socket->sent[i].json(), expected[i]);
    bool multiLine = socket->sent[i].bytes.find('\n') != std::string::npos;
    EXPECT_EQ(multiLine, expected[i]["event"] != "setSettings");
  }
}

// A null title or image is a value, not an absence: it is sent as null.
TEST_F(SDConnectionManagerTest, NullTitleIsSentAsNull) {
  makeOpen();
  json null = nullptr;
  manager->setTitle(&null, "ctx", 0);
  ASSERT_EQ(socket->sent.size(), 1u);
  EXPECT_TRUE(socket->sent[0].json()["payload"].contains("title"));
  EXPECT_TRUE(socket->sent[0].json()["payload"]["title"].is_null());
}

// setState without a state and logMessage without text send and log nothing.
TEST_F(SDConnectionManagerTest, GuardedCommandsSendNothing) {
  make();
  auto mark = log->mark();
  manager->setState(nullptr, "ctx");
  manager->logMessage(std::string());
  manager->logMessage(std::nullopt);
  EXPECT_TRUE(socket->sent.empty());
  EXPECT_EQ(log->since(mark), "");
}

// Before the open, every command fails at the connection and logs its own failure text.
TEST_F(SDConnectionManagerTest, CommandsBeforeOpenLogTheirFailure) {
  make();
  auto mark = log->mark();
  json title = "T";
  manager->setTitle(&title, "c", 0);
  manager->setImage(nullptr, "c", 0);
  manager->showAlertForContext("c");
  manager->showOKForContext("c");
  manager->setSettings(json::object(), "c");
  manager->setState(&title, "c");
  manager->logMessage("m");
  EXPECT_TRUE(socket->sent.empty());
  for (const char* text :
       {"Failed to change the title due to error", "Failed to change the image due to error",
        "Failed to show the alert due to error", "Failed to show OK due to error",
        "Failed to change the settings due to error", "Failed to change the state due to error",
        "Failed to send the log message due to error"}) {
    EXPECT_EQ(log->count(text, mark), 1) << text;
  }
  EXPECT_EQ(log->count("Code=2134", mark), 7);
}

// The "Verbose" send line shows images cut short; the wire carries them whole.
TEST_F(SDConnectionManagerTest, VerboseSendLineCutsImages) {
  makeOpen();
  json image = "data:image/png;base64," + std::string(5000, 'Q');
  auto mark = log->mark();
  manager->setImage(&image, "ctx", 0);
  EXPECT_EQ(log->count("setImage send", mark), 1);
  EXPECT_EQ(log->count("data:image/png;base64,QQQQQQQ...", mark), 1);
  EXPECT_EQ(log->count(std::string(100, 'Q'), mark), 0);
  EXPECT_EQ(socket->sent.at(0).json()["payload"]["image"], image);
}

// ---- Incoming events ----

// Every event of the table reaches its operation with action, context, payload and device.
TEST_F(SDConnectionManagerTest, EventsAreDispatchedToTheirOperations) {
  makeOpen();
  const char* ops[] = {"keyDown",      "keyUp",      "willAppear", "willDisappear", "didReceiveSettings",
                       "sendToPlugin", "dialRotate", "dialDown",   "dialUp",        "touchTap"};
  for (const char* event : ops) {
    socket->reportText(json{
        {"event", event},
        {"action", "com.zorbel.action"},
        {"context", "C1"},
        {"payload", {{"coordinates", {{"row", 1}, {"column", 2}}}}},
        {"device", "DEV"}}.dump());
  }
  socket->reportText(R"({"event":"deviceDidConnect","device":"DEV","deviceInfo":{"type":0}})");
  socket->reportText(R"({"event":"deviceDidDisconnect","device":"DEV"})");
  socket->reportText(R"({"event":"applicationDidLaunch","payload":{"application":"x"}})");
  socket->reportText(R"({"event":"applicationDidTerminate","payload":{"application":"x"}})");
  ASSERT_EQ(delegate->calls.size(), 14u);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(delegate->calls[i], (json{{"op", ops[i]},
                                        {"action", "com.zorbel.action"},
                                        {"context", "C1"},
                                        {"payload", {{"coordinates", {{"row", 1}, {"column", 2}}}}},
                                        {"device", "DEV"}}));
  }
  EXPECT_EQ(delegate->calls[10],
            (json{{"op", "deviceDidConnect"}, {"device", "DEV"}, {"deviceInfo", {{"type", 0}}}}));
  EXPECT_EQ(delegate->calls[11], (json{{"op", "deviceDidDisconnect"}, {"device", "DEV"}}));
  EXPECT_EQ(delegate->calls[12], (json{{"op", "applicationDidLaunch"}, {"payload", {{"application", "x"}}}}));
  EXPECT_EQ(delegate->calls[13],
            (json{{"op", "applicationDidTerminate"}, {"payload", {{"application", "x"}}}}));
}

// Missing fields arrive absent; a deviceDidConnect without a device calls nothing.
TEST_F(SDConnectionManagerTest, MissingFieldsAreAbsent) {
  makeOpen();
  socket->reportText(R"({"event":"keyDown"})");
  socket->reportText(R"({"event":"deviceDidConnect","deviceInfo":{}})");
  ASSERT_EQ(delegate->calls.size(), 1u);
  EXPECT_EQ(delegate->calls[0], (json{{"op", "keyDown"}}));
}

// A binary message is decoded like a text message.
TEST_F(SDConnectionManagerTest, BinaryMessagesAreHandledLikeText) {
  makeOpen();
  socket->reportData(R"({"event":"keyUp","context":"B"})");
  ASSERT_EQ(delegate->calls.size(), 1u);
  EXPECT_EQ(delegate->calls[0]["context"], "B");
}

// Unknown names and names differing only in case are ignored without a failure line.
TEST_F(SDConnectionManagerTest, UnknownEventsAreIgnored) {
  makeOpen();
  auto mark = log->mark();
  socket->reportText(R"({"event":"keydown","context":"C"})");
  socket->reportText(R"({"event":"titleParametersDidChange","context":"C"})");
  socket->reportText(R"({"context":"C"})");
  EXPECT_TRUE(delegate->calls.empty());
  EXPECT_EQ(log->count("Failed to parse the JSON data", mark), 0);
  EXPECT_EQ(log->count("Process event keydown for context C (0,0)", mark), 1);
}

// Text that is not JSON, or is nested beyond the reader's limit, is ignored silently.
TEST_F(SDConnectionManagerTest, UndecodableMessagesAreIgnoredSilently) {
  makeOpen();
  auto mark = log->mark();
  socket->reportText("this is not json");
  socket->reportText(std::string(100000, '[') + std::string(100000, ']'));
  socket->reportText(R"({"event":"keyDown","context":)" + std::string(100000, '{') +
                     std::string(100000, '}') + "}");
  socket->reportText(std::string(20 * 1024 * 1024, '{'));
  socket->reportData("\xff\xfe{}");
  EXPECT_TRUE(delegate->calls.empty());
  EXPECT_EQ(log->count("Failed to parse the JSON data", mark), 0);
  socket->reportText(R"({"event":"keyDown","context":"next"})");
  ASSERT_EQ(delegate->calls.size(), 1u);
}

// JSON whose top level is not an object, or whose fields have unusable types, fails that
// message alone with the failure line; the next message is handled.
TEST_F(SDConnectionManagerTest, MalformedMessagesHitTheFailureGuard) {
  makeOpen();
  const std::vector<std::string> bad = {
      R"([{"event":"keyDown"}])",
      "42",
      R"("keyDown")",
      "null",
      R"({"event":"keyDown","payload":[1,2]})",
      R"({"event":"keyDown","payload":"text"})",
      R"({"event":"keyDown","payload":null})",
      R"({"event":5})",
      R"({"event":"keyDown","context":7})",
      R"({"event":"keyDown","device":{}})",
      R"({"event":"deviceDidConnect","device":"D","deviceInfo":"x"})",
  };
  for (const auto& text : bad) {
    SCOPED_TRACE(text);
    auto mark = log->mark();
    socket->reportText(text);
    EXPECT_EQ(log->count("Failed to parse the JSON data: " + text, mark), 1);
  }
  EXPECT_TRUE(delegate->calls.empty());
  socket->reportText(R"({"event":"keyDown","context":"after"})");
  ASSERT_EQ(delegate->calls.size(), 1u);
  EXPECT_EQ(delegate->calls[0]["context"], "after");
}

// A plug-in operation that throws fails its message; the connection goes on.
TEST_F(SDConnectionManagerTest, ThrowingDelegateFailsOnlyThatMessage) {
  makeOpen();
  delegate->throwOnKeyDown = true;
  auto mark = log->mark();
  socket->reportText(R"({"event":"keyDown","context":"X"})");
  EXPECT_EQ(log->count("Failed to parse the JSON data", mark), 1);
  socket->reportText(R"({"event":"keyUp","context":"X"})");
  EXPECT_EQ(delegate->calls.back()["op"], "keyUp");
}

// A 20 MB message is decoded and dispatched; as a failed message its log line is cut.
TEST_F(SDConnectionManagerTest, HugeMessagesAreHandledAndTheirFailureLineIsBounded) {
  makeOpen();
  std::string big(20 * 1024 * 1024, 'x');
  socket->reportText(json{{"event", "keyDown"}, {"context", "big"}, {"payload", {{"blob", big}}}}.dump());
  ASSERT_EQ(delegate->calls.size(), 1u);
  EXPECT_EQ(delegate->calls[0]["payload"]["blob"].get_ref<const std::string&>().size(), big.size());
  auto mark = log->mark();
  socket->reportText(json::array({big}).dump());
  EXPECT_EQ(log->count("Failed to parse the JSON data", mark), 1);
  EXPECT_LT(log->since(mark).size(), 10000u);
}

// The "Events" line names the event, the context and the key's coordinates.
TEST_F(SDConnectionManagerTest, EventsLineShowsCoordinates) {
  makeOpen();
  auto mark = log->mark();
  socket->reportText(R"({"event":"keyDown","context":"C9","payload":{"coordinates":{"row":2,"column":4}}})");
  EXPECT_EQ(log->count("Process event keyDown for context C9 (2,4)", mark), 1);
}

// ---- A host that does not read ----

// While the connection holds much unsent output, messages wait: a newer setTitle, setImage,
// setSettings or setFeedbackLayout of a context replaces the waiting one in place, others
// (setFeedback among them: each carries its own part of the strip) keep their order; the
// drain report sends them. Beyond the backlog's bound messages are dropped, counted in one line.
TEST_F(SDConnectionManagerTest, BackedUpOutputWaitsCoalescedAndBounded) {
  makeOpen();
  socket->buffered = SDConnectionManager::kOutputHighWater;
  const json one = "1", two = "2", other = "x";
  manager->setTitle(&one, "A", 0);
  manager->setSettings({{"title", "1"}}, "A");
  manager->showAlertForContext("A");
  manager->setTitle(&other, "B", 0);
  manager->setFeedbackLayout("$A1", "D");
  manager->setFeedback({{"title", "T"}}, "D");
  manager->setTitle(&two, "A", 0);
  manager->setSettings({{"title", "2"}}, "A");
  manager->setFeedbackLayout("$B1", "D");
  manager->setFeedback({{"value", "V"}}, "D");
  EXPECT_TRUE(socket->sent.empty());
  EXPECT_EQ(socket->drainRequests, 1);
  socket->buffered = 0;
  socket->reportDrain();
  std::vector<json> sent;
  for (const auto& s : socket->sent) sent.push_back(s.json());
  ASSERT_EQ(sent.size(), 7u);
  EXPECT_EQ(sent[0]["payload"]["title"], "2");
  EXPECT_EQ(sent[1]["payload"], (json{{"title", "2"}}));
  EXPECT_EQ(sent[2]["event"], "showAlert");
  EXPECT_EQ(sent[3]["context"], "B");
  EXPECT_EQ(sent[4]["payload"], (json{{"layout", "$B1"}}));
  EXPECT_EQ(sent[5]["payload"], (json{{"title", "T"}}));
  EXPECT_EQ(sent[6]["payload"], (json{{"value", "V"}}));

  // 25 log messages of 1 MiB: the bound (24 MiB) holds 23 of them. The images of 25 keys,
  // the latest state of each, all wait beyond it, and the settings of a key that came last.
  socket->sent.clear();
  socket->buffered = SDConnectionManager::kOutputHighWater;
  const std::string big(1 << 20, 'm');
  for (int i = 0; i < 25; ++i) manager->logMessage(big);
  const json image = std::string(1 << 20, 'i');
  for (int i = 0; i < 25; ++i) manager->setImage(&image, "K" + std::to_string(i), 0);
  manager->setSettings({{"image", image}}, "K0");
  auto mark = log->mark();
  socket->buffered = 0;
  socket->reportDrain();
  EXPECT_EQ(socket->sent.size(), 23u + 25u + 1u);
  EXPECT_EQ(socket->sent.back().json()["event"], "setSettings");
  EXPECT_EQ(log->count("Stream Deck did not read its messages: 2 of them were dropped", mark), 1);
  // Once drained, messages go straight out again.
  manager->showOKForContext("A");
  EXPECT_EQ(socket->sent.size(), 50u);
}

// ---- Close and failure ----

// A clean close: no reason line, terminating, log flushed, exit status 0.
TEST_F(SDConnectionManagerTest, CleanCloseTerminatesAndExitsWithZero) {
  makeOpen();
  order.clear();
  auto mark = log->mark();
  socket->reportClose(1000, std::nullopt, true);
  EXPECT_EQ(order, (std::vector<std::string>{"terminating", "exit"}));
  EXPECT_EQ(exitStatuses, std::vector<int>{0});
  EXPECT_EQ(log->count("Websocket closed with reason", mark), 0);
}

// An unclean close logs its reason first.
TEST_F(SDConnectionManagerTest, UncleanCloseLogsTheReason) {
  makeOpen();
  auto mark = log->mark();
  socket->reportClose(1001, std::string("Stream end encountered"), false);
  EXPECT_EQ(log->count("Websocket closed with reason: Stream end encountered", mark), 1);
  EXPECT_EQ(exitStatuses, std::vector<int>{0});
}

// A failure is logged and nothing else happens; later commands fail and are logged.
TEST_F(SDConnectionManagerTest, FailureIsLoggedAndTheProcessStays) {
  make();
  auto mark = log->mark();
  socket->reportFail(WSErrorWithCodeDescription(61, "Connection refused"));
  EXPECT_EQ(log->count("The socket could not be opened due to the error", mark), 1);
  EXPECT_EQ(log->count("Connection refused", mark), 1);
  EXPECT_TRUE(exitStatuses.empty());
  manager->showOKForContext("c");
  EXPECT_EQ(log->count("Failed to show OK due to error", mark), 1);
}

// A failure after the connection had opened (the host reset it) ends the process as a close does,
// with a line naming the error.
TEST_F(SDConnectionManagerTest, FailureAfterOpenEndsLikeAClose) {
  makeOpen();
  order.clear();
  auto mark = log->mark();
  socket->reportFail(WSErrorWithDomainCodeDescription(NSPOSIXErrorDomain, 104, "Connection reset by peer"));
  EXPECT_EQ(log->count("The connection to Stream Deck failed due to the error", mark), 1);
  EXPECT_EQ(log->count("Connection reset by peer", mark), 1);
  EXPECT_EQ(log->count("could not be opened", mark), 0);
  EXPECT_EQ(order, (std::vector<std::string>{"terminating", "exit"}));
  EXPECT_EQ(exitStatuses, std::vector<int>{0});
}

// Without a connection (the factory gave none) commands are logged as failures, never a crash.
TEST_F(SDConnectionManagerTest, NoConnectionIsAFailureNotACrash) {
  delegate = std::make_shared<RecordingDelegate>(order);
  manager = SDConnectionManager::initWithPort(1, "U", "E", std::nullopt, delegate, [](const WSURLRequest&) {
    return std::shared_ptr<WSWebSocket>();
  });
  auto mark = log->mark();
  manager->showAlertForContext("c");
  EXPECT_EQ(log->count("Failed to show the alert due to error", mark), 1);
}

} // namespace
