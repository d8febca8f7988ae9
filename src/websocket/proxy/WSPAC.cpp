#include "websocket/proxy/WSPAC.hpp"

#include "platform/Log.hpp"
#include "platform/UTF8.hpp"
#include "websocket/detail/WSURLUtilities.hpp"
#include "websocket/proxy/WSProxySettings.hpp"
#include "websocket/proxy/detail/WSHTTPDownload.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <duktape.h>

namespace {

const char* const kHelpers =
#include "websocket/proxy/WSPACHelpers.js.inc"
    ;

using Clock = std::chrono::steady_clock;

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

std::string Latin1ToUTF8(std::string_view text) {
  std::string out;
  for (char ch : text) {
    platform::AppendUTF8(out, static_cast<unsigned char>(ch)); // Latin-1 is U+0000..U+00FF
  }
  return out;
}

std::optional<std::string> ReadFileURL(std::string_view url) {
  std::string_view rest = url.substr(5); // after "file:"
  if (rest.rfind("//", 0) == 0) {
    rest.remove_prefix(2);
    const auto slash = rest.find('/');
    const std::string_view authority = rest.substr(0, slash);
    if (!authority.empty() && Lower(authority) != "localhost") return std::nullopt;
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
  }
  rest = rest.substr(0, rest.find_first_of("?#"));
  // Non-blocking: a FIFO without a writer reads as empty instead of stalling discovery.
  const int fd = open(WSPercentDecode(rest).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string body;
  bool failed = false;
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      failed = true;
      break;
    }
    if (n == 0) break;
    // The same cap as a download: /dev/zero or a huge file must not fill the memory.
    if (body.size() + static_cast<std::size_t>(n) > WSPACMaximumSize) {
      XLOG("WebSocket", "PAC file %s refused: larger than %zu bytes", WSURLForLog(url).c_str(),
           WSPACMaximumSize);
      failed = true;
      break;
    }
    body.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  if (failed) return std::nullopt;
  // The file's encoding is detected: UTF-8 (a byte-order mark is dropped), else Latin-1.
  if (body.rfind("\xEF\xBB\xBF", 0) == 0) body.erase(0, 3);
  return platform::IsValidUTF8(body) ? body : Latin1ToUTF8(body);
}

std::optional<std::string> Download(const std::string& url, std::chrono::milliseconds limit) {
  std::string failure;
  auto body = WSHTTPDownload(url, limit, WSPACMaximumSize, &failure);
  if (!body) {
    // The caller then connects directly.
    XLOG("WebSocket", "PAC file %s not downloaded: %s", WSURLForLog(url).c_str(), failure.c_str());
    return std::nullopt;
  }
  if (!platform::IsValidUTF8(*body)) return std::nullopt;
  return body;
}

// ---- The child process that runs the script ----

// Memory cap of the script's heap: enough for any real PAC file, small enough to stop a runaway.
constexpr std::size_t kHeapLimit = 64 * 1024 * 1024;
std::size_t gHeapUsed = 0;

void* CappedAlloc(void*, duk_size_t size) {
  if (gHeapUsed + size > kHeapLimit) return nullptr;
  auto* block = static_cast<std::size_t*>(std::malloc(size + sizeof(std::max_align_t)));
  if (!block) return nullptr;
  *block = size;
  gHeapUsed += size;
  return reinterpret_cast<char*>(block) + sizeof(std::max_align_t);
}
void CappedFree(void*, void* pointer) {
  if (!pointer) return;
  auto* block = reinterpret_cast<std::size_t*>(static_cast<char*>(pointer) - sizeof(std::max_align_t));
  gHeapUsed -= *block;
  std::free(block);
}
void* CappedRealloc(void* udata, void* pointer, duk_size_t size) {
  if (!pointer) return CappedAlloc(udata, size);
  if (size == 0) {
    CappedFree(udata, pointer);
    return nullptr;
  }
  auto* block = reinterpret_cast<std::size_t*>(static_cast<char*>(pointer) - sizeof(std::max_align_t));
  const std::size_t old = *block;
  if (size > old && gHeapUsed + (size - old) > kHeapLimit) return nullptr;
  auto* grown = static_cast<std::size_t*>(std::realloc(block, size + sizeof(std::max_align_t)));
  if (!grown) return nullptr;
  *grown = size;
  gHeapUsed = gHeapUsed - old + size;
  return reinterpret_cast<char*>(grown) + sizeof(std::max_align_t);
}

int gResultFd = -1;

void WriteAll(int fd, const std::string& text) {
  const char* data = text.data();
  std::size_t size = text.size();
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n <= 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

void Fatal(void*, const char* message) {
  WriteAll(gResultFd, std::string("E") + (message ? message : "fatal"));
  _exit(1);
}

duk_ret_t NativeDnsResolve(duk_context* ctx) {
  const std::string host = duk_safe_to_string(ctx, 0);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
    duk_push_null(ctx);
    return 1;
  }
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, text, sizeof text);
  freeaddrinfo(found);
  duk_push_string(ctx, text);
  return 1;
}

