#pragma once
// The JSON reader and writer of the Stream Deck link.
//
// Stream Deck messages are small, except that key images travel inside them as "data:image"
// strings of a megabyte or more, in both directions (an engine's image goes out in setImage and
// setSettings and comes back in every willAppear). This codec scans and copies long strings in
// word-sized steps, so a message with a 1 MB image is read or written in a fraction of a
// millisecond. Values are nlohmann::json.
//
// Reading follows RFC 8259 strictly: one value (any type) with optional surrounding white space,
// strings in valid UTF-8 with paired surrogate escapes, no duplicate-key error (the later value
// wins). Documents nested deeper than SDJSONMaxDepth are refused like malformed ones: every
// later step (copying, comparing, writing) walks a value recursively, and a hostile
// 100,000-level message must not exhaust the stack.
//
// Writing produces the compact form or the pretty form with a two-space indent, "key": value,
// and keys in the object's (sorted) order; doubles in their shortest form, non-finite as null.

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

inline constexpr int SDJSONMaxDepth = 512;

/// The value of `text`, or nullopt when it is not one well-formed JSON document.
std::optional<nlohmann::json> SDJSONParse(std::string_view text);

/// The JSON text of `value`, or nullopt when a string in it is not valid UTF-8.
std::optional<std::string> SDJSONSerialize(const nlohmann::json& value, bool pretty);
