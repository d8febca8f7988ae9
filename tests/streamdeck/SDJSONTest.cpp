#include "streamdeck/SDJSON.hpp"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

// Well-formed documents read to the same value as a reference reader gives.
TEST(SDJSONTest, ReadsWellFormedDocuments) {
  const char* documents[] = {
      "{}",
      "[]",
      "0",
      "-0",
      "1.5",
      "-12e-3",
      "1E+2",
      "true",
      "false",
      "null",
      "\"\"",
      R"({"a":1,"b":[1,2,{"c":null}],"d":"text"})",
      " \t\r\n{ \"x\" : [ ] } \n",
      "9223372036854775807",
      "-9223372036854775808",
      "18446744073709551615",
      "18446744073709551616",
      R"("\"\\\/\b\f\n\r\t\u0000\u00e9\ud83d\ude00")",
      "\"caf\xC3\xA9 \xF0\x9F\x98\x80\"",
  };
  for (const char* text : documents) {
    SCOPED_TRACE(text);
    auto value = SDJSONParse(text);
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, json::parse(text));
  }
}

// Malformed documents, invalid UTF-8, lone surrogates and overflowing numbers are refused.
TEST(SDJSONTest, RefusesMalformedDocuments) {
  const char* documents[] = {
      "",
      " ",
      "{",
      "}",
      "[1,]",
      "{\"a\":}",
      "{\"a\" 1}",
      "{a:1}",
      "[1 2]",
      "01",
      "1.",
      ".5",
      "-",
      "+1",
      "1e",
      "tru",
      "nul",
      "\"abc",
      "\"a\\x\"",
      "\"\\u12\"",
      "\"\\ud800\"",
      "\"\\udc00\"",
      "\"\\ud800\\u0041\"",
      "\"tab\there\"",
      "\"\xC3\"",
      "\"\xC0\xAF\"",
      "\"\xED\xA0\x80\"",
      "\"\xF4\x90\x80\x80\"",
      "\"\xFF\"",
      "1e400",
      "{} {}",
      "[] x",
      "{\"a\":1,}",
  };
  for (const char* text : documents) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(SDJSONParse(text));
  }
}

// Nesting is accepted up to the limit and refused beyond it, without touching the stack.
TEST(SDJSONTest, NestingLimit) {
  auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_TRUE(SDJSONParse(nested(64)));
  EXPECT_FALSE(SDJSONParse(nested(65)));
  EXPECT_FALSE(SDJSONParse("{\"a\":" + nested(64) + "}"));
  EXPECT_FALSE(SDJSONParse(nested(100000)));
  std::string objects;
  for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
  objects += "1" + std::string(100000, '}');
  EXPECT_FALSE(SDJSONParse(objects));
}

// A repeated key keeps its later value.
TEST(SDJSONTest, RepeatedKeyKeepsLaterValue) {
  EXPECT_EQ(*SDJSONParse(R"({"a":1,"a":{"b":2}})"), json::parse(R"({"a":{"b":2}})"));
}

// Integers keep their kind: signed, unsigned above the signed range, double beyond 64 bits.
TEST(SDJSONTest, NumberKinds) {
  EXPECT_TRUE(SDJSONParse("-5")->is_number_integer());
  EXPECT_TRUE(SDJSONParse("18446744073709551615")->is_number_unsigned());
  EXPECT_TRUE(SDJSONParse("18446744073709551616")->is_number_float());
  EXPECT_TRUE(SDJSONParse("2.0")->is_number_float());
}

// Special characters at every position of a string, across the word-sized scanning steps.
TEST(SDJSONTest, SpecialCharacterAtEveryOffset) {
  const std::string specials[] = {"\"", "\\", "\n", "\x01", "\x7f", "\xC3\xA9", "\xF0\x9F\x98\x80"};
  for (const auto& special : specials) {
    for (std::size_t offset = 0; offset < 40; ++offset) {
      std::string text = std::string(offset, 'a') + special + std::string(40 - offset, 'b');
      SCOPED_TRACE(offset);
      json value = text;
      auto written = SDJSONSerialize(value, false);
      ASSERT_TRUE(written);
      EXPECT_EQ(*written, value.dump());
      auto read = SDJSONParse(*written);
      ASSERT_TRUE(read);
      EXPECT_EQ(*read, value);
    }
  }
}

