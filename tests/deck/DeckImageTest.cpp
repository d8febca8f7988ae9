#include "deck/DeckImage.hpp"

#include "support/TempDir.hpp"

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Only regular files are read: each other kind is refused at once, without blocking on it.
TEST(DeckImageTest, OnlyRegularFilesAreRead) {
  testsupport::TempDir dir;
  const std::string fifo = dir.path() + "/fifo.png";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::pair<std::string, std::string> cases[] = {
      {fifo, "not a regular file"},
      {"/dev/zero", "not a regular file"},
      {dir.path(), "is a folder"},
  };
  for (auto& [path, reason] : cases) {
    auto started = std::chrono::steady_clock::now();
    auto result = DeckImageFromArgument(path);
    ASSERT_TRUE(std::holds_alternative<DeckImageError>(result)) << path;
    EXPECT_NE(std::get<DeckImageError>(result).reason.find(reason), std::string::npos)
        << std::get<DeckImageError>(result).reason;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2)) << path;
  }
}

// A stream ends with its end, its size cap, or a time limit: a writer that never finishes
// cannot hold the reader.
TEST(DeckImageTest, StreamsAreBoundedInSizeAndTime) {
  using namespace std::chrono_literals;
  struct Pipe {
    int fds[2];
    Pipe() { EXPECT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0); }
    ~Pipe() {
      ::close(fds[0]);
      if (fds[1] >= 0) ::close(fds[1]);
    }
    void write(const std::string& bytes) {
      EXPECT_EQ(::write(fds[1], bytes.data(), bytes.size()), (ssize_t)bytes.size());
    }
    void end() {
      ::close(fds[1]);
      fds[1] = -1;
    }
  };
  {
    Pipe pipe; // written and ended: read whole
    pipe.write("GIF89a;");
    pipe.end();
    auto result = DeckImageFromStream(pipe.fds[0], "standard input", 200ms, 1s);
    ASSERT_TRUE(std::holds_alternative<std::string>(result));
    EXPECT_EQ(std::get<std::string>(result), "data:image/gif;base64,R0lGODlhOw==");
  }
  {
    Pipe pipe; // data, then silence with the writer still there
    pipe.write("GIF89a");
    auto started = std::chrono::steady_clock::now();
    auto result = DeckImageFromStream(pipe.fds[0], "standard input", 200ms, 10s);
    ASSERT_TRUE(std::holds_alternative<DeckImageError>(result));
    EXPECT_EQ(std::get<DeckImageError>(result).reason,
              "standard input: no data for 200 ms (is anything writing to it?)");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  }
  {
    testsupport::TempDir dir; // a file past the cap as standard input: the cap, not the end
    const std::string path = dir.path() + "/big";
    std::ofstream(path, std::ios::binary) << "GIF89a" << std::string(kMaxImageBytes, 'x');
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    auto result = DeckImageFromStream(fd, "standard input", 1s, 10s);
    ::close(fd);
    ASSERT_TRUE(std::holds_alternative<DeckImageError>(result));
    EXPECT_EQ(std::get<DeckImageError>(result).reason, "standard input: the image is larger than 8 MiB");
  }
}

} // namespace
