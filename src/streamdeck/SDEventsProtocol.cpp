#include "streamdeck/SDEventsProtocol.hpp"

// Every event is optional for the plug-in: the defaults ignore it.
void SDEventsProtocol::keyDownForAction(const SDString&, const SDString&, const nlohmann::json*,
                                        const SDString&) {}
void SDEventsProtocol::keyUpForAction(const SDString&, const SDString&, const nlohmann::json*,
                                      const SDString&) {}
void SDEventsProtocol::willAppearForAction(const SDString&, const SDString&, const nlohmann::json*,
                                           const SDString&) {}
void SDEventsProtocol::willDisappearForAction(const SDString&, const SDString&, const nlohmann::json*,
                                              const SDString&) {}
void SDEventsProtocol::didReceiveSettingsForAction(const SDString&, const SDString&, const nlohmann::json*,
                                                   const SDString&) {}
void SDEventsProtocol::didReceiveFromPluginForAction(const SDString&, const SDString&, const nlohmann::json*,
                                                     const SDString&) {}
void SDEventsProtocol::dialRotateForAction(const SDString&, const SDString&, const nlohmann::json*,
                                           const SDString&) {}
void SDEventsProtocol::dialDownForAction(const SDString&, const SDString&, const nlohmann::json*,
                                         const SDString&) {}
void SDEventsProtocol::dialUpForAction(const SDString&, const SDString&, const nlohmann::json*,
                                       const SDString&) {}
void SDEventsProtocol::touchTapForAction(const SDString&, const SDString&, const nlohmann::json*,
                                         const SDString&) {}
void SDEventsProtocol::deviceDidConnect(const SDString&, const nlohmann::json*) {}
void SDEventsProtocol::deviceDidDisconnect(const SDString&) {}
void SDEventsProtocol::applicationDidLaunch(const nlohmann::json*) {}
void SDEventsProtocol::applicationDidTerminate(const nlohmann::json*) {}
void SDEventsProtocol::launched() {}
void SDEventsProtocol::terminating() {}
