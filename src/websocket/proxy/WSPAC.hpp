#pragma once
// Proxy auto-configuration: fetching a PAC file, running its FindProxyForURL, and reading the
// answer ("PROXY h:p; SOCKS5 h:p; DIRECT") as an ordered entry list.
//
// A PAC script is untrusted code. It runs in duktape inside a short-lived child process that
// sees nothing but the standard PAC helper functions, is given a memory cap, and is killed when
// it has not answered within its time limit; the caller waits at most that long. Nothing of the
// script's work reaches this process except the answer string.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "websocket/proxy/WSProxySettings.hpp"

inline constexpr std::chrono::milliseconds WSPACFetchTimeLimit{10000};
inline constexpr std::chrono::milliseconds WSPACScriptTimeLimit{2000};
/// A PAC file is small: a larger file or download (8 MiB) is refused, read or downloaded alike.
inline constexpr std::size_t WSPACMaximumSize = 8 * 1024 * 1024;

/// The text of a PAC file: "file:" URLs are read directly, "http:" and "https:" are downloaded
/// (no proxy, redirects followed, a status of 400 or more is a failure) within `limit`. Nothing
/// when the file cannot be had, is larger than WSPACMaximumSize (logged), the scheme is another
/// one, or a download is not UTF-8.
std::optional<std::string> WSFetchPAC(const std::string& url,
                                      std::chrono::milliseconds limit = WSPACFetchTimeLimit);

/// The answer of FindProxyForURL(url, host) of `script`, host taken from `url`; nothing when the
/// script does not evaluate, throws, gives no string, or has not answered within `limit`.
std::optional<std::string> WSRunPACScript(const std::string& script, const std::string& url,
                                          std::chrono::milliseconds limit = WSPACScriptTimeLimit);

/// The ordered entries of a PAC answer: "DIRECT" gives a None entry; "PROXY" and "HTTP" give HTTP,
/// "HTTPS" gives HTTPS, "SOCKS" and "SOCKS5" give SOCKS version 5, "SOCKS4" gives SOCKS 4a.
/// Unknown or malformed items are skipped.
std::vector<WSProxyEntry> WSProxyEntriesFromPACAnswer(std::string_view answer);

/// The entries a PAC script gives for `url`; nothing on any failure of the script.
std::optional<std::vector<WSProxyEntry>>
WSCopyProxiesForAutoConfigurationScript(const std::string& script, const std::string& url,
                                        std::chrono::milliseconds limit = WSPACScriptTimeLimit);
