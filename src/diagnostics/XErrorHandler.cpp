// The logging facility: category checks against the "Debug" preference, repeat folding, a
// timestamped log file written by one serial queue, console echo, and start-up trimming.
//
// Ordering: one mutex (gFoldMutex) is held from the repeat check until the line has been
// handed to the writer, so lines reach the file in the order in which messages were accepted.
// The writer coalesces: lines accepted while a write is pending join that write, so a burst of
// messages costs one append instead of one per line, and callers never wait for the disk
// (except after Quitting()).
//
// The file is written only inside a log folder that belongs to the user and that nobody else
// may write to: the folder is opened once and checked, and every later operation on the file
// is made relative to that open folder, never through a path that could be changed meanwhile.
// The file is opened without following a symlink, must be a regular file, and is created with
// mode 0600. Its size is tracked as lines are appended (no stat per line); whenever it is over
// the threshold before a write, at start or while running, it is trimmed to its tail first.
#include "diagnostics/XErrorHandler.hpp"

#include "diagnostics/ZBSystemFolderExtension.hpp"
#include "platform/Console.hpp"
#include "platform/Preferences.hpp"
#include "platform/Queue.hpp"
#include "platform/UTF8.hpp"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#ifndef ZB_SOURCE_PREFIX
#define ZB_SOURCE_PREFIX ""
#endif

namespace {

constexpr std::size_t MAXCODELEN = 100;
constexpr std::size_t kMaxDebugBytes = 252; // what fits the original 256-byte list with its spaces
constexpr const char* kPreferencesDomain = "com.zorbel.streamdeck";
constexpr const char* kLogFileQueueLabel = "com.zorbel.streamdeck.logfile";
constexpr const char* kLogFolderName = "Zorbel";
constexpr const char* kLogFileName = "StreamDeck.log";
constexpr off_t kTrimThreshold = 13'000'000;        // trim when the file is larger than this
constexpr off_t kTrimKeep = 7'000'000;              // ... keeping at most this many bytes of its end
constexpr std::size_t kMaxMessageBytes = 64 * 1024; // one message, with its cut marker, at most
constexpr std::chrono::milliseconds kFlushDelay{2}; // lines reach the file this late at most
constexpr std::string_view kUnfoldedPrefix = "Execute macro ";
constexpr const char* kAssertFormat = "Assertion Failed: %s, %s file: %s:%ld, value: %ld";
constexpr std::string_view kEllipsisSlash = "\xE2\x80\xA6/"; // "…/"

// ---- preferences ----------------------------------------------------------------------------

std::once_flag gShouldOnce;
char gShould[256] = {}; // "" or " " + Debug + " "; written once inside gShouldOnce
std::once_flag gZanyOnce;
bool gZany = false;
std::atomic<bool> gPreferencesRead{false}; // both of the above are final

// ---- folding and the writer -----------------------------------------------------------------

std::mutex gFoldMutex;
std::int32_t gRepeatCount = 0;
std::time_t gStampSecond = -1; // the second gStamp was made for
char gStamp[100] = {};

std::once_flag gLogFileOnce;
std::atomic<platform::SerialQueue*> gLogFileQueue{nullptr}; // never destroyed
std::atomic<bool> gQuitting{false};

std::mutex gPendingMutex;
bool gFlushQueued = false; // a flush task is queued and has not taken the pending lines yet

// Set once, before the writer queue exists; used only by the writer queue afterwards.
int gLogFolder = -1; // the checked log folder, open; -1: no file logging
off_t gLogSize = 0;  // the log file's size as far as this process knows (writer queue only)

// State with destructors lives on the heap and is never destroyed: the writer queue and other
// threads may still log while the process runs its exit handlers.
struct Strings {
  std::optional<std::string> lastMessage; // the last message written, for repeat folding
  std::string pending;                    // lines accepted but not yet written, each with its "\n"
};

Strings& G() {
  static Strings* strings = new Strings;
  return *strings;
}

/// "always", "display" or "debug": written whatever the preferences say.
bool IsAlwaysWritten(const char* code) {
  switch (code[0]) {
  case 'a':
    return std::strcmp(code, "always") == 0;
  case 'd':
    return std::strcmp(code, "display") == 0 || std::strcmp(code, "debug") == 0;
  default:
    return false;
  }
}

void ReadDebugPreference() {
  auto value = platform::PreferenceValue("Debug", kPreferencesDomain);
  if (!value.is_string()) return;
  const auto& text = value.get_ref<const std::string&>();
  if (text.empty() || text.size() > kMaxDebugBytes) return;
  std::snprintf(gShould, sizeof gShould, " %s ", text.c_str()); // fits: at most 252 + 2 + 1 bytes
}

void ReadZanyPreference() {
  // Linux has no separate per-application domain: "Zany" lives in the plug-in's own file.
  auto value = platform::PreferenceValue("Zany", kPreferencesDomain);
  gZany = value.is_boolean() && value.get<bool>();
}

// ---- the log file ---------------------------------------------------------------------------

/// Creates every missing folder of `path` with mode 0700 (the XDG rule for state folders), so
/// that a fresh account whose state folder does not exist yet still gets its log.
void CreateFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string prefix = path.substr(0, slash);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return;
    if (slash == std::string::npos) return;
  }
}

