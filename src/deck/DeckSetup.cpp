#include "deck/DeckSetup.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace deck {

namespace {

constexpr const char* kName = "zorbel-deck";
constexpr const char* kUnit = "zorbel-deck.service";
// What makes a unit file ours, whichever version of it is installed.
constexpr const char* kUnitMarks[] = {"Description=Zorbel Stream Deck scripting engine",
                                      "ExecStart=%h/.local/bin/zorbel-deck run"};
constexpr std::size_t kMaxUnitBytes = 64 * 1024;

class Descriptor {
public:
  explicit Descriptor(int fd = -1) : _fd(fd) {}
  ~Descriptor() {
    if (_fd >= 0) ::close(_fd);
  }
  Descriptor(Descriptor&& other) noexcept : _fd(other._fd) { other._fd = -1; }
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(_fd, other._fd);
    return *this;
  }
  int get() const { return _fd; }
  explicit operator bool() const { return _fd >= 0; }

private:
  int _fd;
};

std::string Error(int error) { return std::strerror(error); }

// The folder `names` below `base` (its path `basePath`, for messages), each opened without
// following a link; missing ones are made (0755) when `create`. nullopt with `why` set when one
// is a link or not a folder; an empty descriptor without `why` when one is missing.
Descriptor OpenBelow(int base, const std::string& basePath, const std::vector<std::string>& names,
                     bool create, std::string& why) {
  Descriptor current(::fcntl(base, F_DUPFD_CLOEXEC, 3));
  std::string path = basePath;
  for (auto& name : names) {
    path += "/" + name;
    int fd = ::openat(current.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && create) {
      if (::mkdirat(current.get(), name.c_str(), 0755) != 0 && errno != EEXIST) {
        why = path + ": cannot make the folder: " + Error(errno);
        return Descriptor();
      }
      fd = ::openat(current.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) {
      if (errno == ENOENT && !create) return Descriptor();
      why = path +
            (errno == ELOOP || errno == ENOTDIR
                 ? ": is a symbolic link or not a folder; left alone (setup follows no link it did not make)"
                 : ": " + Error(errno));
      return Descriptor();
    }
    current = Descriptor(fd);
  }
  return current;
}

Descriptor OpenFolder(const std::string& path, bool create, std::string& why) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT && create && ::mkdir(path.c_str(), 0700) == 0)
    fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && !(errno == ENOENT && !create)) why = path + ": " + Error(errno);
  return Descriptor(fd);
}

// The link at `name` in `folder`: its target, nullopt when there is nothing there; `isLink`
// false when something else is there.
std::optional<std::string> ReadLink(int folder, const char* name, bool& isLink) {
  char target[PATH_MAX];
  ssize_t n = ::readlinkat(folder, name, target, sizeof target - 1);
  isLink = n >= 0;
  if (n >= 0) return std::string(target, static_cast<std::size_t>(n));
  if (errno == ENOENT) return std::nullopt;
  return std::string(); // something that is not a link
}

bool LinksToAZorbelDeck(const std::string& target) {
  return target == kName || target.ends_with(std::string("/") + kName);
}

// The contents of a regular file, read without following a link or blocking; nullopt when it is
// not a regular file or larger than `limit`.
std::optional<std::string> ReadRegular(int folder, const std::string& name, std::size_t limit) {
  Descriptor fd(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<std::size_t>(info.st_size) > limit)
    return std::nullopt;
  std::string bytes;
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return bytes;
    bytes.append(buffer, static_cast<std::size_t>(n));
    if (bytes.size() > limit) return std::nullopt;
  }
}

bool IsOurUnit(const std::string& text) {
  for (auto* mark : kUnitMarks)
    if (text.find(mark) != std::string::npos) return true;
  return false;
}

// Writes `text` to `name` in `folder` through a file beside it, renamed over it at the end.
std::optional<std::string> WriteReplacing(int folder, const std::string& name, const std::string& text) {
  const std::string temporary = name + ".new." + std::to_string(::getpid());
  ::unlinkat(folder, temporary.c_str(), 0);
  Descriptor fd(
      ::openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd) return Error(errno);
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      ::unlinkat(folder, temporary.c_str(), 0);
      return Error(error);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fchmod(fd.get(), 0644) != 0 || ::fsync(fd.get()) != 0 ||
      ::renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) {
    int error = errno;
    ::unlinkat(folder, temporary.c_str(), 0);
    return Error(error);
  }
  return std::nullopt;
}

