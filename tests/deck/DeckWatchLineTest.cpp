#include "deck/DeckWatchLine.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using namespace deck;
using nlohmann::json;

// No value of a notification can end a line early, reach the terminal as a control character or
// move a field of the text form.
TEST(DeckWatchLineTest, LinesCannotBeForged) {
  using namespace std::string_literals;
  auto key = [](json context, json row = 1, json column = 2, json pressed = true) {
    return json{{"context", context}, {"row", row}, {"column", column}, {"pressed", pressed}};
  };
  const struct {
    json info;
    std::string text, jsonLine;
  } cases[] = {
      {key("ab12"), "R1C2 down ab12\n",
       R"({"column":2,"context":"ab12","pressed":true,"row":1})"
       "\n"},
      {key("x\nR1C1 down y", 1, 2, false), "R1C2 up x\\nR1C1 down y\n",
       R"({"column":2,"context":"x\nR1C1 down y","pressed":false,"row":1})"
       "\n"},
      {key("\x1b]0;t\x07\r"), "R1C2 down \\u001b]0;t\\u0007\\r\n",
       R"({"column":2,"context":"\u001b]0;t\u0007\r","pressed":true,"row":1})"
       "\n"},
      {key("a\x7f"
           "b\xc2\x9b"
           "c\xc2\xa0"),
       "R1C2 down a\\u007fb\\u009bc\xc2\xa0\n",
       "{\"column\":2,\"context\":\"a\\u007fb\\u009bc\xc2\xa0\",\"pressed\":true,\"row\":1}\n"},
      {key("p\xe2\x80\xa8q\xe2\x80\xa9r\xe2\x80\xa7"), "R1C2 down p\xe2\x80\xa8q\xe2\x80\xa9r\xe2\x80\xa7\n",
       "{\"column\":2,\"context\":\"p\\u2028q\\u2029r\xe2\x80\xa7\",\"pressed\":true,\"row\":1}\n"},
      {key("bad\x9b\xff"), "R1C2 down bad\xef\xbf\xbd\xef\xbf\xbd\n",
       "{\"column\":2,\"context\":\"bad\xef\xbf\xbd\xef\xbf\xbd\",\"pressed\":true,\"row\":1}\n"},
      {key("c", "1C9 down\nR1", json::array({1}), "yes"), "R?C? up c\n",
       R"({"column":[1],"context":"c","pressed":"yes","row":"1C9 down\nR1"})"
       "\n"},
      {json{{"row", 3}}, "R3C? up ?\n",
       R"({"row":3})"
       "\n"},
  };
  for (auto& c : cases) {
    EXPECT_EQ(DeckWatchLine(c.info, false), c.text)
        << c.info.dump(-1, ' ', true, json::error_handler_t::replace);
    EXPECT_EQ(DeckWatchLine(c.info, true), c.jsonLine)
        << c.info.dump(-1, ' ', true, json::error_handler_t::replace);
  }
}

} // namespace
