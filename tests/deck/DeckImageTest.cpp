#include "deck/DeckImage.hpp"

#include "support/TempDir.hpp"

#include <fstream>
#include <gtest/gtest.h>

namespace {

using namespace deck;

// The type comes from the bytes; near misses of each signature are refused.
TEST(DeckImageTest, TypesAreKnownByTheirBytes) {
  using namespace std::string_literals;
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"\x89PNG\r\n\x1A\n rest"s, "image/png"},
      {"\x89PNG\r\n\x1A"s, std::nullopt},
      {"\xFF\xD8\xFF\xE0"s, "image/jpeg"},
      {"\xFF\xD8"s, std::nullopt},
      {"GIF89a..."s, "image/gif"},
      {"GIF87a"s, "image/gif"},
      {"GIF88a"s, std::nullopt},
      {"RIFF\x10\0\0\0WEBPVP8 "s, "image/webp"},
      {"RIFF\x10\0\0\0WAVEfmt "s, std::nullopt},
      {"<svg xmlns='http://www.w3.org/2000/svg'/>"s, "image/svg+xml"},
      {"\xEF\xBB\xBF\n <?xml version='1.0'?>\n<!-- a -->\n<!DOCTYPE svg [ <!ENTITY a 'b'> ]>\n<svg>"s,
       "image/svg+xml"},
      {"<svgx/>"s, std::nullopt},
      {"<html><svg/></html>"s, std::nullopt},
      {"<!-- never closed <svg>"s, std::nullopt},
      {"hello"s, std::nullopt},
      {""s, std::nullopt},
  };
  for (auto& [bytes, type] : cases) EXPECT_EQ(DeckImageMediaType(bytes), type) << bytes;
}

TEST(DeckImageTest, DataURLsCarryTheMediaTypeAndBase64) {
  auto url = DeckImageDataURL("GIF89a", "x");
  ASSERT_TRUE(std::holds_alternative<std::string>(url));
  EXPECT_EQ(std::get<std::string>(url), "data:image/gif;base64,R0lGODlh");
}

// What each kind of argument gives, and the message of each refusal.
TEST(DeckImageTest, ArgumentsAreFilesDataURLsOrEmpty) {
  testsupport::TempDir dir;
  auto write = [&](const std::string& name, const std::string& bytes) {
    std::ofstream(dir.path() + "/" + name, std::ios::binary) << bytes;
    return dir.path() + "/" + name;
  };
  auto png = write("icon.txt", std::string("\x89PNG\r\n\x1A\n", 8)); // the name does not matter
  auto text = write("icon.png", "not an image");
  auto big = write("big.gif", "GIF89a" + std::string(kMaxImageBytes, 'x'));

  auto ok = [](const std::variant<std::string, DeckImageError>& r) { return std::get<std::string>(r); };
  auto error = [](const std::variant<std::string, DeckImageError>& r) {
    return std::get<DeckImageError>(r).reason;
  };
  EXPECT_EQ(ok(DeckImageFromArgument("")), "");
  EXPECT_EQ(ok(DeckImageFromArgument("data:image/png;base64,AAAA")), "data:image/png;base64,AAAA");
  EXPECT_TRUE(ok(DeckImageFromArgument(png)).starts_with("data:image/png;base64,iVBORw0KGgo"));
  EXPECT_NE(error(DeckImageFromArgument(text)).find("not a PNG, JPEG, GIF, SVG or WebP image"),
            std::string::npos);
  EXPECT_NE(error(DeckImageFromArgument(big)).find("larger than 8 MiB"), std::string::npos);
  EXPECT_NE(error(DeckImageFromArgument(dir.path() + "/missing.png")).find("No such file"),
            std::string::npos);
  EXPECT_NE(error(DeckImageFromArgument("data:text/plain,hi")).find("does not hold an image"),
            std::string::npos);
}

} // namespace