struct Run {
  std::ostringstream out, errors;
  int status = 0;
  void said(const std::string& line) { out << line << "\n"; }
  void failed(const std::string& line) {
    errors << "zorbel-deck setup: " << line << "\n";
    status = 1;
  }
  DeckSetupReport report() const { return {status, out.str(), errors.str()}; }
};

// The folder the unit goes into: configHome/systemd/user, or home/.config/systemd/user.
Descriptor UnitFolder(const DeckSetupPlaces& places, int home, bool create, std::string& path,
                      std::string& why) {
  if (places.configHome.empty()) {
    path = places.home + "/.config/systemd/user";
    return OpenBelow(home, places.home, {".config", "systemd", "user"}, create, why);
  }
  path = places.configHome + "/systemd/user";
  Descriptor config = OpenFolder(places.configHome, create, why);
  if (!config) return Descriptor();
  return OpenBelow(config.get(), places.configHome, {"systemd", "user"}, create, why);
}

void Install(const DeckSetupPlaces& places, int home, Run& run) {
  const std::string target = places.bundle + "/" + kName;
  const std::string binPath = places.home + "/.local/bin";
  std::string why;
  if (::access(target.c_str(), X_OK) != 0) {
    run.failed(target + ": " + Error(errno) + " (run setup from the unpacked bundle)");
    return;
  }
  // Both pieces come from the bundle: without its unit nothing is done.
  Descriptor bundle = OpenFolder(places.bundle, false, why);
  auto unit = bundle ? ReadRegular(bundle.get(), kUnit, kMaxUnitBytes) : std::nullopt;
  if (!unit) {
    run.failed(places.bundle + "/" + kUnit +
               ": not found or not a regular file (run setup from the unpacked bundle); nothing done");
    return;
  }
  // The command.
  if (Descriptor bin = OpenBelow(home, places.home, {".local", "bin"}, true, why)) {
    bool isLink = false;
    auto existing = ReadLink(bin.get(), kName, isLink);
    if (existing && !isLink) {
      run.failed(binPath + "/" + kName +
                 " exists and is not a link; left alone (remove it, then run setup again)");
    } else if (existing && !LinksToAZorbelDeck(*existing)) {
      run.failed(binPath + "/" + kName + " links to " + *existing + ", not to a zorbel-deck; left alone");
    } else if (existing && *existing == target) {
      run.said("The command " + binPath + "/" + kName + " already links to " + target);
    } else {
      const std::string temporary = std::string(kName) + ".new." + std::to_string(::getpid());
      ::unlinkat(bin.get(), temporary.c_str(), 0);
      if (::symlinkat(target.c_str(), bin.get(), temporary.c_str()) != 0 ||
          ::renameat(bin.get(), temporary.c_str(), bin.get(), kName) != 0) {
        run.failed(binPath + "/" + kName + ": " + Error(errno));
        ::unlinkat(bin.get(), temporary.c_str(), 0);
      } else {
        run.said("Linked the command " + binPath + "/" + kName + " to " + target);
      }
    }
  } else {
    run.failed(why);
  }
  // The unit.
  std::string unitPath;
  why.clear();
  Descriptor folder = UnitFolder(places, home, true, unitPath, why);
  if (!folder) {
    run.failed(why);
    return;
  }
  struct stat info {};
  if (::fstatat(folder.get(), kUnit, &info, AT_SYMLINK_NOFOLLOW) == 0) {
    auto current = ReadRegular(folder.get(), kUnit, kMaxUnitBytes);
    if (!current || !IsOurUnit(*current)) {
      run.failed(unitPath + "/" + kUnit + " is not the unit setup installs; left alone");
      return;
    }
    if (*current == *unit) {
      run.said("The user unit " + unitPath + "/" + kUnit + " is already installed");
      return;
    }
  }
  if (auto error = WriteReplacing(folder.get(), kUnit, *unit)) {
    run.failed(unitPath + "/" + kUnit + ": " + *error);
    return;
  }
  run.said("Installed the user unit " + unitPath + "/" + kUnit + " (it runs " + binPath + "/" + kName +
           " run)");
}

