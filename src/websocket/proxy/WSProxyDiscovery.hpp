#pragma once
// Proxy discovery for one connection: which proxy, if any, the socket goes through.
//
// Asks the system settings for the proxies of the probe URL (the target host alone, with
// "https" for TLS targets and "http" otherwise) and uses only the first entry. A PAC entry is
// followed: the file is fetched (10 s at most) and its script run (2 s at most) for the probe
// URL, and the first entry of its answer is used. Every PAC problem means "no proxy". Writes the
// connector's log lines ("configureProxy", "Using http proxy %@:%u", ...).
//
// Blocking for at most the two limits together; call it where that is acceptable (a worker).

#include <string>

#include "websocket/proxy/WSProxySettings.hpp"

/// The entry to connect through: type None (direct), HTTP, HTTPS (used as HTTP) or SOCKS.
WSProxyEntry WSDiscoverProxy(const std::string& targetHost, bool requiresSSL,
                             const WSProxySettings& settings);

/// Reads one entry as the connector does: HTTP, HTTPS and SOCKS are kept, anything else means
/// direct; logs "Using http proxy %@:%u", "Using socks proxy %@:%u" or "configureProxy no proxies".
WSProxyEntry WSReadProxySetting(const WSProxyEntry& entry);
