#include "deck/DeckCommandLine.hpp"

#include "deck/DeckConfigReference.hpp"
#include "platform/UTF8.hpp"

#include <map>

namespace deck {

namespace {

struct Subcommand {
  DeckAction action;
  const char* usage; // after "zorbel-deck "
  const char* help;
};

const std::map<std::string, Subcommand>& Subcommands() {
  static const std::map<std::string, Subcommand> kSubcommands = {
      {"title",
       {DeckAction::Title, "title <id> <text>",
        "Sets the title of every key with button ID <id>; an empty <text> (\"\") clears it.\n"}},
      {"image",
       {DeckAction::Image, "image <id> <file|data-URL|->",
        "Sets the image of every key with button ID <id>, from a PNG, JPEG, GIF, SVG or WebP file (its\n"
        "type is read from its bytes), a data:image/… URL, or standard input (-). Images above 8 MiB\n"
        "are refused, and so is a path that is not a regular file (a FIFO, a device); standard input\n"
        "must end within 60 s and not pause for 10 s. An empty argument (\"\") clears the image.\n"}},
      {"alert",
       {DeckAction::Alert, "alert <id>", "Shows the alert mark on every key with button ID <id>.\n"}},
      {"ok", {DeckAction::OK, "ok <id>", "Shows the OK mark on every key with button ID <id>.\n"}},
      {"clear",
       {DeckAction::Clear, "clear <id>",
        "Clears the title and the image of every key with button ID <id>.\n"}},
      {"feedback",
       {DeckAction::Feedback, "feedback <id> [--title T] [--value V] [--indicator N] [--icon FILE|data-URL]",
        "Sets the touch strip of every dial with button ID <id>: its title, its value, its indicator\n"
        "(a whole number, clamped to 0-100) and its icon (an image file, a data:image/… URL, or - for\n"
        "standard input). Give at least one; what is not given stays as it is.\n"}},
      {"layout",
       {DeckAction::Layout, "layout <id> <layout>",
        "Sets the touch strip layout of every dial with button ID <id>: a built-in layout such as\n"
        "'$B1' (title, icon, value and indicator) or '$X1' (icon and title), or a layout file of the\n"
        "plug-in's layouts/ folder.\n"}},
      {"watch",
       {DeckAction::Watch, "watch [--json]",
        "Prints every key press and release until interrupted, one line each:\n"
        "  R<row>C<column> down|up <context>\n"
        "and every dial event, by the dial's button ID:\n"
        "  <id> rotate <ticks> <context>   <id> down|up <context>   <id> tap <x> <y> [hold] <context>\n"
        "With --json, one JSON object per line: the notification's userInfo\n"
        "(context, row, column, pressed; for dials context, column, zbID, event, …).\n"}},
      {"run",
       {DeckAction::Run, "run [--verbose] [--replace] [--check] [CONFIG]",
        "Runs the scripting engine in the foreground with CONFIG (default:\n"
        "$XDG_CONFIG_HOME/zorbel/deck.toml). SIGHUP reloads the file. --check only checks the file\n"
        "(exit status 0 when it is good); --verbose also logs every successful command.\n"
        "One engine runs per session (it owns the bus name com.zorbel.deck): a second one exits\n"
        "with status 1 naming the first, unless --replace, which makes the first one stop.\n"
        "'zorbel-deck help config' describes the configuration file.\n"}},
      {"setup",
       {DeckAction::Setup, "setup [--uninstall]",
        "Run from the unpacked bundle: links this zorbel-deck into ~/.local/bin and installs the\n"
        "systemd user unit zorbel-deck.service into $XDG_CONFIG_HOME/systemd/user (default\n"
        "~/.config/systemd/user), and says how to start it. --uninstall removes both again (only a\n"
        "link to a zorbel-deck and the unit it installed; nothing else is touched).\n"}},
  };
  return kSubcommands;
}

bool IsHelp(const std::string& a) { return a == "--help" || a == "-h"; }

} // namespace

std::string DeckUsageLine(const std::string& subcommand) {
  auto it = Subcommands().find(subcommand);
  if (it == Subcommands().end())
    return "usage: zorbel-deck title|image|alert|ok|clear|feedback|layout|watch|run|setup … (--help for "
           "more)";
  return std::string("usage: zorbel-deck ") + it->second.usage;
}

std::string DeckHelpText(const std::string& subcommand) {
  if (subcommand == "config") return std::string(DeckConfigReference());
  auto it = Subcommands().find(subcommand);
  if (it != Subcommands().end()) return DeckUsageLine(subcommand) + "\n\n" + it->second.help;
  std::string text = "usage: zorbel-deck <command> [arguments]\n\n"
                     "Sets Stream Deck keys and answers their presses through the Zorbel plug-in.\n"
                     "Keys are named by button ID: R<row>C<column>, or the ID set in the inspector;\n"
                     "dials by D<n> (their position) or the ID set in the inspector.\n\n";
  for (auto& [name, sub] : Subcommands()) text += std::string("  zorbel-deck ") + sub.usage + "\n";
  text += "\n'zorbel-deck <command> --help' describes one command; 'zorbel-deck help config' the\n"
          "configuration file.\n"
          "Exit status: 0 success, 1 failure (no session bus, a bad configuration), 2 usage error.\n";
  text += kDeckMqttRemoteHelp;
  return text;
}

std::variant<DeckInvocation, DeckUsageError> DeckParseCommandLine(const std::vector<std::string>& arguments) {
  DeckInvocation invocation;
  // Options before the subcommand: the same subcommand, over MQTT.
  if (std::size_t used = 0;
      !arguments.empty() && arguments[0].starts_with("--") && arguments[0] != "--help") {
    DeckMqttRemoteOptions remote;
    if (auto problem = DeckReadMqttRemoteOptions(arguments, remote, used))
      return DeckUsageError{*problem, DeckUsageLine("")};
    if (used > 0) {
      auto parsed =
          DeckParseCommandLine({arguments.begin() + static_cast<std::ptrdiff_t>(used), arguments.end()});
      if (auto* rest = std::get_if<DeckInvocation>(&parsed)) {
        if (rest->action == DeckAction::Run)
          return DeckUsageError{"run takes no MQTT options (they go in [mqtt])", DeckUsageLine("run")};
        rest->remote = std::move(remote);
      }
      return parsed;
    }
  }
  if (arguments.empty()) return DeckUsageError{"no command given", DeckUsageLine("")};
  const std::string& name = arguments[0];
  if (IsHelp(name) || name == "help") {
    if (arguments.size() > 1) invocation.subcommand = arguments[1];
    return invocation;
  }
  auto it = Subcommands().find(name);
  if (it == Subcommands().end()) return DeckUsageError{"unknown command \"" + name + "\"", DeckUsageLine("")};
  invocation.subcommand = name;
  const DeckAction action = it->second.action;
  auto error = [&](std::string message) { return DeckUsageError{std::move(message), DeckUsageLine(name)}; };

  std::vector<std::string> positional;
  bool options = true;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    if (options && a == "--") {
      options = false;
    } else if (options && IsHelp(a)) {
      return invocation; // action Help, for this subcommand
    } else if (options && action == DeckAction::Watch && a == "--json") {
      invocation.json = true;
    } else if (options && action == DeckAction::Run && a == "--check") {
      invocation.check = true;
    } else if (options && action == DeckAction::Run && (a == "--verbose" || a == "-v")) {
      invocation.verbose = true;
    } else if (options && action == DeckAction::Run && a == "--replace") {
      invocation.replace = true;
    } else if (options && action == DeckAction::Setup && a == "--uninstall") {
      invocation.uninstall = true;
    } else if (options && action == DeckAction::Feedback && a.starts_with("--")) {
      if (auto problem = DeckReadFeedbackOption(arguments, i, invocation.feedback)) return error(*problem);
    } else if (options && a.size() > 1 && a[0] == '-') {
      return error("unknown option \"" + a + "\"");
    } else {
      positional.push_back(a);
    }
  }
  std::size_t wanted = 0;
  switch (action) {
  case DeckAction::Title:
  case DeckAction::Image:
  case DeckAction::Layout:
    wanted = 2;
    break;
  case DeckAction::Alert:
  case DeckAction::OK:
  case DeckAction::Clear:
    wanted = 1;
    break;
  case DeckAction::Feedback:
    if (invocation.feedback.empty() && positional.size() == 1)
      return error("give at least one of --title, --value, --indicator and --icon");
    wanted = 1;
    break;
  case DeckAction::Watch:
  case DeckAction::Setup:
    wanted = 0;
    break;
  case DeckAction::Run:
    if (positional.size() > 1) return error("more than one configuration file given");
    if (!positional.empty()) {
      if (positional[0].empty()) return error("the configuration file name is empty");
      invocation.config = positional[0];
    }
    invocation.action = action;
    return invocation;
  case DeckAction::Help:
    break;
  }
  if (positional.size() < wanted)
    return error(wanted == 2 && positional.size() == 1 ? "missing argument" : "missing key ID");
  if (positional.size() > wanted) return error("too many arguments");
  if (wanted >= 1) {
    invocation.id = positional[0];
    if (invocation.id.empty()) return error("the key ID is empty");
  }
  if (wanted == 2) invocation.value = positional[1];
  if (action == DeckAction::Layout && invocation.value.empty()) return error("the layout is empty");
  invocation.action = action;
  return invocation;
}

std::optional<std::string> DeckTextProblem(const DeckInvocation& invocation) {
  if (!platform::IsValidUTF8(invocation.id)) return "the key ID is not valid UTF-8";
  if (!platform::IsValidUTF8(invocation.value))
    return std::string(invocation.action == DeckAction::Title ? "the title" : "the argument") +
           " is not valid UTF-8 (check the terminal's or the script's encoding)";
  return std::nullopt;
}

} // namespace deck
