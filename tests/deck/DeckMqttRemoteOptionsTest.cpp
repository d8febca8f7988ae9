#include "deck/DeckCommandLine.hpp"

#include <gtest/gtest.h>

namespace {

using namespace deck;

// Options before the subcommand send it over MQTT; they are checked like the rest of the line.
TEST(DeckMqttRemoteOptionsTest, OptionsBeforeTheSubcommand) {
  using Args = std::vector<std::string>;
  auto parse = [](const Args& args) { return DeckParseCommandLine(args); };
  auto ok = parse({"--broker", "mqtt://hub", "--prefix", "zorbel/desk", "--password-file", "pw", "title",
                   "R1C1", "--", "--broker"});
  ASSERT_TRUE(std::holds_alternative<DeckInvocation>(ok));
  auto& invocation = std::get<DeckInvocation>(ok);
  EXPECT_EQ(invocation.action, DeckAction::Title);
  EXPECT_EQ(invocation.value, "--broker"); // after the subcommand, text is the subcommand's
  EXPECT_EQ(invocation.remote, (DeckMqttRemoteOptions{"mqtt://hub", "zorbel/desk", "", "pw", ""}));
  auto watch = parse({"--prefix", "p", "watch", "--json"});
  ASSERT_TRUE(std::holds_alternative<DeckInvocation>(watch));
  EXPECT_TRUE(std::get<DeckInvocation>(watch).json);
  EXPECT_EQ(std::get<DeckInvocation>(parse({"ok", "R1C1"})).remote, DeckMqttRemoteOptions{});
  const std::pair<Args, const char*> refused[] = {
      {{"--broker"}, "--broker needs a value"},
      {{"--broker", "", "ok", "x"}, "--broker needs a value"},
      {{"--prefix", "a", "--prefix", "b", "ok", "x"}, "--prefix given twice"},
      {{"--broker", "mqtt://hub", "run"}, "run takes no MQTT options (they go in [mqtt])"},
      {{"--broker", "mqtt://hub"}, "no command given"},
      {{"--password", "x", "ok", "R1C1"}, "unknown command \"--password\""},
  };
  for (auto& [args, message] : refused) {
    auto result = parse(args);
    ASSERT_TRUE(std::holds_alternative<DeckUsageError>(result)) << args[0];
    EXPECT_EQ(std::get<DeckUsageError>(result).message, message);
  }
}

} // namespace
