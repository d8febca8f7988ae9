#include "deck/DeckSetup.hpp"

#include "support/TempDir.hpp"

#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace deck;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

const std::string kUnitText = "[Unit]\nDescription=Zorbel Stream Deck scripting engine (zorbel-deck run)\n"
                              "[Service]\nExecStart=%h/.local/bin/zorbel-deck run\n";

std::string LinkOf(const std::string& path) {
  char target[4096];
  ssize_t n = ::readlink(path.c_str(), target, sizeof target);
  return n < 0 ? std::string() : std::string(target, static_cast<std::size_t>(n));
}

// A temporary home with a bundle in it; what setup does there, and what a planted link or a
// foreign file makes it leave alone.
struct Home {
  TempDir dir;
  DeckSetupPlaces places;
  Home() {
    ::mkdir(dir.file("bundle").c_str(), 0755);
    ::mkdir(dir.file("home").c_str(), 0755);
    WriteFile(dir.file("bundle/zorbel-deck"), "#!/bin/sh\n");
    ::chmod(dir.file("bundle/zorbel-deck").c_str(), 0755);
    WriteFile(dir.file("bundle/zorbel-deck.service"), kUnitText);
    places = {dir.file("bundle"), dir.file("home"), "", "/usr/bin:/bin"};
  }
  std::string link() const { return dir.file("home/.local/bin/zorbel-deck"); }
  std::string unit() const { return dir.file("home/.config/systemd/user/zorbel-deck.service"); }
};

