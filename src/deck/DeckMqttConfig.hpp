#pragma once
// The [mqtt] table of deck.toml: the broker the engine's bridge connects to.
//
//   [mqtt]
//   broker        = "mqtts://hub.lan:8883"   mqtt://host[:1883] or mqtts://host[:8883]
//   username      = "deck"
//   password_file = "~/.config/zorbel/mqtt-password"   or password = "…" in the file itself
//   ca_file       = "/etc/ssl/certs/ca.pem"  default: the system's certificates
//   cert_file, key_file                      a client certificate
//   insecure      = false                    true: no check of the broker's certificate
//   prefix        = "zorbel/desk"            default zorbel/<host name>
//   discovery     = true                     home-automation discovery messages
//   discovery_prefix = "homeassistant"
//   keepalive     = "60s"
//
// Parsing is pure; reading the password (and refusing one that others can read) is
// DeckMqttReadPassword's job, at start, and refusing a client key others can read
// DeckMqttKeyFileProblem's.

#include "deck/DeckMqttTopics.hpp"

#include <chrono>
#include <optional>
#include <string>

namespace deck {

struct DeckMqttConfig {
  std::string url; // as written
  DeckMqttBroker broker;
  std::string username;
  std::optional<std::string> password; // written in the configuration itself
  std::string passwordFile;            // as written ("~/" allowed)
  std::string caFile, certFile, keyFile;
  bool insecure = false;
  std::string prefix; // empty: DeckMqttDefaultPrefix(host name)
  bool discovery = true;
  std::string discoveryPrefix = "homeassistant";
  std::chrono::seconds keepalive{60};
  bool operator==(const DeckMqttConfig&) const = default;
};

/// Reads the password of `config` into `password` (nullopt when it has none); else the reason it
/// cannot be used, naming the file, never the password: a password file, or the configuration
/// file at `configPath` holding an inline password, that others can read or write is refused.
std::optional<std::string> DeckMqttReadPassword(const DeckMqttConfig& config, const std::string& configPath,
                                                const std::string& home,
                                                std::optional<std::string>& password);

/// The reason the client certificate's key file of `config` cannot be used (nullopt when it has
/// none or it may be): like a password file, a key that its group or others can read, or that
/// anyone but the user (or root) could have replaced, is refused; the reason names the file,
/// never shows its contents.
std::optional<std::string> DeckMqttKeyFileProblem(const DeckMqttConfig& config, const std::string& home);

} // namespace deck