duk_ret_t NativeMyIpAddress(duk_context* ctx) {
  std::string address = "127.0.0.1";
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) == 0) {
    for (ifaddrs* i = list; i; i = i->ifa_next) {
      if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
      char text[INET_ADDRSTRLEN] = {};
      inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
      if (std::strncmp(text, "127.", 4) == 0) continue;
      address = text;
      break;
    }
    freeifaddrs(list);
  }
  duk_push_string(ctx, address.c_str());
  return 1;
}

std::string HostOfURL(const std::string& url) {
  std::string_view rest = url;
  if (const auto sep = rest.find("://"); sep != std::string_view::npos) rest.remove_prefix(sep + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (const auto at = rest.rfind('@'); at != std::string_view::npos) rest.remove_prefix(at + 1);
  if (!rest.empty() && rest.front() == '[') return std::string(rest.substr(1, rest.find(']') - 1));
  return std::string(rest.substr(0, rest.find(':')));
}

// Runs in the child: evaluates the helpers and the script, calls FindProxyForURL and writes
// "R<answer>" or "E<error>" to `fd`. Never returns.
[[noreturn]] void RunScriptInChild(int fd, const std::string& script, const std::string& url) {
  gResultFd = fd;
  duk_context* ctx = duk_create_heap(CappedAlloc, CappedRealloc, CappedFree, nullptr, Fatal);
  if (!ctx) Fatal(nullptr, "no heap");
  duk_push_c_function(ctx, NativeDnsResolve, 1);
  duk_put_global_string(ctx, "dnsResolve");
  duk_push_c_function(ctx, NativeMyIpAddress, 0);
  duk_put_global_string(ctx, "myIpAddress");
  if (duk_peval_string(ctx, kHelpers) != 0) Fatal(nullptr, duk_safe_to_string(ctx, -1));
  duk_pop(ctx);
  duk_push_string(ctx, script.c_str());
  duk_push_string(ctx, "pac");
  if (duk_pcompile(ctx, 0) != 0 || duk_pcall(ctx, 0) != 0) {
    WriteAll(fd, std::string("E") + duk_safe_to_string(ctx, -1));
    _exit(1);
  }
  duk_pop(ctx);
  if (!duk_get_global_string(ctx, "FindProxyForURL") || !duk_is_function(ctx, -1)) {
    WriteAll(fd, "Eno FindProxyForURL");
    _exit(1);
  }
  duk_push_string(ctx, url.c_str());
  duk_push_string(ctx, HostOfURL(url).c_str());
  if (duk_pcall(ctx, 2) != 0) {
    WriteAll(fd, std::string("E") + duk_safe_to_string(ctx, -1));
    _exit(1);
  }
  if (!duk_is_string(ctx, -1)) {
    WriteAll(fd, "Eanswer is not a string");
    _exit(1);
  }
  WriteAll(fd, std::string("R") + duk_get_string(ctx, -1));
  _exit(0);
}

std::optional<std::string> SplitHostPort(std::string_view item, WSProxyEntry& entry) {
  std::string_view hostPort = item;
  while (!hostPort.empty() && std::isspace(static_cast<unsigned char>(hostPort.front())))
    hostPort.remove_prefix(1);
  while (!hostPort.empty() && std::isspace(static_cast<unsigned char>(hostPort.back())))
    hostPort.remove_suffix(1);
  if (hostPort.empty()) return std::nullopt;
  std::string_view port;
  if (hostPort.front() == '[') {
    const auto close = hostPort.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    entry.host = std::string(hostPort.substr(1, close - 1));
    if (close + 1 < hostPort.size() && hostPort[close + 1] == ':') port = hostPort.substr(close + 2);
  } else {
    const auto colon = hostPort.rfind(':');
    entry.host = std::string(hostPort.substr(0, colon));
    if (colon != std::string_view::npos) port = hostPort.substr(colon + 1);
  }
  if (entry.host.empty()) return std::nullopt;
  if (!port.empty()) {
    if (port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); }))
      return std::nullopt;
    const unsigned long value = std::stoul(std::string(port));
    if (value > 65535) return std::nullopt;
    entry.port = static_cast<std::uint32_t>(value);
  }
  return entry.host;
}

} // namespace

