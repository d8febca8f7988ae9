#pragma once
// A URL request, as a connection is created from: URL, header fields, time-out interval,
// network service type and pinned certificates.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct WSURLRequest {
  /// The request's URL; empty means "no URL" (a contract violation for a connection).
  std::string url;
  /// Extra header fields for the upgrade request, in order.
  std::vector<std::pair<std::string, std::string>> headerFields;
  /// Bounds connect, proxy negotiation, TLS and handshake together; 0 or less means none.
  double timeoutInterval = 60.0;
  /// The platform's network service type (0 = default); carried, not interpreted.
  int networkServiceType = 0;
  /// DER certificates to pin the server to; empty means no pinning.
  std::vector<std::vector<std::uint8_t>> pinnedCertificates;

  WSURLRequest() = default;
  /// A request for `url` with the platform's defaults (60-second time-out).
  explicit WSURLRequest(std::string url) : url(std::move(url)) {}
};
