#pragma once
// One MQTT client connection (libmosquitto) driven by a run loop: its socket is an I/O source of
// the loop, keep-alives and reconnection waits are timers of the loop. No thread of its own and
// nothing to do between events.
//
// Each connection attempt uses a fresh libmosquitto handle. An attempt that fails (the broker
// unreachable, a TLS or authentication failure, no CONNACK within 10 s) or a connection that
// ends is reported once to `ended`, then, with `reconnect`, tried again after a wait that starts
// at 1 s and doubles up to 30 s (each wait 80 % to 120 % of its step), reset by a connection the
// broker accepted.
//
// The password is handed to libmosquitto and to nothing else: reasons never contain it.
// All members are called on the loop's thread; the delegate's functions run there too, and may
// publish and subscribe but not destroy the client.

#include "deck/DeckMqttTopics.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {
class RunLoop;
}

namespace deck {

struct DeckMqttClientOptions {
  DeckMqttBroker broker;
  std::string username;
  std::optional<std::string> password;
  std::string caFile, certFile, keyFile; // caFile empty: the system's certificates
  bool insecure = false;                 // no check of the broker's certificate and name
  std::chrono::seconds keepalive{60};
  std::string willTopic; // empty: no will; else its payload is "offline", retained
  bool reconnect = true;
};

struct DeckMqttClientDelegate {
  std::function<void()> connected;
  /// The attempt or connection ended: `reason` says why, for a log line; `nextAttempt` is the
  /// wait before the next attempt (zero without reconnection).
  std::function<void(const std::string& reason, std::chrono::milliseconds nextAttempt)> ended;
  std::function<void(const std::string& topic, std::string_view payload, bool retained)> message;
  /// The broker acknowledged the QoS 1 message with this id.
  std::function<void(int id)> published;
};

class DeckMqttClient {
public:
  DeckMqttClient(platform::RunLoop& loop, DeckMqttClientOptions options, DeckMqttClientDelegate delegate);
  /// Closes the connection at once (no will is withheld: the broker publishes it).
  ~DeckMqttClient();
  DeckMqttClient(const DeckMqttClient&) = delete;
  DeckMqttClient& operator=(const DeckMqttClient&) = delete;

  /// Starts the first connection attempt.
  void start();

  /// True between the broker's acceptance and the end of the connection.
  bool isConnected() const;

  /// Queues a message; its id (for `published` with QoS 1), or nullopt when not connected or
  /// refused by libmosquitto.
  std::optional<int> publish(const std::string& topic, std::string_view payload, int qos, bool retain);

  bool subscribe(const std::vector<std::string>& patterns, int qos);

  /// Publishes `finalMessage` (retained, when its topic is not empty), disconnects cleanly and
  /// waits, for at most `timeout`, until both are written. No reconnection follows.
  void close(const std::string& finalTopic, std::string_view finalPayload, std::chrono::milliseconds timeout);

  /// "mqtt://host:port" or "mqtts://host:port", for messages.
  std::string brokerName() const;

  struct Impl;

private:
  std::shared_ptr<Impl> _impl;
};

} // namespace deck
