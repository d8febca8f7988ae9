#include "deck/DeckCommandLine.hpp"

#include "support/TempDir.hpp"

#include <gtest/gtest.h>

namespace {

using namespace deck;

// Accepted command lines and what they ask for.
TEST(DeckCommandLineTest, SubcommandsTakeTheirArguments) {
  const struct {
    std::vector<std::string> args;
    DeckAction action;
    std::string id, value, config;
    bool json = false, check = false, replace = false, uninstall = false;
  } cases[] = {
      {{"title", "R1C1", "Hi"}, DeckAction::Title, "R1C1", "Hi", ""},
      {{"title", "R1C1", ""}, DeckAction::Title, "R1C1", "", ""},
      {{"title", "R1C1", "--", "-5 °C"}, DeckAction::Title, "R1C1", "-5 °C", ""},
      {{"image", "Lights", "-"}, DeckAction::Image, "Lights", "-", ""},
      {{"alert", "R2C3"}, DeckAction::Alert, "R2C3", "", ""},
      {{"ok", "R2C3"}, DeckAction::OK, "R2C3", "", ""},
      {{"clear", "R2C3"}, DeckAction::Clear, "R2C3", "", ""},
      {{"watch", "--json"}, DeckAction::Watch, "", "", "", true},
      {{"run"}, DeckAction::Run, "", "", ""},
      {{"run", "--check", "my.toml"}, DeckAction::Run, "", "", "my.toml", false, true},
      {{"title", "--help"}, DeckAction::Help, "", "", ""},
      {{"run", "x.toml", "-h"}, DeckAction::Help, "", "", ""},
      {{"--help"}, DeckAction::Help, "", "", ""},
      {{"run", "--replace"}, DeckAction::Run, "", "", "", false, false, true},
      {{"setup"}, DeckAction::Setup, "", "", ""},
      {{"setup", "--uninstall"}, DeckAction::Setup, "", "", "", false, false, false, true},
      {{"help", "config"}, DeckAction::Help, "", "", ""},
  };
  for (auto& c : cases) {
    auto parsed = DeckParseCommandLine(c.args);
    ASSERT_TRUE(std::holds_alternative<DeckInvocation>(parsed)) << c.args[0] << " " << c.args.size();
    auto& inv = std::get<DeckInvocation>(parsed);
    EXPECT_EQ(inv.action, c.action) << c.args[0];
    EXPECT_EQ(inv.id, c.id);
    EXPECT_EQ(inv.value, c.value);
    EXPECT_EQ(inv.config, c.config);
    EXPECT_EQ(inv.json, c.json);
    EXPECT_EQ(inv.check, c.check);
    EXPECT_EQ(inv.replace, c.replace);
    EXPECT_EQ(inv.uninstall, c.uninstall);
  }
}

// Refused command lines give a reason and the subcommand's own usage line.
TEST(DeckCommandLineTest, UsageErrorsCarryTheSubcommandsUsageLine) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "usage: zorbel-deck title|image"},
      {{"blink", "R1C1"}, "usage: zorbel-deck title|image"},
      {{"title", "R1C1"}, "usage: zorbel-deck title <id> <text>"},
      {{"title", "R1C1", "a", "b"}, "usage: zorbel-deck title <id> <text>"},
      {{"title", "", "a"}, "usage: zorbel-deck title <id> <text>"},
      {{"ok"}, "usage: zorbel-deck ok <id>"},
      {{"alert", "--json", "R1C1"}, "usage: zorbel-deck alert <id>"},
      {{"watch", "R1C1"}, "usage: zorbel-deck watch [--json]"},
      {{"run", "a.toml", "b.toml"}, "usage: zorbel-deck run"},
      {{"image", "R1C1", "-x"}, "usage: zorbel-deck image"},
      {{"setup", "here"}, "usage: zorbel-deck setup [--uninstall]"},
      {{"setup", "--replace"}, "usage: zorbel-deck setup [--uninstall]"},
      {{"watch", "--replace"}, "usage: zorbel-deck watch [--json]"},
  };
  for (auto& [args, usage] : cases) {
    auto parsed = DeckParseCommandLine(args);
    ASSERT_TRUE(std::holds_alternative<DeckUsageError>(parsed)) << (args.empty() ? "" : args[0]);
    auto& error = std::get<DeckUsageError>(parsed);
    EXPECT_FALSE(error.message.empty());
    EXPECT_TRUE(error.usage.starts_with(usage)) << error.usage;
  }
}

// `help config` is the manual's configuration section, as the manual has it today.
TEST(DeckCommandLineTest, HelpConfigIsTheManualsConfigurationSection) {
  const std::string manual = testsupport::ReadFile(ZB_DECK_MANUAL);
  const std::string reference = DeckHelpText("config");
  ASSERT_TRUE(reference.starts_with("### Configuration\n")) << reference.substr(0, 80);
  EXPECT_NE(manual.find("\n" + reference + "#"), std::string::npos);
  EXPECT_NE(reference.find("| `every` |"), std::string::npos);
  EXPECT_TRUE(reference.ends_with("\n"));
}

} // namespace