TEST(DeckSetupTest, InstallsLinkAndUnitAndUndoesExactlyThat) {
  Home home;
  auto first = DeckSetup(home.places, false);
  EXPECT_EQ(first.status, 0) << first.errors;
  EXPECT_EQ(LinkOf(home.link()), home.dir.file("bundle/zorbel-deck"));
  EXPECT_EQ(ReadFile(home.unit()), kUnitText);
  struct stat info {};
  ASSERT_EQ(::stat(home.unit().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);
  EXPECT_NE(first.text.find("Linked the command " + home.link()), std::string::npos) << first.text;
  EXPECT_NE(first.text.find("systemctl --user enable --now zorbel-deck"), std::string::npos);
  EXPECT_NE(first.text.find("is not on your PATH"), std::string::npos);

  // Again, with ~/.local/bin on PATH: nothing changes, and nothing about PATH is said.
  home.places.path = "/usr/bin:" + home.dir.file("home/.local/bin/");
  auto again = DeckSetup(home.places, false);
  EXPECT_EQ(again.status, 0) << again.errors;
  EXPECT_NE(again.text.find("already links"), std::string::npos) << again.text;
  EXPECT_NE(again.text.find("already installed"), std::string::npos) << again.text;
  EXPECT_EQ(again.text.find("PATH"), std::string::npos);

  // Enabled, the unit stays until it is disabled.
  ::mkdir(home.dir.file("home/.config/systemd/user/default.target.wants").c_str(), 0755);
  ::symlink(home.unit().c_str(),
            home.dir.file("home/.config/systemd/user/default.target.wants/zorbel-deck.service").c_str());
  auto enabled = DeckSetup(home.places, true);
  EXPECT_EQ(enabled.status, 1);
  EXPECT_NE(enabled.errors.find("systemctl --user disable --now zorbel-deck"), std::string::npos)
      << enabled.errors;
  EXPECT_EQ(ReadFile(home.unit()), kUnitText);
  ::unlink(home.dir.file("home/.config/systemd/user/default.target.wants/zorbel-deck.service").c_str());

  EXPECT_EQ(LinkOf(home.link()),
            home.dir.file("bundle/zorbel-deck")); // a refused uninstall keeps the link too
  auto removed = DeckSetup(home.places, true);
  EXPECT_EQ(removed.status, 0) << removed.errors;
  EXPECT_EQ(LinkOf(home.link()), "");
  EXPECT_NE(::access(home.unit().c_str(), F_OK), 0);
}

// What is not setup's own is never replaced, removed or written through.
TEST(DeckSetupTest, LeavesAloneWhatIsNotItsOwn) {
  const struct {
    const char* what;
    std::function<void(Home&)> plant;
    bool uninstall;
    std::string error;
    std::function<void(Home&)> check;
  } cases[] = {
      {"a file at the link",
       [](Home& h) {
         ::mkdir(h.dir.file("home/.local").c_str(), 0755);
         ::mkdir(h.dir.file("home/.local/bin").c_str(), 0755);
         WriteFile(h.link(), "mine");
       },
       false, "exists and is not a link", [](Home& h) { EXPECT_EQ(ReadFile(h.link()), "mine"); }},
      {"a link to something else",
       [](Home& h) {
         ::mkdir(h.dir.file("home/.local").c_str(), 0755);
         ::mkdir(h.dir.file("home/.local/bin").c_str(), 0755);
         ::symlink("/bin/true", h.link().c_str());
       },
       true, "not a link to a zorbel-deck", [](Home& h) { EXPECT_EQ(LinkOf(h.link()), "/bin/true"); }},
      {"~/.local/bin planted as a link",
       [](Home& h) {
         ::mkdir(h.dir.file("victim").c_str(), 0755);
         ::mkdir(h.dir.file("home/.local").c_str(), 0755);
         ::symlink(h.dir.file("victim").c_str(), h.dir.file("home/.local/bin").c_str());
       },
       false, "is a symbolic link",
       [](Home& h) {
         EXPECT_NE(::access(h.dir.file("victim/zorbel-deck").c_str(), F_OK), 0);
         EXPECT_EQ(ReadFile(h.unit()), kUnitText); // the unit is still installed
       }},
      {"the unit planted as a link to another file",
       [](Home& h) {
         WriteFile(h.dir.file("victim.txt"), "precious");
         ::mkdir(h.dir.file("home/.config").c_str(), 0755);
         ::mkdir(h.dir.file("home/.config/systemd").c_str(), 0755);
         ::mkdir(h.dir.file("home/.config/systemd/user").c_str(), 0755);
         ::symlink(h.dir.file("victim.txt").c_str(), h.unit().c_str());
       },
       false, "is not the unit setup installs",
       [](Home& h) { EXPECT_EQ(ReadFile(h.dir.file("victim.txt")), "precious"); }},
      {"~/.config/systemd planted as a link, on uninstall",
       [](Home& h) {
         ::mkdir(h.dir.file("victim").c_str(), 0755);
         ::mkdir(h.dir.file("victim/user").c_str(), 0755);
         WriteFile(h.dir.file("victim/user/zorbel-deck.service"), kUnitText);
         ::mkdir(h.dir.file("home/.config").c_str(), 0755);
         ::symlink(h.dir.file("victim").c_str(), h.dir.file("home/.config/systemd").c_str());
       },
       true, "is a symbolic link",
       [](Home& h) { EXPECT_EQ(ReadFile(h.dir.file("victim/user/zorbel-deck.service")), kUnitText); }},
      {"a unit of someone else's",
       [](Home& h) {
         ::mkdir(h.dir.file("home/.config").c_str(), 0755);
         ::mkdir(h.dir.file("home/.config/systemd").c_str(), 0755);
         ::mkdir(h.dir.file("home/.config/systemd/user").c_str(), 0755);
         WriteFile(h.unit(), "[Service]\nExecStart=/usr/bin/other\n");
       },
       true, "is not the unit setup installs",
       [](Home& h) { EXPECT_EQ(ReadFile(h.unit()), "[Service]\nExecStart=/usr/bin/other\n"); }},
  };
  for (auto& c : cases) {
    Home home;
    c.plant(home);
    auto report = DeckSetup(home.places, c.uninstall);
    EXPECT_EQ(report.status, 1) << c.what;
    EXPECT_NE(report.errors.find(c.error), std::string::npos) << c.what << ": " << report.errors;
    c.check(home);
  }
}

// An absolute XDG_CONFIG_HOME holds the unit; no HOME is a refusal.
TEST(DeckSetupTest, PlacesFollowTheEnvironment) {
  Home home;
  home.places.configHome = home.dir.file("config");
  EXPECT_EQ(DeckSetup(home.places, false).status, 0);
  EXPECT_EQ(ReadFile(home.dir.file("config/systemd/user/zorbel-deck.service")), kUnitText);
  EXPECT_NE(::access(home.unit().c_str(), F_OK), 0);
  // Outside a bundle (no unit beside the program) nothing is done at all.
  ::unlink(home.dir.file("bundle/zorbel-deck.service").c_str());
  ::unlink(home.link().c_str());
  auto outside = DeckSetup(home.places, false);
  EXPECT_EQ(outside.status, 1);
  EXPECT_NE(outside.errors.find("run setup from the unpacked bundle"), std::string::npos) << outside.errors;
  EXPECT_EQ(LinkOf(home.link()), "");
  home.places.home = "";
  auto refused = DeckSetup(home.places, false);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.errors.find("HOME is not set"), std::string::npos);
}

} // namespace