// The compact form matches the usual compact JSON; the pretty form lays out the two outer
// levels with a two-space indent and writes deeper ones compact.
TEST(SDJSONTest, CompactAndPrettyForms) {
  json value = json::parse(R"({"b":[1,{"c":true,"d":[2]}],"a":"x","e":{},"f":[],"g":null,"h":-3})");
  EXPECT_EQ(*SDJSONSerialize(value, false), value.dump());
  EXPECT_EQ(*SDJSONSerialize(value, true), "{\n"
                                           "  \"a\": \"x\",\n"
                                           "  \"b\": [\n"
                                           "    1,\n"
                                           "    {\"c\":true,\"d\":[2]}\n"
                                           "  ],\n"
                                           "  \"e\": {},\n"
                                           "  \"f\": [],\n"
                                           "  \"g\": null,\n"
                                           "  \"h\": -3\n"
                                           "}");
}

// A value read and sent on in a message, pretty or compact, costs at most twice its own text
// (numbers such as 1E5 come out as 1e+05) plus the message around it, however it is shaped.
TEST(SDJSONTest, CarriedValuesDoNotGrow) {
  auto repeated = [](const std::string& item, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += (i ? "," : "") + item;
    return text;
  };
  const std::string values[] = {
      std::string(62, '[') + std::string(62, ']'),
      std::string(62, '[') + repeated("0", 1000) + std::string(62, ']'),
      "[" + repeated("0", 10000) + "]",
      "[" + repeated("[]", 10000) + "]",
      "[" + repeated("1E5", 10000) + "]",
      "{" + repeated("\"\":{}", 1) + "," + repeated("\"k\":[0]", 1) + "}",
      [] {
        std::string text;
        for (int i = 0; i < 60; ++i) text += "{\"a\":0,\"b\":";
        return text + "0" + std::string(60, '}');
      }(),
  };
  for (const auto& text : values) {
    SCOPED_TRACE(text.substr(0, 80));
    auto value = SDJSONParse(text);
    ASSERT_TRUE(value);
    json setTitle = {
        {"event", "setTitle"}, {"context", "ctx"}, {"payload", {{"target", 0}, {"title", *value}}}};
    json setSettings = {{"event", "setSettings"}, {"context", "ctx"}, {"payload", {{"k", *value}}}};
    EXPECT_LE(SDJSONSerialize(setTitle, true)->size(), 2 * text.size() + 100);
    EXPECT_LE(SDJSONSerialize(setSettings, false)->size(), 2 * text.size() + 100);
  }
}

// Doubles stay recognisable as doubles; non-finite values are written as null.
TEST(SDJSONTest, Doubles) {
  EXPECT_EQ(*SDJSONSerialize(json(1.0), false), "1.0");
  EXPECT_EQ(*SDJSONSerialize(json(0.1), false), "0.1");
  EXPECT_EQ(*SDJSONSerialize(json(1e300), false), "1e+300");
  EXPECT_EQ(*SDJSONSerialize(json(std::numeric_limits<double>::infinity()), false), "null");
}

// A string that is not valid UTF-8 cannot be written.
TEST(SDJSONTest, InvalidUtf8IsNotWritten) {
  EXPECT_FALSE(SDJSONSerialize(json{{"k", std::string("a\xFF")}}, true));
  EXPECT_FALSE(SDJSONSerialize(json{{std::string("\xC3"), 1}}, false));
}

// A megabyte image string survives a round trip unchanged.
TEST(SDJSONTest, LargeStringRoundTrip) {
  json message = {{"payload", {{"image", "data:image/png;base64," + std::string(1 << 20, 'A')}}}};
  auto text = SDJSONSerialize(message, true);
  ASSERT_TRUE(text);
  EXPECT_EQ(*SDJSONParse(*text), message);
}

} // namespace
