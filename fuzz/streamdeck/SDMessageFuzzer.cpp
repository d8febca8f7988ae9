// Property: whatever the Stream Deck application sends, and whatever the engine posts in
// between, the connection manager and the plug-in neither crash nor stop: every message is
// decoded and dispatched to the real plug-in (its tables, engine commands and property-inspector
// changes), and everything the plug-in sends back is one well-formed JSON object with a string
// "event" (a setSettings payload an object), and every "Zorbel Stream Deck Key" it posts names
// a pressed state and a 32-bit row and column (Stream Deck's coordinates plus one, unbounded, or
// the user's 1 to 999). No message the plug-in sends is larger than twice the whole input plus
// a fixed envelope: nothing it reads is amplified on the way out (by nesting, for instance).
//
// Input: NUL-separated pieces. The first piece is the "-info" text of the command line. A piece
// starting with '!' is an engine notification: the next byte picks the name, the rest is its
// userInfo JSON. A piece starting with '#' is a binary message, every other piece a text message.
// Each input starts from a fresh plug-in and connection.

#include "streamdeck/SDConnectionManager.hpp"

#include "plugin/FakeNotificationCenter.hpp"
#include "plugin/ZBStreamDeckPlugin.hpp"
#include "streamdeck/FakeWebSocket.hpp"
#include "streamdeck/SDJSON.hpp"
#include "support/FuzzEnvironment.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::PrepareEnvironment();
  SDConnectionManager::setExitHandlerForTesting([](int) {});
  return 0;
}

namespace {

void CheckSent(const FakeWebSocket::Sent& sent, std::size_t inputSize) {
  if (!sent.text) std::abort(); // every command goes as a text message
  if (sent.bytes.size() > 2 * inputSize + 512) std::abort();
  const auto message = SDJSONParse(sent.bytes);
  if (!message || !message->is_object()) std::abort();
  const auto event = message->find("event");
  if (event == message->end() || !event->is_string()) std::abort();
  if (*event == "setSettings") {
    const auto payload = message->find("payload");
    if (payload == message->end() || !payload->is_object()) std::abort();
  }
}

void CheckPosted(const platform::DistributedNotification& n) {
  if (n.name != kZBKeyNotification || n.object != kZBEngineNotificationObject) std::abort();
  const auto& info = n.userInfo;
  if (!info.is_object() || !info.contains("pressed") || !info["pressed"].is_boolean()) std::abort();
  for (const char* key : {"row", "column"}) {
    if (!info.contains(key)) continue;
    const auto& v = info[key];
    if (!v.is_number_integer() || v.get<std::int64_t>() < INT32_MIN || v.get<std::int64_t>() > INT32_MAX)
      std::abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  auto next = [&input]() {
    const auto end = input.find('\0');
    std::string_view piece = input.substr(0, end);
    input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
    return piece;
  };

  auto center = std::make_shared<FakeNotificationCenter>();
  auto plugin = std::make_shared<ZBStreamDeckPlugin>();
  plugin->setNotificationCenterForTesting(center);
  std::shared_ptr<FakeWebSocket> socket;
  const std::string_view info = next();
  auto manager = SDConnectionManager::initWithPort(
      4000, "UUID", "registerPlugin", info.empty() ? std::nullopt : std::optional<std::string>(info), plugin,
      [&socket](const WSURLRequest& request) { return socket = std::make_shared<FakeWebSocket>(request); });
  if (!socket) std::abort();
  socket->reportOpen();

  static const char* const engineNames[] = {kZBShowAlertNotification, kZBShowOKNotification,
                                            kZBSetTitleNotification, kZBSetImageNotification};
  while (!input.empty()) {
    const std::string_view piece = next();
    if (!piece.empty() && piece[0] == '!') {
      const std::string_view rest = piece.substr(1);
      const char* name = engineNames[rest.empty() ? 0 : static_cast<unsigned char>(rest[0]) % 4];
      auto userInfo = SDJSONParse(rest.empty() ? rest : rest.substr(1));
      // The bus hands the plug-in an object always (see DistributedNotificationCenter.hpp).
      if (!userInfo || !userInfo->is_object()) userInfo = nlohmann::json::object();
      center->deliver(name, kZBEngineNotificationObject, *userInfo);
    } else if (!piece.empty() && piece[0] == '#') {
      socket->reportData(std::string(piece.substr(1)));
    } else {
      socket->reportText(std::string(piece));
    }
  }

  for (const auto& sent : socket->sent) CheckSent(sent, size);
  for (const auto& posted : center->posted) CheckPosted(posted);
  return 0;
}
