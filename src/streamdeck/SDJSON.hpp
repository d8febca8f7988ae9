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
// wins). Documents nested deeper than SDJSONMaxDepth (64) levels are refused like malformed
// ones: every later step (copying, comparing, writing) walks a value recursively, and a hostile
// 100,000-level message must not exhaust the stack.
//
// Writing produces the compact form or the pretty form, with keys in the object's (sorted)
// order, doubles in their shortest form and non-finite ones as null. The pretty form lays out
// only the two outer levels (a message and its payload: the plug-in's own structure), one
// member per line with a two-space indent and "key": value; anything nested deeper, which is
// what a message carries for others (a title, an image, settings), is written compact inside
// it. So the layout adds a fixed amount per member of those two levels and never grows with the
// depth of what is carried: a 64-level title costs no more than in the compact form.

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

inline constexpr int SDJSONMaxDepth = 64;
/// Levels of a value that the pretty form lays out on lines of their own.
inline constexpr int SDJSONPrettyLevels = 2;

/// The value of `text`, or nullopt when it is not one well-formed JSON document.
std::optional<nlohmann::json> SDJSONParse(std::string_view text);

/// The JSON text of `value`, or nullopt when a string in it is not valid UTF-8.
std::optional<std::string> SDJSONSerialize(const nlohmann::json& value, bool pretty);
