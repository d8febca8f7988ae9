#pragma once
// A recording stand-in for a WebSocket connection: it records every message sent (text or
// binary, bytes as sent) and lets the test make the reports a real connection would make
// (open, message, close, failure), delivered at once on the calling thread.

#include "websocket/WSDelegateController.hpp"
#include "websocket/WSURLRequest.hpp"
#include "websocket/WSWebSocket.hpp"
#include "websocket/detail/WSHTTPConnectMessage.hpp"

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

class FakeWebSocket final : public WSWebSocket {
public:
  struct Sent {
    bool text;
    std::string bytes;
    nlohmann::json json() const { return nlohmann::json::parse(bytes); }
  };

  explicit FakeWebSocket(WSURLRequest request) : request(std::move(request)) {}

  WSURLRequest request;
  std::vector<Sent> sent;
  int openCalls = 0;
  int closeCalls = 0;
  std::int64_t state = WS_CONNECTING;
  /// What bufferedAmount() answers, and how many drain reports were asked for.
  std::uint64_t buffered = 0;
  int drainRequests = 0;

  void setDelegate(std::weak_ptr<WSWebSocketDelegate> delegate) override { _delegate = std::move(delegate); }
  std::shared_ptr<WSWebSocketDelegate> delegate() const override { return _delegate.lock(); }
  void setDelegateDispatchQueue(std::shared_ptr<platform::Queue>) override {}
  std::shared_ptr<platform::Queue> delegateDispatchQueue() const override { return nullptr; }
  void setDelegateOperationQueue(std::shared_ptr<platform::Queue>) override {}
  std::shared_ptr<platform::Queue> delegateOperationQueue() const override { return nullptr; }
  WSDelegateController& delegateController() override { return _controller; }
  void open() override { ++openCalls; }

  bool sendString(const std::string& string, WSError* error) override { return record(true, string, error); }
  bool sendData(const WSData& data, WSError* error) override {
    return record(false, std::string(data.begin(), data.end()), error);
  }
  bool sendPing(const WSData&, WSError*) override { return state == WS_OPEN; }
  bool sendDataNoCopy(std::shared_ptr<const WSData> data, WSError* error) override {
    return !data || sendData(*data, error);
  }
  void send(const std::optional<WSMessage>& message) override {
    if (!message) return;
    if (auto* text = std::get_if<std::string>(&*message))
      sendString(*text, nullptr);
    else
      sendData(std::get<WSData>(*message), nullptr);
  }
  int addReadyStateObserver(ReadyStateObserver) override { return 0; }
  void removeReadyStateObserver(int) override {}
  std::shared_ptr<const WSHTTPResponse> receivedHTTPHeaders() const override { return nullptr; }
  std::optional<std::vector<WSHTTPCookie>> requestCookies() const override { return std::nullopt; }
  void setRequestCookies(std::optional<std::vector<WSHTTPCookie>>) override {}
  bool allowsUntrustedSSLCertificates() const override { return false; }
  void setAllowsUntrustedSSLCertificates(bool) override {}
  void scheduleInRunLoop(platform::RunLoop&) override {}
  void unscheduleFromRunLoop(platform::RunLoop&) override {}
  std::uint64_t bufferedAmount() const override { return buffered; }
  void reportWhenOutputDrains() override { ++drainRequests; }
  void close() override { ++closeCalls; }
  void closeWithCode(std::int64_t, const std::optional<std::string>&) override { ++closeCalls; }
  std::int64_t readyState() const override { return state; }
  std::string url() const override { return request.url; }
  std::string protocol() const override { return ""; }

  // ---- Reports ----
  void reportOpen() {
    state = WS_OPEN;
    if (auto d = delegate()) d->webSocketDidOpen(*this);
  }
  void reportText(const std::string& text) {
    if (auto d = delegate()) d->webSocketDidReceiveMessage(*this, WSMessage(text));
  }
  void reportData(const std::string& bytes) {
    if (auto d = delegate())
      d->webSocketDidReceiveMessage(*this, WSMessage(WSData(bytes.begin(), bytes.end())));
  }
  void reportClose(std::int64_t code, std::optional<std::string> reason, bool wasClean) {
    state = WS_CLOSED;
    if (auto d = delegate()) d->webSocketDidClose(*this, code, reason, wasClean);
  }
  void reportDrain() {
    if (auto d = delegate()) d->webSocketDidDrainOutput(*this);
  }
  void reportFail(const WSError& error) {
    state = WS_CLOSED;
    if (auto d = delegate()) d->webSocketDidFail(*this, error);
  }

  /// Sent messages with this "event" value.
  std::vector<Sent> sentEvents(const std::string& event) const {
    std::vector<Sent> out;
    for (const auto& s : sent)
      if (s.json().value("event", "") == event) out.push_back(s);
    return out;
  }

private:
  bool record(bool text, std::string bytes, WSError* error) {
    if (state != WS_OPEN) {
      if (error)
        *error = WSErrorWithCodeDescription(
            WSErrorCode::InvalidState,
            "Invalid State: Cannot call `sendDataNoCopy:error:` until connection is open.");
      return false;
    }
    sent.push_back({text, std::move(bytes)});
    return true;
  }

  std::weak_ptr<WSWebSocketDelegate> _delegate;
  WSDelegateController _controller;
};
