#pragma once
// title|image|alert|ok|clear|watch over MQTT, for a deck whose `zorbel-deck run` bridges to a
// broker: the commands publish to the deck's command topics (QoS 1, waiting for the broker's
// acknowledgement), watch prints the presses the deck publishes.

#include "deck/DeckCommandLine.hpp"

namespace deck {

/// True when `invocation` goes over MQTT: a subcommand that can, with --broker or
/// ZORBEL_DECK_BROKER.
bool DeckMqttRemoteWanted(const DeckInvocation& invocation);

/// Runs it; the exit status (0, 1 on failure with a message on standard error).
int DeckMqttRemoteRun(const DeckInvocation& invocation);

} // namespace deck
