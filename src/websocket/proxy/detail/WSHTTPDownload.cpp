#include "websocket/proxy/detail/WSHTTPDownload.hpp"

#include "platform/Base64.hpp"
#include "websocket/detail/WSURLUtilities.hpp"
#include "websocket/security/detail/WSOpenSSL.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <memory>
#include <span>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// Why a download failed; thrown by any step, caught at the top of the download.
struct Failure {
  std::string reason;
};

struct Hop {
  WSURLComponents url;
  bool tls = false;
};

Hop HopFor(const std::string& text) {
  auto components = WSURLGetComponents(text);
  if (!components || (components->scheme != "http" && components->scheme != "https"))
    throw Failure{"not an http or https URL"};
  return {*components, components->scheme == "https"};
}

bool IsIPAddress(const std::string& host) {
  ASN1_OCTET_STRING* parsed = a2i_IPADDRESS(host.c_str());
  if (!parsed) return false;
  ASN1_OCTET_STRING_free(parsed);
  return true;
}

std::string Describe(const boost::system::error_code& error, std::size_t maximumSize) {
  if (error == beast::error::timeout) return "timed out";
  if (error == http::error::body_limit) return "larger than " + std::to_string(maximumSize) + " bytes";
  return error.message();
}

http::request<http::empty_body> RequestFor(const Hop& hop) {
  http::request<http::empty_body> request{http::verb::get, hop.url.resourceName, 11};
  std::string host = hop.url.hostForHeader;
  if (hop.url.explicitPort) host += ":" + std::to_string(*hop.url.explicitPort);
  request.set(http::field::host, host);
  request.set(http::field::accept, "*/*");
  request.set(http::field::connection, "close");
  if (hop.url.user || hop.url.password) {
    const std::string pair = hop.url.user.value_or("") + ":" + hop.url.password.value_or("");
    request.set(http::field::authorization,
                "Basic " + platform::Base64EncodedStringFromData(
                               std::span(reinterpret_cast<const std::uint8_t*>(pair.data()), pair.size())));
  }
  return request;
}

// Each step is asynchronous, so that one deadline bounds it, and awaited by running the download's
// own io_context until the step's handler ran. (No coroutines: clang 14 cannot compile them
// under AddressSanitizer.) A step still pending at the deadline is abandoned: its handler is
// destroyed with the io_context, never called, so what it refers to may be gone by then.
class Steps {
public:
  Steps(asio::io_context& io, Clock::time_point deadline) : _io(io), _deadline(deadline) {}

  /// Starts an operation with a handler taking (error_code, ...) and waits for it.
  template <class Start> void await(Start start) {
    boost::system::error_code result;
    bool finished = false;
    start([&result, &finished](boost::system::error_code error, auto&&...) {
      result = error;
      finished = true;
    });
    _io.restart();
    while (!finished && _io.run_one_until(_deadline) != 0) {
    }
    if (!finished) throw boost::system::system_error(beast::error::timeout);
    if (result) throw boost::system::system_error(result);
  }

private:
  asio::io_context& _io;
  Clock::time_point _deadline;
};

// One request and its response on a connected stream (plain or TLS).
template <class Stream>
http::response<http::string_body> Exchange(Steps& steps, Stream& stream, const Hop& hop,
                                           std::size_t maximumSize) {
  auto request = RequestFor(hop);
  steps.await([&](auto handler) { http::async_write(stream, request, std::move(handler)); });
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(maximumSize);
  steps.await([&](auto handler) { http::async_read(stream, buffer, parser, std::move(handler)); });
  return parser.release();
}

struct Download {
  std::string url;
  std::size_t maximumSize = 0;
  Clock::time_point deadline;
  std::unique_ptr<asio::ssl::context> tls; // made for the first https hop only

  asio::ssl::context& tlsContext() {
    if (!tls) {
      WSOpenSSLInitialize();
      tls = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
      tls->set_default_verify_paths();
      tls->set_verify_mode(asio::ssl::verify_peer);
      SSL_CTX_set_min_proto_version(tls->native_handle(), TLS1_2_VERSION);
    }
    return *tls;
  }

  http::response<http::string_body> fetch(asio::io_context& io, const Hop& hop) {
    Steps steps(io, deadline);
    tcp::resolver resolver(io);
    tcp::resolver::results_type endpoints;
    steps.await([&](auto handler) {
      resolver.async_resolve(hop.url.host, std::to_string(hop.url.port),
                             [&endpoints, handler = std::move(handler)](
                                 boost::system::error_code error, tcp::resolver::results_type found) mutable {
                               endpoints = std::move(found);
                               handler(error);
                             });
    });
    beast::tcp_stream socket(io);
    // One deadline for every later step of this hop, and of the whole download.
    socket.expires_at(deadline);
    steps.await([&](auto handler) { socket.async_connect(endpoints, std::move(handler)); });
    if (!hop.tls) return Exchange(steps, socket, hop, maximumSize);
    beast::ssl_stream<beast::tcp_stream> stream(std::move(socket), tlsContext());
    // RFC 6066 section 3: SNI names hosts only, never literal addresses.
    if (!IsIPAddress(hop.url.host)) SSL_set_tlsext_host_name(stream.native_handle(), hop.url.host.c_str());
    stream.set_verify_callback(asio::ssl::host_name_verification(hop.url.host));
    steps.await(
        [&](auto handler) { stream.async_handshake(asio::ssl::stream_base::client, std::move(handler)); });
    return Exchange(steps, stream, hop, maximumSize);
  }

  std::string run(asio::io_context& io) {
    std::string current = url;
    for (int redirects = 0;; ++redirects) {
      const Hop hop = HopFor(current);
      auto response = fetch(io, hop);
      const unsigned status = response.result_int();
      const bool redirect = status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
      if (redirect && response.count(http::field::location)) {
        if (redirects == WSHTTPDownloadMaximumRedirects)
          throw Failure{"more than " + std::to_string(WSHTTPDownloadMaximumRedirects) + " redirects"};
        // RFC 9110 section 10.2.2: Location may be relative to the URL that was asked for.
        auto base = boost::urls::parse_uri(current);
        const std::string locationText(response[http::field::location]);
        auto location = boost::urls::parse_uri_reference(locationText);
        if (!base || !location) throw Failure{"unusable redirect"};
        boost::urls::url next;
        if (!boost::urls::resolve(*base, *location, next)) throw Failure{"unusable redirect"};
        next.remove_fragment();
        current = std::string(next.buffer());
        continue;
      }
      if (status >= 400) throw Failure{"HTTP status " + std::to_string(status)};
      return std::move(response.body());
    }
  }
};

} // namespace

std::optional<std::string> WSHTTPDownload(const std::string& url, std::chrono::milliseconds limit,
                                          std::size_t maximumSize, std::string* failure) {
  Download download{url, maximumSize, Clock::now() + limit, nullptr};
  std::string reason;
  {
    // Declared first, so that it goes last: every socket of a step is closed before it.
    asio::io_context io;
    try {
      return download.run(io);
    } catch (const Failure& f) {
      reason = f.reason;
    } catch (const boost::system::system_error& e) {
      reason = Describe(e.code(), maximumSize);
    } catch (const std::exception& e) {
      reason = e.what();
    }
  }
  if (failure) *failure = reason;
  return std::nullopt;
}