std::string LogsFolderPath() {
  auto folder = ZBSystemFolderExtension::pathForSystemFolder(ZBSystemFolder::UserLogs, kLogFolderName, false);
  if (!folder) return {};
  CreateFolders(*folder);
  return *folder;
}

/// Opens and checks the log folder: it must be a folder of this user that neither its group
/// nor others may write to, or files in it could be replaced or linked elsewhere by someone
/// else. A refused folder is said once on the console (the log itself is unusable); a folder
/// that cannot be made or opened at all drops the lines silently, as a full disk does.
int OpenLogFolder() {
  std::string path = LogsFolderPath();
  if (path.empty()) return -1;
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat info {};
  std::string refusal;
  if (::fstat(fd, &info) != 0) {
    refusal = "it cannot be examined";
  } else if (info.st_uid != ::geteuid()) {
    refusal = "it belongs to another user (uid " + std::to_string(info.st_uid) + ")";
  } else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    refusal = std::string("its group or others may write to it (mode ") + mode + ")";
  }
  if (refusal.empty()) return fd;
  ::close(fd);
  platform::ConsoleLog("Not writing the log file: the log folder " + path + " is not safe: " + refusal);
  return -1;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

/// Keeps the file below its size limit: when it is larger than the threshold, only what follows
/// the first run of line feeds in its last kTrimKeep bytes is kept, so it starts with a line.
/// A symlink, or anything else that is not a regular file, at the log's name is left alone.
void TrimLogFile() {
  int fd = ::openat(gLogFolder, kLogFileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    gLogSize = 0;
    return;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return;
  }
  gLogSize = info.st_size;
  if (info.st_size <= kTrimThreshold) {
    ::close(fd);
    return;
  }
  std::string tail(static_cast<std::size_t>(kTrimKeep), '\0');
  std::size_t got = 0;
  off_t offset = info.st_size - kTrimKeep;
  while (got < tail.size()) {
    ssize_t n = ::pread(fd, tail.data() + got, tail.size() - got, offset + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  tail.resize(got);

  std::size_t start = tail.find('\n');
  start = start == std::string::npos ? tail.size() : tail.find_first_not_of('\n', start);
  if (start == std::string::npos) start = tail.size();

  // Atomic replacement: a private sibling file, renamed over the log once it is complete.
  std::string temporary;
  int out = -1;
  for (int attempt = 0; out < 0 && attempt < 100; ++attempt) {
    temporary = std::string(".") + kLogFileName + ".trim-" + std::to_string(::getpid()) + "-" +
                std::to_string(attempt);
    out = ::openat(gLogFolder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0 && errno != EEXIST) return;
  }
  if (out < 0) return;
  bool ok = WriteAll(out, tail.data() + start, tail.size() - start);
  if (::close(out) != 0) ok = false;
  // Only the file that was read is replaced: not one that took its name meanwhile.
  struct stat now {};
  ok = ok && ::fstatat(gLogFolder, kLogFileName, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
       now.st_dev == info.st_dev && now.st_ino == info.st_ino;
  if (!ok || ::renameat(gLogFolder, temporary.c_str(), gLogFolder, kLogFileName) != 0) {
    ::unlinkat(gLogFolder, temporary.c_str(), 0);
    return;
  }
  gLogSize = static_cast<off_t>(tail.size() - start);
}

/// Appends `lines` to the log file, creating it (mode 0600) when it is missing. Anything but a
/// regular file at its name, a symlink included, refuses the lines.
bool AppendToLogFile(const std::string& lines) {
  constexpr int kFlags = O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = ::openat(gLogFolder, kLogFileName, kFlags, 0600);
  if (fd < 0) return false;
  struct stat info {};
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && WriteAll(fd, lines.data(), lines.size());
  if (::close(fd) != 0 && errno != EINTR) ok = false; // NFS and friends report write errors here
  return ok;
}

void FlushPending() {
  std::string lines;
  {
    std::lock_guard lock(gPendingMutex);
    lines.swap(G().pending);
    gFlushQueued = false;
  }
  if (lines.empty() || gLogFolder < 0) return;
  // The rule of the start applies before every write: a file found larger than the threshold
  // is trimmed first, so a file of exactly the threshold is left alone by the next write.
  if (gLogSize > kTrimThreshold) TrimLogFile();
  // A failed write (a directory in the file's place, a full disk) drops the lines.
  if (AppendToLogFile(lines)) gLogSize += static_cast<off_t>(lines.size());
}

platform::SerialQueue& LogFileQueue() {
  std::call_once(gLogFileOnce, [] {
    gLogFolder = OpenLogFolder();
    auto* queue = new platform::SerialQueue(kLogFileQueueLabel);
    queue->async([] { // before the first line is appended
      if (gLogFolder >= 0) TrimLogFile();
    });
    gLogFileQueue.store(queue, std::memory_order_release);
  });
  return *gLogFileQueue.load(std::memory_order_acquire);
}

/// Hands one line to the writer. Called with gFoldMutex held, which fixes the lines' order.
void LogToLogFile(std::string_view line) {
  auto& queue = LogFileQueue();
  bool queueFlush = false;
  {
    std::lock_guard lock(gPendingMutex);
    G().pending.append(line);
    G().pending += '\n';
    if (!gFlushQueued) gFlushQueued = queueFlush = true;
  }
  // A short delay lets a burst of lines share one flush (and one wake-up of the writer) instead
  // of waking it for nearly every line; WaitIfQuitting() flushes at once.
  if (queueFlush) queue.after(kFlushDelay, FlushPending);
}

/// After Quitting(), every write is waited for before the logging call returns.
void WaitIfQuitting() {
  if (!gQuitting.load(std::memory_order_acquire)) return;
  if (auto* queue = gLogFileQueue.load(std::memory_order_acquire)) queue->sync(FlushPending);
}

// ---- message clean-up -------------------------------------------------------------------------

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  if (from.empty()) return;
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

/// Line endings become "\n"; the source tree's path becomes "…/".
void Clean(std::string& message) {
  if (message.find('\r') != std::string::npos) {
    ReplaceAll(message, "\r\n", "\n");
    std::replace(message.begin(), message.end(), '\r', '\n');
  }
  constexpr std::string_view prefix = ZB_SOURCE_PREFIX;
  if (prefix.size() > 1) ReplaceAll(message, prefix, kEllipsisSlash);
}

/// The "%F %T" local time of now; remade once per second. Called with gFoldMutex held.
const char* Timestamp() {
  std::time_t now = std::time(nullptr);
  if (now != gStampSecond) {
    std::tm local{};
    localtime_r(&now, &local);
    if (std::strftime(gStamp, sizeof gStamp, "%F %T", &local) == 0) gStamp[0] = '\0';
    gStampSecond = now;
  }
  return gStamp;
}

/// Cuts a message longer than kMaxMessageBytes, at a character boundary, and ends it with a
/// marker that says how many bytes were left out; the result is at most kMaxMessageBytes long.
void Cap(std::string& message) {
  if (message.size() <= kMaxMessageBytes) return;
  constexpr std::size_t kMarkerRoom = 48; // "… [" + up to 20 digits + " bytes left out]"
  std::size_t keep = kMaxMessageBytes - kMarkerRoom;
  while (keep > 0 && (static_cast<unsigned char>(message[keep]) & 0xC0) == 0x80) --keep;
  std::string marker = "\xE2\x80\xA6 [" + std::to_string(message.size() - keep) + " bytes left out]";
  message.resize(keep);
  message += marker;
}

} // namespace

namespace {

/// Writes one finished line of category `code`, which the caller has found enabled.
void WriteLine(const char* code, std::string line) {
  bool echo = code != nullptr && (std::strcmp(code, "always") == 0 || std::strcmp(code, "zany") == 0);
  if (!echo) echo = XErrorHandler::MaybeShouldLog("LOG");
  XErrorHandler::PrivateLogMessage(echo, std::move(line));
}

class LogFileSink final : public platform::LogSink {
public:
  bool enabled(const char* category) override { return XErrorHandler::MaybeShouldLog(category); }
  // The category is checked again here, as the facility always has: a malformed category is
  // reported by the caller's check and by this one.
  void write(const char* category, std::string line) override {
    if (XErrorHandler::MaybeShouldLog(category)) WriteLine(category, std::move(line));
  }
};

} // namespace

// ---- public calls -----------------------------------------------------------------------------

bool XErrorHandler::MaybeShouldLog(const char* code) {
  if (code == nullptr) code = "";
  std::size_t length = ::strnlen(code, MAXCODELEN);
  // The checks are reported with their historical text, which people search the logs for.
  if (length < 3) {
    XErrorHandlerDebugAssertMessage(kAssertFormat, "strlen( code ) >= 3", "", __FILE__,
                                    static_cast<long>(__LINE__), 0L);
    return true;
  }
  if (length >= MAXCODELEN) {
    XErrorHandlerDebugAssertMessage(kAssertFormat, "strlen( code ) < MAXCODELEN", "", __FILE__,
                                    static_cast<long>(__LINE__), 0L);
    return true;
  }
  if (IsAlwaysWritten(code)) return true;

  // Fast path once both preferences are known: a disabled category costs a few comparisons.
  if (!gPreferencesRead.load(std::memory_order_acquire)) {
    bool firstRead = false;
    std::call_once(gShouldOnce, [&] {
      ReadDebugPreference();
      firstRead = true;
    });
    // Outside the once-block: this log line checks "any", which comes back here.
    if (firstRead && MaybeShouldLog("any"))
      WriteLine("any", XLogFormat("Debugging level set to '%s'", gShould));
    IsZany();
    gPreferencesRead.store(true, std::memory_order_release);
  }

  if (gZany && std::strcmp(code, "zany") == 0) return true;
  if (gShould[0] == '\0') return false;
  if (std::strcmp(code, "any") == 0) return true;
  if (std::strcmp(gShould, " all ") == 0) return true;

  char spacecode[MAXCODELEN + 4];
  spacecode[0] = ' ';
  std::memcpy(spacecode + 1, code, length);
  spacecode[length + 1] = ' ';
  spacecode[length + 2] = '\0';
  return std::strstr(gShould, spacecode) != nullptr;
}

platform::LogSink& XErrorHandler::LogSink() {
  static auto* sink = new LogFileSink; // never destroyed: exit handlers and other threads may log
  return *sink;
}

void XErrorHandler::PrivateLogMessage(bool echo, std::string message) {
  Clean(message);
  Cap(message);
  std::optional<std::string> repeatLine;
  {
    std::lock_guard lock(gFoldMutex);
    if (G().lastMessage && *G().lastMessage == message) {
      ++gRepeatCount;
      return;
    }
    if (gRepeatCount > 0) {
      // The total number of occurrences, the first (written) one included.
      repeatLine =
          "Last message repeated " + std::to_string(static_cast<long long>(gRepeatCount) + 1) + " times";
      LogToLogFile(*repeatLine);
    }
    gRepeatCount = 0;
    if (message.starts_with(kUnfoldedPrefix))
      G().lastMessage.reset();
    else
      G().lastMessage = message;

    const char* stamp = Timestamp();
    std::string line;
    line.reserve(std::strlen(stamp) + 1 + message.size());
    line.append(stamp).append(" ").append(message);
    LogToLogFile(line);
  }
  if (echo) {
    if (repeatLine) platform::ConsoleLog(*repeatLine);
    platform::ConsoleLog(message);
  }
  WaitIfQuitting();
}

bool XErrorHandler::IsZany() {
  if (!gPreferencesRead.load(std::memory_order_acquire)) std::call_once(gZanyOnce, ReadZanyPreference);
  return gZany;
}

void XErrorHandler::Quitting() {
  gQuitting.store(true, std::memory_order_release);
  WaitIfQuitting();
}

void XErrorHandlerDebugAssertMessageList(const char* format, std::initializer_list<XLogArgument> args) {
  XErrorHandler::PrivateLogMessage(true, XLogFormatList(format, args));
}
