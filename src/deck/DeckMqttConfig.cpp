#include "deck/DeckMqttConfig.hpp"

#include "deck/DeckFileTrust.hpp"
#include "deck/detail/DeckConfigTables.hpp"

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

namespace deck {

namespace {

constexpr std::size_t kMaxPasswordFile = 4096;

std::optional<std::string> ReadText(const toml::node& value, std::string_view field, std::string& into) {
  if (!value.is_string()) return "mqtt." + std::string(field) + " must be a string";
  into = value.as_string()->get();
  if (into.find('\0') != std::string::npos) return "mqtt." + std::string(field) + " must not contain NUL";
  return std::nullopt;
}

std::optional<std::string> ReadBool(const toml::node& value, std::string_view field, bool& into) {
  if (!value.is_boolean()) return "mqtt." + std::string(field) + " must be true or false";
  into = value.as_boolean()->get();
  return std::nullopt;
}

// One field of [mqtt] into `mqtt`; the reason when it does not fit.
std::optional<std::string> ReadField(DeckMqttConfig& mqtt, std::string_view field, const toml::node& value) {
  if (field == "broker") {
    if (auto problem = ReadText(value, field, mqtt.url)) return problem;
    auto broker = DeckMqttParseBroker(mqtt.url);
    if (auto* reason = std::get_if<std::string>(&broker)) return *reason;
    mqtt.broker = std::get<DeckMqttBroker>(broker);
    return std::nullopt;
  }
  if (field == "username") return ReadText(value, field, mqtt.username);
  if (field == "password") {
    std::string password;
    if (auto problem = ReadText(value, field, password)) return problem;
    mqtt.password = std::move(password);
    return std::nullopt;
  }
  if (field == "password_file") return ReadText(value, field, mqtt.passwordFile);
  if (field == "ca_file") return ReadText(value, field, mqtt.caFile);
  if (field == "cert_file") return ReadText(value, field, mqtt.certFile);
  if (field == "key_file") return ReadText(value, field, mqtt.keyFile);
  if (field == "insecure") return ReadBool(value, field, mqtt.insecure);
  if (field == "discovery") return ReadBool(value, field, mqtt.discovery);
  if (field == "prefix" || field == "discovery_prefix") {
    std::string& into = field == "prefix" ? mqtt.prefix : mqtt.discoveryPrefix;
    if (auto problem = ReadText(value, field, into)) return problem;
    if (auto problem = DeckMqttPrefixProblem(into)) return "mqtt." + std::string(field) + ": " + *problem;
    return std::nullopt;
  }
  if (field == "keepalive") {
    auto duration = value.is_string() ? DeckParseDuration(value.as_string()->get()) : std::nullopt;
    if (!duration || *duration < std::chrono::seconds(5) || *duration > std::chrono::seconds(65535))
      return "mqtt.keepalive must be a duration from \"5s\" to \"18h\", such as \"60s\"";
    mqtt.keepalive = std::chrono::duration_cast<std::chrono::seconds>(*duration);
    return std::nullopt;
  }
  return "unknown field \"" + std::string(field) + "\" in mqtt";
}

} // namespace

namespace detail {

std::optional<DeckConfigError> DeckReadMqttTable(const toml::node& node, const std::string& path,
                                                 DeckConfig& config) {
  const toml::table* table = node.as_table();
  if (!table) return DeckErrorAt(path, node, "mqtt must be a table");
  const int line = static_cast<int>(node.source().begin.line);
  DeckMqttConfig mqtt;
  // In the file's order, so that the first fault reported is the first one in the file.
  for (auto [field, value] : DeckInFileOrder(*table))
    if (auto problem = ReadField(mqtt, field->str(), *value)) return DeckErrorAt(path, *value, *problem);
  if (mqtt.url.empty())
    return DeckConfigError{path, line, 0, "mqtt needs a broker (mqtt://host or mqtts://host)"};
  if (mqtt.password && !mqtt.passwordFile.empty())
    return DeckConfigError{path, line, 0, "mqtt has both password and password_file: give one"};
  if ((mqtt.password || !mqtt.passwordFile.empty()) && mqtt.username.empty())
    return DeckConfigError{path, line, 0, "mqtt has a password but no username"};
  if (mqtt.certFile.empty() != mqtt.keyFile.empty())
    return DeckConfigError{path, line, 0, "mqtt needs both cert_file and key_file, or neither"};
  if (!mqtt.broker.tls && (!mqtt.caFile.empty() || !mqtt.certFile.empty() || mqtt.insecure))
    return DeckConfigError{path, line, 0, "mqtt has TLS settings but the broker is not mqtts://"};
  config.mqtt = std::move(mqtt);
  return std::nullopt;
}

} // namespace detail

std::optional<std::string> DeckMqttReadPassword(const DeckMqttConfig& config, const std::string& configPath,
                                                const std::string& home,
                                                std::optional<std::string>& password) {
  password.reset();
  if (config.password) {
    if (auto reason = DeckUntrustedFileReason(configPath, true))
      return "the configuration holds the MQTT password but " + *reason;
    password = config.password;
    return std::nullopt;
  }
  if (config.passwordFile.empty()) return std::nullopt;
  const std::string file = DeckExpandHome(config.passwordFile, home);
  if (auto reason = DeckUntrustedFileReason(file, true)) return "refusing the MQTT password file: " + *reason;
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return "cannot read the MQTT password file " + file;
  std::string text;
  char buffer[1024];
  ssize_t n = 0;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() <= kMaxPasswordFile)
    text.append(buffer, n);
  ::close(fd);
  if (n < 0) return "cannot read the MQTT password file " + file;
  if (text.size() > kMaxPasswordFile) return "the MQTT password file " + file + " is over 4 KiB";
  // The first line is the password; its line break is not part of it.
  text = text.substr(0, text.find('\n'));
  if (!text.empty() && text.back() == '\r') text.pop_back();
  if (text.empty()) return "the MQTT password file " + file + " is empty";
  password = std::move(text);
  return std::nullopt;
}

std::optional<std::string> DeckMqttKeyFileProblem(const DeckMqttConfig& config, const std::string& home) {
  if (config.keyFile.empty()) return std::nullopt;
  if (auto reason = DeckUntrustedFileReason(DeckExpandHome(config.keyFile, home), true))
    return "refusing the MQTT key file: " + *reason;
  return std::nullopt;
}

} // namespace deck
