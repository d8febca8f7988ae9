#pragma once
// The command line of zorbel-deck: one subcommand and its arguments, checked before anything
// connects to the bus. Pure, so that every usage rule is testable.
//
//   zorbel-deck title <id> <text>      zorbel-deck watch [--json]
//   zorbel-deck image <id> <image>     zorbel-deck run [--verbose] [CONFIG]
//   zorbel-deck alert|ok|clear <id>    zorbel-deck run --check [CONFIG]
//   zorbel-deck feedback <id> [--title T] [--value V] [--indicator N] [--icon FILE|data-URL]
//   zorbel-deck layout <id> <layout>
//   zorbel-deck setup [--uninstall]    zorbel-deck help [<command>|config]
//
// "--help" (or "-h") after a subcommand asks for its help; "--" ends the options, so that a
// title may begin with a dash.

#include "deck/DeckDialCommandLine.hpp"
#include "deck/DeckMqttRemoteOptions.hpp"

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace deck {

enum class DeckAction { Help, Title, Image, Alert, OK, Clear, Watch, Run, Setup, Feedback, Layout };

struct DeckInvocation {
  DeckAction action = DeckAction::Help;
  std::string subcommand; // as typed; empty for the program's own help
  std::string id;
  std::string value;            // the title text, the image argument or the layout
  bool json = false;            // watch --json
  bool check = false;           // run --check
  bool verbose = false;         // run --verbose
  bool replace = false;         // run --replace
  bool uninstall = false;       // setup --uninstall
  std::string config;           // run [CONFIG]; empty for the default file
  DeckFeedbackOptions feedback; // feedback's options
  DeckMqttRemoteOptions remote; // the options before the subcommand (over MQTT)
};

struct DeckUsageError {
  std::string message;
  std::string usage; // the usage line of the subcommand (or of the program)
};

std::variant<DeckInvocation, DeckUsageError> DeckParseCommandLine(const std::vector<std::string>& arguments);

/// Why the ID or the text of a one-shot command cannot be sent, if it cannot: the bus and the
/// broker carry UTF-8 only, so anything else is refused before connecting, not by them.
std::optional<std::string> DeckTextProblem(const DeckInvocation& invocation);

/// The usage line of `subcommand` ("" for the whole program).
std::string DeckUsageLine(const std::string& subcommand);

/// The help text of `subcommand` ("" for the whole program; "config" for the configuration
/// reference), ending with a line break.
std::string DeckHelpText(const std::string& subcommand);

} // namespace deck
