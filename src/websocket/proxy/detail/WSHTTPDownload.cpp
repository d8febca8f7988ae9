#include "websocket/proxy/detail/WSHTTPDownload.hpp"

#include "websocket/detail/WSHash.hpp"
#include "websocket/detail/WSURLUtilities.hpp"
#include "websocket/security/detail/WSOpenSSL.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/asio/use_awaitable.hpp>
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

// Why a download failed; thrown inside the coroutine, caught at its top.
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
                "Basic " + WSBase64EncodedStringFromData(
                               std::span(reinterpret_cast<const std::uint8_t*>(pair.data()), pair.size())));
  }
  return request;
}

// One request and its response on a connected stream (plain or TLS).
template <class Stream>
asio::awaitable<http::response<http::string_body>> Exchange(Stream& stream, const Hop& hop,
                                                            std::size_t maximumSize) {
  auto request = RequestFor(hop);
  co_await http::async_write(stream, request, asio::use_awaitable);
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(maximumSize);
  co_await http::async_read(stream, buffer, parser, asio::use_awaitable);
  co_return parser.release();
}

struct Download {
  std::string url;
  std::size_t maximumSize = 0;
  Clock::time_point deadline;
  std::unique_ptr<asio::ssl::context> tls; // made for the first https hop only
  std::optional<std::string> body;
  std::string failure;
  bool done = false;

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

  asio::awaitable<http::response<http::string_body>> fetch(const Hop& hop) {
    auto executor = co_await asio::this_coro::executor;
    tcp::resolver resolver(executor);
    const auto endpoints =
        co_await resolver.async_resolve(hop.url.host, std::to_string(hop.url.port), asio::use_awaitable);
    beast::tcp_stream socket(executor);
    // One deadline for every later step of this hop, and of the whole download.
    socket.expires_at(deadline);
    co_await socket.async_connect(endpoints, asio::use_awaitable);
    if (!hop.tls) co_return co_await Exchange(socket, hop, maximumSize);
    beast::ssl_stream<beast::tcp_stream> stream(std::move(socket), tlsContext());
    // RFC 6066 section 3: SNI names hosts only, never literal addresses.
    if (!IsIPAddress(hop.url.host)) SSL_set_tlsext_host_name(stream.native_handle(), hop.url.host.c_str());
    stream.set_verify_callback(asio::ssl::host_name_verification(hop.url.host));
    co_await stream.async_handshake(asio::ssl::stream_base::client, asio::use_awaitable);
    co_return co_await Exchange(stream, hop, maximumSize);
  }

  asio::awaitable<void> run() {
    try {
      std::string current = url;
      for (int redirects = 0;; ++redirects) {
        const Hop hop = HopFor(current);
        auto response = co_await fetch(hop);
        const unsigned status = response.result_int();
        const bool redirect =
            status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
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
        body = std::move(response.body());
        break;
      }
    } catch (const Failure& f) {
      failure = f.reason;
    } catch (const boost::system::system_error& e) {
      failure = Describe(e.code(), maximumSize);
    } catch (const std::exception& e) {
      failure = e.what();
    }
    done = true;
  }
};

} // namespace

std::optional<std::string> WSHTTPDownload(const std::string& url, std::chrono::milliseconds limit,
                                          std::size_t maximumSize, std::string* failure) {
  auto download = std::make_shared<Download>();
  download->url = url;
  download->maximumSize = maximumSize;
  download->deadline = Clock::now() + limit;
  {
    asio::io_context io;
    asio::co_spawn(io, download->run(), asio::detached);
    // The stream deadlines cover connecting, TLS and HTTP; this one also covers name resolution.
    io.run_until(download->deadline);
    // Leaving the block ends whatever is still pending.
  }
  if (!download->done) download->failure = "timed out";
  if (failure) *failure = download->failure;
  return download->body;
}
