#pragma once
// A small HTTP/1.1 client for one thing: fetching a proxy auto-configuration file.
//
// Boost.Beast over Asio and OpenSSL, all inside the .cpp: GET of an http or https URL, never
// through a proxy (the proxy the file describes is not known yet), redirects followed (at most
// WSHTTPDownloadMaximumRedirects, to http or https only), a body larger than the cap refused
// while it arrives, and the whole exchange, name resolution included, bounded by one time
// limit. https verifies the server against the system's trust store and the host name. A URL
// carrying user information sends it as Basic authorization. TLS is set up on the first https
// download only.
//
// Blocking: runs its own event loop on the calling thread and returns when done. Thread-safe.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

inline constexpr int WSHTTPDownloadMaximumRedirects = 5;

/// The body of `url`, or nothing; then `failure` (when given) says why, in a few words ("HTTP
/// status 404", "more than 5 redirects", "larger than 8388608 bytes", "timed out", the socket's
/// or TLS layer's error). A status of 400 or more is a failure; other final statuses give the body.
std::optional<std::string> WSHTTPDownload(const std::string& url, std::chrono::milliseconds limit,
                                          std::size_t maximumSize, std::string* failure = nullptr);
