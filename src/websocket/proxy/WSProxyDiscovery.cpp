#include "websocket/proxy/WSProxyDiscovery.hpp"

#include "platform/Log.hpp"
#include "websocket/detail/WSURLUtilities.hpp"
#include "websocket/proxy/WSPAC.hpp"

namespace {

WSProxyEntry Direct() { return {}; }

WSProxyEntry RunPACScript(const std::string& script, const std::string& probeURL) {
  if (script.empty()) return Direct();
  XLOG("WebSocket", "runPACScript");
  const auto entries = WSCopyProxiesForAutoConfigurationScript(script, probeURL);
  if (!entries || entries->empty()) return Direct();
  return WSReadProxySetting(entries->front());
}

} // namespace

WSProxyEntry WSReadProxySetting(const WSProxyEntry& entry) {
  WSProxyEntry result;
  switch (entry.type) {
  case WSProxyType::HTTP:
  case WSProxyType::HTTPS:
  case WSProxyType::SOCKS:
    result = entry;
    break;
  default:
    break;
  }
  if (result.type == WSProxyType::HTTP || result.type == WSProxyType::HTTPS)
    XLOG("WebSocket", "Using http proxy %s:%u", result.host.c_str(), result.port);
  else if (result.type == WSProxyType::SOCKS)
    XLOG("WebSocket", "Using socks proxy %s:%u", result.host.c_str(), result.port);
  else
    XLOG("WebSocket", "configureProxy no proxies");
  return result;
}

WSProxyEntry WSDiscoverProxy(const std::string& targetHost, bool requiresSSL,
                             const WSProxySettings& settings) {
  XLOG("WebSocket", "configureProxy");
  const std::string probeURL = WSProxyProbeURL(targetHost, requiresSSL);
  const auto entries = WSCopyProxiesForURL(probeURL, settings);
  if (entries.empty()) {
    XLOG("WebSocket", "configureProxy no proxies");
    return Direct();
  }
  const WSProxyEntry& first = entries.front();
  if (first.type == WSProxyType::AutoConfigurationURL && !first.autoConfigurationURL.empty()) {
    XLOG("WebSocket", "WSWebSocket fetchPAC:%s", WSURLForLog(first.autoConfigurationURL).c_str());
    const auto script = WSFetchPAC(first.autoConfigurationURL);
    if (!script) return Direct();
    return RunPACScript(*script, probeURL);
  }
  if (first.type == WSProxyType::AutoConfigurationJavaScript && !first.autoConfigurationJavaScript.empty())
    return RunPACScript(first.autoConfigurationJavaScript, probeURL);
  return WSReadProxySetting(first);
}
