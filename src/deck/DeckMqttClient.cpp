#include "deck/DeckMqttClient.hpp"

#include "platform/RunLoop.hpp"
#include "platform/detail/RunLoopIo.hpp"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <random>
#include <sys/socket.h>

namespace deck {

namespace {

using namespace std::chrono_literals;

constexpr auto kFirstWait = 1000ms;
constexpr auto kLongestWait = 30000ms;
constexpr auto kConnectTimeout = 10s;
// Packets read per readiness event before the loop serves its other sources.
constexpr int kReadBatch = 256;
constexpr const char* kSystemCertificates = "/etc/ssl/certs";

void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR));
}

// The error a connection attempt ended with (a refused or unreachable broker), 0 while none.
int PendingSocketError(int fd) {
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
  return error;
}

// A socket whose connection attempt is over without a connection (its error may already have
// been taken by a write): no peer, yet no longer connecting.
bool ConnectionRefused(int fd) {
  sockaddr_storage peer{};
  socklen_t size = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0 || errno != ENOTCONN) return false;
  pollfd p{fd, POLLOUT, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLOUT | POLLHUP | POLLERR));
}

} // namespace

struct DeckMqttClient::Impl : std::enable_shared_from_this<Impl> {
  Impl(platform::RunLoop& loop, DeckMqttClientOptions options, DeckMqttClientDelegate delegate)
      : io(platform::detail::IoContext(loop)), options(std::move(options)), delegate(std::move(delegate)),
        socket(io), timer(io), resolver(io), random(std::random_device{}()) {}

  ~Impl() { drop(); }

  boost::asio::io_context& io;
  DeckMqttClientOptions options;
  DeckMqttClientDelegate delegate;
  mosquitto* handle = nullptr;
  boost::asio::posix::stream_descriptor socket; // libmosquitto's socket; never closed here
  boost::asio::steady_timer timer;              // the keep-alive, the CONNACK deadline or the wait
  boost::asio::ip::tcp::resolver resolver;      // looks the broker's name up off the loop
  std::mt19937 random;
  std::chrono::milliseconds step = kFirstWait;
  std::uint64_t generation = 0; // one per attempt: handlers of an earlier one do nothing
  bool readWaiting = false, writeWaiting = false;
  bool connected = false;
  bool closing = false;
  std::optional<std::string> endReason; // set by libmosquitto's callbacks, handled after the call
  std::string refusal;                  // the broker's CONNACK refusal of this attempt
  std::string lastError;                // libmosquitto's last error line (TLS details)
  int callsBeforeConnack = 0;
  int attemptErrno = 0; // the last socket error libmosquitto's calls met before the broker's answer
  int depth = 0;        // calls into libmosquitto in progress
  bool keepaliveArmed = false;

  std::string brokerName() const {
    const auto& b = options.broker;
    std::string host = b.host.find(':') != std::string::npos ? "[" + b.host + "]" : b.host;
    return std::string(b.tls ? "mqtts://" : "mqtt://") + host + ":" + std::to_string(b.port);
  }

  // ----- the handle of one attempt -----

  static Impl& Of(void* user) { return *static_cast<Impl*>(user); }

