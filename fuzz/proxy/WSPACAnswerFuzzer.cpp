// Property: any text a PAC script returns reads as a list of at most one entry per ";" item,
// where DIRECT entries carry no host and every proxy entry has a host and a port of at most
// 65535; writing the entries back in PAC form and reading them again gives the same entries.

#include "websocket/proxy/WSPAC.hpp"

#include <cctype>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

std::string Keyword(const WSProxyEntry& entry) {
  switch (entry.type) {
  case WSProxyType::None:
    return "DIRECT";
  case WSProxyType::HTTP:
    return "PROXY";
  case WSProxyType::HTTPS:
    return "HTTPS";
  case WSProxyType::SOCKS:
    return entry.socksVersion == WSSOCKSVersion::V4a ? "SOCKS4" : "SOCKS5";
  default:
    std::abort(); // an answer names no PAC file
  }
}

std::string Write(const std::vector<WSProxyEntry>& entries) {
  std::string answer;
  for (const auto& entry : entries) {
    if (!answer.empty()) answer += "; ";
    answer += Keyword(entry);
    if (entry.type == WSProxyType::None) continue;
    const bool bracket = entry.host.find(':') != std::string::npos;
    answer += " " + (bracket ? "[" + entry.host + "]" : entry.host);
    if (entry.port != 0) answer += ":" + std::to_string(entry.port);
  }
  return answer;
}

bool Same(const WSProxyEntry& a, const WSProxyEntry& b) {
  return a.type == b.type && a.host == b.host && a.port == b.port && a.socksVersion == b.socksVersion;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view answer(reinterpret_cast<const char*>(data), size);
  const auto entries = WSProxyEntriesFromPACAnswer(answer);

  std::size_t items = 1;
  for (char c : answer) items += c == ';';
  if (entries.size() > items) std::abort();

  bool writable = true;
  for (const auto& entry : entries) {
    if (entry.port > 65535) std::abort();
    if (entry.type == WSProxyType::None) {
      if (!entry.host.empty() || entry.port != 0) std::abort();
      continue;
    }
    if (entry.host.empty()) std::abort();
    // A host with brackets of its own, or with white space at an end (malformed items such as
    // "PROXY a :80" give them), has no PAC spelling of its own.
    if (entry.host.find_first_of("[]") != std::string::npos ||
        std::isspace(static_cast<unsigned char>(entry.host.front())) ||
        std::isspace(static_cast<unsigned char>(entry.host.back())))
      writable = false;
  }
  if (!writable) return 0;

  const auto again = WSProxyEntriesFromPACAnswer(Write(entries));
  if (again.size() != entries.size()) std::abort();
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (!Same(entries[i], again[i])) std::abort();
  return 0;
}