std::optional<std::string> WSFetchPAC(const std::string& url, std::chrono::milliseconds limit) {
  const std::string lower = Lower(url);
  if (lower.rfind("file:", 0) == 0) return ReadFileURL(url);
  if (lower.rfind("http://", 0) == 0 || lower.rfind("https://", 0) == 0) return Download(url, limit);
  return std::nullopt;
}

std::optional<std::string> WSRunPACScript(const std::string& script, const std::string& url,
                                          std::chrono::milliseconds limit) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child < 0) {
    close(fds[0]);
    close(fds[1]);
    return std::nullopt;
  }
  if (child == 0) {
    // The script's process dies with the program and never outlives its budget.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    close(fds[0]);
    RunScriptInChild(fds[1], script, url);
  }
  close(fds[1]);
  std::string output;
  bool finished = false;
  const auto deadline = Clock::now() + limit;
  for (;;) {
    // Rounded up: poll may wake a little early, and the script is given its full limit.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd p{fds[0], POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) continue; // the loop ends once the deadline has really passed
    if (ready < 0) break;
    char buffer[4096];
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      finished = true;
      break;
    }
    output.append(buffer, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  if (!finished) kill(child, SIGKILL);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!finished || output.empty() || output.front() != 'R') return std::nullopt;
  return output.substr(1);
}

std::vector<WSProxyEntry> WSProxyEntriesFromPACAnswer(std::string_view answer) {
  std::vector<WSProxyEntry> entries;
  std::size_t start = 0;
  while (start <= answer.size()) {
    const auto end = std::min(answer.find(';', start), answer.size());
    std::string_view item = answer.substr(start, end - start);
    start = end + 1;
    while (!item.empty() && std::isspace(static_cast<unsigned char>(item.front()))) item.remove_prefix(1);
    if (item.empty()) continue;
    const auto space = item.find_first_of(" \t");
    const std::string keyword = [&] {
      std::string k(item.substr(0, space));
      std::transform(k.begin(), k.end(), k.begin(), [](unsigned char c) { return std::toupper(c); });
      return k;
    }();
    WSProxyEntry entry;
    if (keyword == "DIRECT") {
      entries.push_back(entry);
      continue;
    }
    if (keyword == "PROXY" || keyword == "HTTP")
      entry.type = WSProxyType::HTTP;
    else if (keyword == "HTTPS")
      entry.type = WSProxyType::HTTPS;
    else if (keyword == "SOCKS" || keyword == "SOCKS5")
      entry.type = WSProxyType::SOCKS;
    else if (keyword == "SOCKS4") {
      entry.type = WSProxyType::SOCKS;
      entry.socksVersion = WSSOCKSVersion::V4a;
    } else
      continue;
    if (space == std::string_view::npos || !SplitHostPort(item.substr(space), entry)) continue;
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::optional<std::vector<WSProxyEntry>>
WSCopyProxiesForAutoConfigurationScript(const std::string& script, const std::string& url,
                                        std::chrono::milliseconds limit) {
  auto answer = WSRunPACScript(script, url, limit);
  if (!answer) return std::nullopt;
  return WSProxyEntriesFromPACAnswer(*answer);
}
