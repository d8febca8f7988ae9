#pragma once
// The interface through which the connection manager hands Stream Deck events to the plug-in.
//
// Every operation runs on the main thread, in the order the events arrived. Values that the
// incoming message lacks are absent: an empty optional for strings, nullptr for dictionaries.
// Only setConnectionManager is required; the others default to doing nothing, which is how an
// operation the plug-in does not implement is skipped. An operation may throw (for instance
// SDTypeError for a value of the wrong type): the connection manager then logs the message as
// failed and goes on with the next one.

#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

class SDConnectionManager;

using SDString = std::optional<std::string>;

class SDEventsProtocol {
public:
  virtual ~SDEventsProtocol() = default;

  /// Called once, while the connection manager is being created; hold it weakly.
  virtual void setConnectionManager(std::weak_ptr<SDConnectionManager> connectionManager) = 0;

  virtual void keyDownForAction(const SDString& action, const SDString& context,
                                const nlohmann::json* payload, const SDString& device);
  virtual void keyUpForAction(const SDString& action, const SDString& context, const nlohmann::json* payload,
                              const SDString& device);
  virtual void willAppearForAction(const SDString& action, const SDString& context,
                                   const nlohmann::json* payload, const SDString& device);
  virtual void willDisappearForAction(const SDString& action, const SDString& context,
                                      const nlohmann::json* payload, const SDString& device);
  virtual void didReceiveSettingsForAction(const SDString& action, const SDString& context,
                                           const nlohmann::json* payload, const SDString& device);
  /// "sendToPlugin": a message of the action's property inspector.
  virtual void didReceiveFromPluginForAction(const SDString& action, const SDString& context,
                                             const nlohmann::json* payload, const SDString& device);
  /// "dialRotate", "dialDown", "dialUp", "touchTap": a dial of an encoder deck turned, pushed,
  /// released, or its touch strip tapped.
  virtual void dialRotateForAction(const SDString& action, const SDString& context,
                                   const nlohmann::json* payload, const SDString& device);
  virtual void dialDownForAction(const SDString& action, const SDString& context,
                                 const nlohmann::json* payload, const SDString& device);
  virtual void dialUpForAction(const SDString& action, const SDString& context, const nlohmann::json* payload,
                               const SDString& device);
  virtual void touchTapForAction(const SDString& action, const SDString& context,
                                 const nlohmann::json* payload, const SDString& device);
  virtual void deviceDidConnect(const SDString& device, const nlohmann::json* deviceInfo);
  virtual void deviceDidDisconnect(const SDString& device);
  virtual void applicationDidLaunch(const nlohmann::json* payload);
  virtual void applicationDidTerminate(const nlohmann::json* payload);
  /// Called during the connection manager's creation, before the connection exists.
  virtual void launched();
  /// Called when the connection has closed, just before the process exits.
  virtual void terminating();
};