  bool configure(std::string& reason) {
    handle = mosquitto_new(nullptr, true, this);
    if (!handle) {
      reason = "cannot create an MQTT client: " + std::string(std::strerror(errno));
      return false;
    }
    mosquitto_int_option(handle, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_int_option(handle, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(handle, [](mosquitto*, void* user, int rc) { Of(user).onConnack(rc); });
    mosquitto_disconnect_callback_set(handle,
                                      [](mosquitto*, void* user, int rc) { Of(user).onDisconnect(rc); });
    mosquitto_publish_callback_set(handle, [](mosquitto*, void* user, int id) {
      if (Of(user).delegate.published) Of(user).delegate.published(id);
    });
    mosquitto_message_callback_set(handle, [](mosquitto*, void* user, const mosquitto_message* m) {
      auto& self = Of(user);
      if (self.delegate.message && m->topic)
        self.delegate.message(m->topic,
                              std::string_view(static_cast<const char*>(m->payload),
                                               static_cast<std::size_t>(std::max(0, m->payloadlen))),
                              m->retain);
    });
    mosquitto_log_callback_set(handle, [](mosquitto*, void* user, int level, const char* text) {
      if ((level & MOSQ_LOG_ERR) && text) Of(user).lastError = text;
    });
    int rc = MOSQ_ERR_SUCCESS;
    if (!options.username.empty())
      rc = mosquitto_username_pw_set(handle, options.username.c_str(),
                                     options.password ? options.password->c_str() : nullptr);
    if (!rc && !options.willTopic.empty())
      rc = mosquitto_will_set(handle, options.willTopic.c_str(), 7, "offline", 1, true);
    if (!rc && options.broker.tls) {
      // Without a ca_file, the system's certificates (libmosquitto wants a file or a folder).
      if (options.caFile.empty()) mosquitto_int_option(handle, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
      rc = mosquitto_tls_set(handle, options.caFile.empty() ? nullptr : options.caFile.c_str(),
                             options.caFile.empty() ? kSystemCertificates : nullptr,
                             options.certFile.empty() ? nullptr : options.certFile.c_str(),
                             options.keyFile.empty() ? nullptr : options.keyFile.c_str(), nullptr);
      // SSL_VERIFY_PEER (1): the certificate must chain to a trusted authority, and its name
      // must be the broker's host; both checks go only with `insecure`.
      if (!rc) rc = mosquitto_tls_opts_set(handle, options.insecure ? 0 : 1, nullptr, nullptr);
      if (!rc) rc = mosquitto_tls_insecure_set(handle, options.insecure);
    }
    if (rc) {
      reason = "cannot set up the MQTT client: " + std::string(mosquitto_strerror(rc));
      if (rc == MOSQ_ERR_INVAL && options.broker.tls)
        reason += " (check ca_file, cert_file and key_file: each must be a readable file)";
      return false;
    }
    return true;
  }

  // Forgets the attempt's handle and socket, without any callback.
  void drop() {
    ++generation;
    timer.cancel();
    resolver.cancel();
    if (socket.is_open()) socket.release();
    readWaiting = writeWaiting = false;
    keepaliveArmed = false;
    if (handle) {
      mosquitto_destroy(handle);
      handle = nullptr;
    }
    connected = false;
  }

  // ----- attempts -----

  // A host name is looked up on Asio's resolver thread first: libmosquitto's own lookup blocks, and
  // with the name server gone it would hold the loop (and every key) for seconds at each attempt.
  // Once the name resolves, libmosquitto's lookup of it is quick.
  void attempt() {
    drop();
    boost::system::error_code numeric;
    boost::asio::ip::make_address(options.broker.host, numeric);
    if (!numeric) return connect();
    std::weak_ptr<Impl> weak = weak_from_this();
    resolver.async_resolve(options.broker.host, std::to_string(options.broker.port),
                           [weak, g = generation](const boost::system::error_code& ec, const auto&) {
                             auto self = weak.lock();
                             if (!self || self->generation != g ||
                                 ec == boost::asio::error::operation_aborted)
                               return;
                             if (ec)
                               return self->fail("cannot resolve the host name " + self->options.broker.host +
                                                 ": " + ec.message());
                             self->connect();
                           });
    armTimer(kConnectTimeout, [](Impl& self) {
      self.fail("cannot resolve the host name " + self.options.broker.host + " within 10 s");
    });
  }

  void connect() {
    ++generation; // the lookup's timer is over
    timer.cancel();
    std::string reason;
    endReason.reset();
    refusal.clear();
    lastError.clear();
    callsBeforeConnack = 0;
    attemptErrno = 0;
    if (!configure(reason)) return fail(reason);
    errno = 0;
    int rc = mosquitto_connect_async(handle, options.broker.host.c_str(), options.broker.port,
                                     static_cast<int>(options.keepalive.count()));
    if (rc) {
      if (rc == MOSQ_ERR_ERRNO)
        reason = std::strerror(errno);
      else if (rc == MOSQ_ERR_EAI)
        reason = "cannot resolve the host name " + options.broker.host;
      else if (rc == MOSQ_ERR_TLS)
        reason = "TLS failed" + (lastError.empty() ? std::string() : ": " + lastError);
      else
        reason = mosquitto_strerror(rc);
      return fail(reason);
    }
    noteErrno();
    const int fd = mosquitto_socket(handle);
    if (fd < 0) return fail("no socket");
    socket.assign(fd);
    armTimer(kConnectTimeout, [](Impl& self) { self.fail("no answer from the broker within 10 s"); });
    settle();
  }

  void fail(const std::string& reason) {
    drop();
    std::chrono::milliseconds wait{0};
    if (options.reconnect && !closing) {
      std::uniform_real_distribution<double> jitter(0.8, 1.2);
      wait = std::chrono::milliseconds(
          static_cast<long long>(static_cast<double>(step.count()) * jitter(random)));
      step = std::min(step * 2, std::chrono::milliseconds(kLongestWait));
      armTimer(wait, [](Impl& self) { self.attempt(); });
    }
    if (delegate.ended) delegate.ended(reason, wait);
  }

  template <class F> void armTimer(std::chrono::steady_clock::duration after, F action) {
    timer.expires_after(after);
    std::weak_ptr<Impl> weak = weak_from_this();
    timer.async_wait([weak, action, g = generation](const boost::system::error_code& ec) {
      auto self = weak.lock();
      if (ec || !self || self->generation != g) return;
      action(*self);
    });
  }

  // ----- libmosquitto's callbacks (inside its calls) -----

  void onConnack(int rc) {
    if (rc == 0) {
      connected = true;
      step = kFirstWait;
      return;
    }
    refusal = std::string("the broker refused the connection: ") + mosquitto_connack_string(rc);
  }

  void onDisconnect(int rc) {
    if (!refusal.empty())
      endReason = refusal;
    else if (rc == MOSQ_ERR_TLS)
      endReason = "TLS failed" + (lastError.empty() ? std::string() : ": " + lastError);
    else if (rc == MOSQ_ERR_KEEPALIVE)
      endReason = "no answer to the keep-alive";
    else if (rc == MOSQ_ERR_ERRNO && errno)
      endReason = std::strerror(errno);
    else if (rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_ERRNO || rc == MOSQ_ERR_NO_CONN)
      endReason = lostReason();
    else
      endReason = rc == 0 ? std::string("disconnected") : std::string(mosquitto_strerror(rc));
  }

  // A connection gone without a reason from libmosquitto: its last error line tells more. A TLS
  // handshake that fails while libmosquitto writes closes the socket without any callback.
  std::string lostReason() const {
    if (lastError.empty()) return "the connection was lost";
    if (lastError.starts_with("OpenSSL")) return "TLS failed: " + lastError;
    return "the connection was lost (" + lastError + ")";
  }

  // ----- after each call into libmosquitto -----

  // Reports a connection that became established or ended during the call, and waits for what
  // the handle needs next.
  void settle() {
    if (!handle) return;
    if (depth > 0) return; // inside libmosquitto: its caller settles
    if (endReason || mosquitto_socket(handle) < 0) {
      // The socket is closed already: give up its number before anything can reuse it.
      if (socket.is_open()) socket.release();
      return fail(endReason.value_or(lostReason()));
    }
    arm();
  }

  void arm() {
    std::weak_ptr<Impl> weak = weak_from_this();
    const auto g = generation;
    if (!readWaiting) {
      readWaiting = true;
      socket.async_wait(boost::asio::posix::descriptor_base::wait_read,
                        [weak, g](const boost::system::error_code& ec) {
                          auto self = weak.lock();
                          if (!self || self->generation != g) return;
                          self->readWaiting = false;
                          if (!ec) self->readReady();
                        });
    }
    if (!writeWaiting && mosquitto_want_write(handle)) {
      writeWaiting = true;
      socket.async_wait(boost::asio::posix::descriptor_base::wait_write,
                        [weak, g](const boost::system::error_code& ec) {
                          auto self = weak.lock();
                          if (!self || self->generation != g) return;
                          self->writeWaiting = false;
                          if (!ec) self->writeReady();
                        });
    }
  }

  // Before the broker's answer, libmosquitto's TLS handshake takes a socket error for "try again"
  // and would be woken forever by a socket that is readable or writable only because it failed: a
  // failed connection ends the attempt, and so does a socket that keeps waking without the
  // handshake ending (a handshake and CONNACK take a few dozen calls).
  bool stalledBeforeConnack() {
    if (connected) return false;
    const int fd = mosquitto_socket(handle);
    int error = PendingSocketError(fd);
    if (!error && ConnectionRefused(fd)) error = attemptErrno ? attemptErrno : ECONNREFUSED;
    if (error) {
      fail(std::strerror(error));
      return true;
    }
    if (++callsBeforeConnack > 1000) {
      fail("the connection made no progress");
      return true;
    }
    return false;
  }

  void noteErrno() {
    if (!connected && errno && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINPROGRESS &&
        errno != EINTR && !attemptErrno)
      attemptErrno = errno;
  }

  void readReady() {
    const auto g = generation;
    for (int i = 0; i < kReadBatch; ++i) {
      if (stalledBeforeConnack()) return;
      errno = 0;
      ++depth;
      int rc = mosquitto_loop_read(handle, 1);
      --depth;
      if (generation != g) return; // a callback closed the client
      noteErrno();
      if (rc || endReason || mosquitto_socket(handle) < 0) break;
      if (!Readable(mosquitto_socket(handle))) break;
      if (i == kReadBatch - 1) {
        // More to read: after the loop's other sources had their turn.
        std::weak_ptr<Impl> weak = weak_from_this();
        boost::asio::post(io, [weak, g] {
          if (auto self = weak.lock(); self && self->generation == g) self->readReady();
        });
      }
    }
    afterTraffic(g);
  }

  void writeReady() {
    if (stalledBeforeConnack()) return;
    const auto g = generation;
    errno = 0;
    ++depth;
    mosquitto_loop_write(handle, 1);
    --depth;
    if (generation != g) return;
    noteErrno();
    afterTraffic(g);
  }

  // After traffic: the keep-alive timer follows the connection, then the waits are renewed.
  void afterTraffic(std::uint64_t g) {
    if (generation != g || !handle) return;
    const bool justConnected = connected && !keepaliveArmed;
    if (justConnected) {
      keepaliveArmed = true;
      scheduleMisc();
      if (delegate.connected) delegate.connected();
      if (generation != g || !handle) return;
    }
    settle();
  }

  // libmosquitto's housekeeping (PINGREQ when the connection was quiet, the PINGRESP check) a
  // few times per keep-alive interval.
  void scheduleMisc() {
    armTimer(std::max<std::chrono::steady_clock::duration>(options.keepalive / 4, 1s), [](Impl& self) {
      const auto g = self.generation;
      ++self.depth;
      mosquitto_loop_misc(self.handle);
      --self.depth;
      if (self.generation != g) return;
      self.scheduleMisc();
      self.settle();
    });
  }
};

DeckMqttClient::DeckMqttClient(platform::RunLoop& loop, DeckMqttClientOptions options,
                               DeckMqttClientDelegate delegate)
    : _impl(std::make_shared<Impl>(loop, std::move(options), std::move(delegate))) {
  InitLibrary();
}

DeckMqttClient::~DeckMqttClient() {
  _impl->closing = true;
  _impl->drop();
}

void DeckMqttClient::start() { _impl->attempt(); }

bool DeckMqttClient::isConnected() const { return _impl->connected && _impl->handle; }

std::optional<int> DeckMqttClient::publish(const std::string& topic, std::string_view payload, int qos,
                                           bool retain) {
  if (!isConnected()) return std::nullopt;
  int id = 0;
  int rc = mosquitto_publish(_impl->handle, &id, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), qos, retain);
  _impl->settle();
  if (rc) return std::nullopt;
  return id;
}

bool DeckMqttClient::subscribe(const std::vector<std::string>& patterns, int qos) {
  if (!isConnected() || patterns.empty()) return false;
  std::vector<char*> list;
  for (auto& p : patterns) list.push_back(const_cast<char*>(p.c_str()));
  int rc = mosquitto_subscribe_multiple(_impl->handle, nullptr, static_cast<int>(list.size()), list.data(),
                                        qos, 0, nullptr);
  _impl->settle();
  return rc == MOSQ_ERR_SUCCESS;
}

void DeckMqttClient::close(const std::string& finalTopic, std::string_view finalPayload,
                           std::chrono::milliseconds timeout) {
  Impl& d = *_impl;
  d.closing = true;
  if (isConnected()) {
    if (!finalTopic.empty())
      mosquitto_publish(d.handle, nullptr, finalTopic.c_str(), static_cast<int>(finalPayload.size()),
                        finalPayload.data(), 1, true);
    mosquitto_disconnect(d.handle);
    // A bounded wait for the socket to take both: the process may end right after.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (d.handle && mosquitto_socket(d.handle) >= 0 && mosquitto_want_write(d.handle)) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{mosquitto_socket(d.handle), POLLOUT, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      if (mosquitto_loop_write(d.handle, 1) != MOSQ_ERR_SUCCESS) break;
    }
  }
  if (d.socket.is_open()) d.socket.release();
  d.drop();
}

std::string DeckMqttClient::brokerName() const { return _impl->brokerName(); }

} // namespace deck
