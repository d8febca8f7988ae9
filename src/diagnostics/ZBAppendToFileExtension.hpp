#pragma once
// Appending text to a file, creating the file when needed.
// Stateless; callable from any thread. Appends to one file from several threads at once are
// not ordered with respect to each other (callers that care serialise them).

#include <string>
#include <string_view>

/// Text encodings, numbered like the platform's string encodings of the original program.
enum class ZBStringEncoding : unsigned {
  ASCII = 1,
  UTF8 = 4,
  ISOLatin1 = 5,
};

struct ZBAppendToFileExtension {
  /// Appends `text` (UTF-8) converted to `encoding` at the end of the file at `path`, creating
  /// an empty file first when nothing exists there. Returns false when something that cannot
  /// be opened for writing exists at the path (a directory, a file without permission, a FIFO
  /// nobody reads), when the file cannot be created, or when writing fails (for instance a full
  /// disk). Text that cannot be represented in `encoding` writes nothing and counts as success.
  /// UTF-8 text is written byte for byte.
  static bool appendToFile(std::string_view text, const std::string& path, ZBStringEncoding encoding);
};
