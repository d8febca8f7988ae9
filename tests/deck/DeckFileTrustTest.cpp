#include "deck/DeckFileTrust.hpp"

#include "support/TempDir.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using deck::DeckUntrustedFileReason;

constexpr uid_t kOtherUser = 54321; // an owner that is neither the user nor root

// Each case builds its own files in a fresh folder; `file` is the path checked, relative to it.
// The temporary folders themselves sit in /tmp, which is root's and sticky.
TEST(DeckFileTrustTest, TheFileAndEveryFolderOnItsWayBelongToTheUserAndOnlyTheyCanWriteThem) {
  const bool root = ::geteuid() == 0;
  struct Case {
    const char* name;
    std::function<void(const std::string& dir)> make;
    const char* file;
    bool secret;
    const char* reason; // "" when trusted; else a part of the sentence
    bool needsRoot = false;
  };
  auto write = [](const std::string& path, mode_t mode) {
    ASSERT_TRUE(testsupport::WriteFile(path, "[keys]\n"));
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
  };
  auto folder = [](const std::string& path, mode_t mode) {
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
  };
  auto link = [](const std::string& target, const std::string& path) {
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
  };
  auto own = [](const std::string& path, uid_t uid) { ASSERT_EQ(::lchown(path.c_str(), uid, -1), 0); };
  const Case cases[] = {
      {"private file", [&](auto& d) { write(d + "/f", 0600); }, "f", false, ""},
      {"readable file", [&](auto& d) { write(d + "/f", 0644); }, "f", false, ""},
      {"group-writable", [&](auto& d) { write(d + "/f", 0664); }, "f", false,
       "it can be written by its group (mode 0664; chmod go-w "},
      {"world-writable", [&](auto& d) { write(d + "/f", 0646); }, "f", false,
       "it can be written by everybody"},
      {"secret readable", [&](auto& d) { write(d + "/f", 0640); }, "f", true,
       "holds a secret but can be read by others than its owner (mode 0640"},
      {"secret private", [&](auto& d) { write(d + "/f", 0600); }, "f", true, ""},
      {"missing", [&](auto&) {}, "f", false, "cannot check "},
      {"a FIFO", [&](auto& d) { ASSERT_EQ(::mkfifo((d + "/f").c_str(), 0600), 0); }, "f", false,
       "it is not a regular file"},
      {"a folder", [&](auto& d) { folder(d + "/f", 0700); }, "f", false, "it is not a regular file"},
      {"open folder", [&](auto& d) { folder(d + "/o", 0777), write(d + "/o/f", 0600); }, "o/f", false,
       "/o on its way can be written by its group and everybody (mode 0777"},
      {"group folder", [&](auto& d) { folder(d + "/o", 0770), write(d + "/o/f", 0600); }, "o/f", false,
       "/o on its way can be written by its group (mode 0770"},
      {"sticky folder of the user", [&](auto& d) { folder(d + "/o", 01777), write(d + "/o/f", 0600); }, "o/f",
       false, "/o on its way can be written", /*needsRoot=*/false},
      {"a link in an open folder",
       [&](auto& d) { write(d + "/f", 0600), folder(d + "/o", 0777), link(d + "/f", d + "/o/l"); }, "o/l",
       false, "/o on its way can be written"},
      {"a link to a good file", [&](auto& d) { write(d + "/f", 0600), link("f", d + "/l"); }, "l", false, ""},
      {"a link to a bad file", [&](auto& d) { write(d + "/f", 0666), link("f", d + "/l"); }, "l", false,
       "it leads to "},
      {"a link through an open folder",
       [&](auto& d) {
         folder(d + "/o", 0777), folder(d + "/o/p", 0700), write(d + "/o/p/f", 0600),
             link(d + "/o/p", d + "/l");
       },
       "l/f", false, "/o on its way can be written"},
      {"a loop", [&](auto& d) { link("l", d + "/l"); }, "l", false, "too many symbolic links"},
      {"dot-dot back out of a folder", [&](auto& d) { write(d + "/f", 0600), folder(d + "/p", 0700); },
       "p/../f", false, ""},
      {"another user's file", [&](auto& d) { write(d + "/f", 0600), own(d + "/f", kOtherUser); }, "f", false,
       "it belongs to uid 54321, not to you or root", true},
      {"a link to another user's file",
       [&](auto& d) { write(d + "/f", 0600), own(d + "/f", kOtherUser), link(d + "/f", d + "/l"); }, "l",
       false, ", which belongs to uid 54321", true},
      {"another user's folder",
       [&](auto& d) { folder(d + "/o", 0755), write(d + "/o/f", 0600), own(d + "/o", kOtherUser); }, "o/f",
       false, "/o on its way belongs to uid 54321", true},
      {"a sticky folder of root's", [&](auto& d) { folder(d + "/o", 01777), write(d + "/o/f", 0600); }, "o/f",
       false, "", true},
      {"another user's link in a sticky folder to the user's file",
       [&](auto& d) {
         write(d + "/f", 0600), folder(d + "/o", 01777), link(d + "/f", d + "/o/l"),
             own(d + "/o/l", kOtherUser);
       },
       "o/l", false, "", true},
  };
  for (const Case& c : cases) {
    // Root owns what it makes: the sticky folder is then root's and trusted.
    if (c.needsRoot && !root) continue;
    if (std::string(c.name) == "sticky folder of the user" && root) continue;
    testsupport::TempDir dir;
    c.make(dir.path());
    const std::string path = dir.file(c.file);
    const auto reason = DeckUntrustedFileReason(path, c.secret);
    if (!*c.reason) {
      EXPECT_EQ(reason, std::nullopt) << c.name;
      continue;
    }
    ASSERT_TRUE(reason) << c.name;
    EXPECT_TRUE(reason->starts_with(path + ": not trusted: ")) << c.name << ": " << *reason;
    EXPECT_NE(reason->find(c.reason), std::string::npos) << c.name << ": " << *reason;
  }
}

} // namespace