void Uninstall(const DeckSetupPlaces& places, int home, Run& run) {
  const std::string binPath = places.home + "/.local/bin";
  std::string unitPath, unitWhy;
  Descriptor folder = UnitFolder(places, home, false, unitPath, unitWhy);
  // Enabled, the unit is linked from default.target.wants: removing it would leave that link
  // behind, and systemctl can no longer disable what it cannot find. Nothing is removed then.
  struct stat info {};
  std::string wantsWhy;
  if (folder) {
    if (Descriptor wants = OpenBelow(folder.get(), unitPath, {"default.target.wants"}, false, wantsWhy);
        wants && ::fstatat(wants.get(), kUnit, &info, AT_SYMLINK_NOFOLLOW) == 0) {
      run.failed("the unit is enabled; first run: systemctl --user disable --now zorbel-deck");
      return;
    }
  }

  std::string why;
  Descriptor bin = OpenBelow(home, places.home, {".local", "bin"}, false, why);
  if (!why.empty()) run.failed(why);
  bool isLink = false;
  auto existing = bin ? ReadLink(bin.get(), kName, isLink) : std::nullopt;
  if (!existing) {
    if (why.empty()) run.said("No " + binPath + "/" + kName + " to remove");
  } else if (!isLink || !LinksToAZorbelDeck(*existing)) {
    run.failed(binPath + "/" + kName + " is not a link to a zorbel-deck; left alone");
  } else if (::unlinkat(bin.get(), kName, 0) != 0) {
    run.failed(binPath + "/" + kName + ": " + Error(errno));
  } else {
    run.said("Removed the link " + binPath + "/" + kName + " (to " + *existing + ")");
  }

  if (!unitWhy.empty()) {
    run.failed(unitWhy);
    return;
  }
  if (!folder || ::fstatat(folder.get(), kUnit, &info, AT_SYMLINK_NOFOLLOW) != 0) {
    run.said("No user unit " + unitPath + "/" + kUnit + " to remove");
    return;
  }
  auto current = ReadRegular(folder.get(), kUnit, kMaxUnitBytes);
  if (!current || !IsOurUnit(*current)) {
    run.failed(unitPath + "/" + kUnit + " is not the unit setup installs; left alone");
    return;
  }
  if (::unlinkat(folder.get(), kUnit, 0) != 0) {
    run.failed(unitPath + "/" + kUnit + ": " + Error(errno));
    return;
  }
  run.said("Removed the user unit " + unitPath + "/" + kUnit);
  run.said("If it was running: systemctl --user stop zorbel-deck; systemctl --user daemon-reload");
}

bool OnPath(const std::string& path, const std::string& folder) {
  std::size_t start = 0;
  for (;;) {
    auto end = path.find(':', start);
    std::string entry = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    while (entry.size() > 1 && entry.back() == '/') entry.pop_back();
    if (entry == folder) return true;
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

} // namespace

DeckSetupReport DeckSetup(const DeckSetupPlaces& places, bool uninstall) {
  Run run;
  if (places.home.empty() || places.home[0] != '/') {
    run.failed("HOME is not set to an absolute folder: nothing done");
    return run.report();
  }
  std::string why;
  Descriptor home = OpenFolder(places.home, false, why);
  if (!home) {
    run.failed(why.empty() ? places.home + ": missing" : why);
    return run.report();
  }
  if (uninstall) {
    Uninstall(places, home.get(), run);
    return run.report();
  }
  Install(places, home.get(), run);
  if (run.status == 0) {
    run.said("Start the engine now and at every login: systemctl --user daemon-reload && systemctl --user "
             "enable --now zorbel-deck");
    if (!OnPath(places.path, places.home + "/.local/bin"))
      run.said(places.home +
               "/.local/bin is not on your PATH yet, so a shell does not find zorbel-deck: "
               "Debian's ~/.profile adds it at the next login now that it exists; elsewhere add the line\n"
               "  export PATH=\"$HOME/.local/bin:$PATH\"\n"
               "to ~/.profile (or your shell's start-up file) and log in again.");
  }
  return run.report();
}

DeckSetupPlaces DeckSetupPlacesOfThisProcess() {
  DeckSetupPlaces places;
  char executable[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", executable, sizeof executable - 1);
  if (n > 0) {
    std::string path(executable, static_cast<std::size_t>(n));
    places.bundle = path.substr(0, path.rfind('/'));
  }
  if (const char* home = std::getenv("HOME")) places.home = home;
  while (places.home.size() > 1 && places.home.back() == '/') places.home.pop_back();
  // XDG: a relative or empty XDG_CONFIG_HOME is ignored.
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/')
    places.configHome = config;
  if (const char* path = std::getenv("PATH")) places.path = path;
  return places;
}

} // namespace deck
