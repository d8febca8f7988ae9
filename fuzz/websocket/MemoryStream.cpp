#include "websocket/MemoryStream.hpp"

#include "platform/RunLoop.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>

namespace fuzz {

namespace {

constexpr std::uint8_t kBlankLine[] = {'\r', '\n', '\r', '\n'};

struct Side {
  WSStreamStatus status = WSStreamStatusNotOpen;
  std::weak_ptr<WSStreamDelegate> delegate;
  platform::RunLoop* loop = nullptr;
  unsigned held = 0;
  std::weak_ptr<WSStream> stream;
  std::unordered_map<std::string, std::any> properties;
};

} // namespace

class MemoryStreamCore : public std::enable_shared_from_this<MemoryStreamCore> {
public:
  MemoryStreamCore(std::vector<std::uint8_t> in, std::size_t chunk) : _in(std::move(in)), _chunk(chunk) {}

  std::mutex mutex;
  Side input, output;
  Side& side(bool isInput) { return isInput ? input : output; }

  void open(bool isInput) {
    std::lock_guard lock(mutex);
    Side& s = side(isInput);
    if (s.status != WSStreamStatusNotOpen) return;
    s.status = WSStreamStatusOpen;
    post(isInput, WSStreamEventOpenCompleted);
    if (!isInput) post(false, WSStreamEventHasSpaceAvailable);
  }

  void close(bool isInput) {
    std::lock_guard lock(mutex);
    side(isInput).status = WSStreamStatusClosed;
    side(isInput).held = 0;
  }

  void setDelegate(bool isInput, std::weak_ptr<WSStreamDelegate> delegate) {
    std::lock_guard lock(mutex);
    side(isInput).delegate = std::move(delegate);
    flush(isInput);
  }

  void schedule(bool isInput, platform::RunLoop* loop) {
    std::lock_guard lock(mutex);
    side(isInput).loop = loop;
    flush(isInput);
  }

  std::ptrdiff_t read(std::uint8_t* buffer, std::size_t length) {
    std::lock_guard lock(mutex);
    if (input.status == WSStreamStatusAtEnd) return 0;
    if (input.status != WSStreamStatusOpen) return -1;
    std::size_t n = std::min(length, _in.size() - _at);
    if (_chunk) n = std::min(n, _chunk);
    if (n == 0) {
      input.status = WSStreamStatusAtEnd;
      post(true, WSStreamEventEndEncountered);
      return 0;
    }
    std::memcpy(buffer, _in.data() + _at, n);
    _at += n;
    post(true, WSStreamEventHasBytesAvailable); // more bytes, or the end
    return static_cast<std::ptrdiff_t>(n);
  }

  bool hasBytesAvailable() {
    std::lock_guard lock(mutex);
    return input.status == WSStreamStatusOpen;
  }

  std::ptrdiff_t write(const std::uint8_t* buffer, std::size_t length) {
    std::lock_guard lock(mutex);
    if (output.status != WSStreamStatusOpen) return -1;
    const std::size_t n = _chunk ? std::min(length, _chunk) : length;
    _out.insert(_out.end(), buffer, buffer + n);
    // The server answers once the client's request head is complete: the first bytes become
    // available then, as they would on a socket.
    if (!_answering && std::search(_out.begin(), _out.end(), kBlankLine, kBlankLine + 4) != _out.end()) {
      _answering = true;
      post(true, WSStreamEventHasBytesAvailable);
    }
    if (n < length) post(false, WSStreamEventHasSpaceAvailable);
    return static_cast<std::ptrdiff_t>(n);
  }

  bool hasSpaceAvailable() {
    std::lock_guard lock(mutex);
    return output.status == WSStreamStatusOpen;
  }

  std::vector<std::uint8_t> written() {
    std::lock_guard lock(mutex);
    return _out;
  }

private:
  void post(bool isInput, WSStreamEvent event) {
    side(isInput).held |= event;
    flush(isInput);
  }

  void flush(bool isInput) {
    Side& s = side(isInput);
    if (!s.held || !s.loop || s.delegate.expired() || s.status == WSStreamStatusClosed) return;
    auto stream = s.stream.lock();
    if (!stream) return;
    s.loop->queue().async([self = shared_from_this(), isInput, events = std::exchange(s.held, 0u),
                           delegate = s.delegate, stream] {
      for (unsigned bit : {1u, 2u, 4u, 8u, 16u}) {
        if (!(events & bit)) continue;
        {
          std::lock_guard lock(self->mutex);
          if (self->side(isInput).status == WSStreamStatusClosed) return;
        }
        if (auto d = delegate.lock()) d->streamHandleEvent(*stream, static_cast<WSStreamEvent>(bit));
      }
    });
  }

  std::vector<std::uint8_t> _in;
  std::size_t _at = 0;
  bool _answering = false;
  std::size_t _chunk;
  std::vector<std::uint8_t> _out;
};

namespace {

template <class Base, bool Input> class MemoryStream : public Base {
public:
  explicit MemoryStream(std::shared_ptr<MemoryStreamCore> core) : _core(std::move(core)) {}
  void open() override { _core->open(Input); }
  void close() override { _core->close(Input); }
  WSStreamStatus streamStatus() const override {
    std::lock_guard lock(_core->mutex);
    return _core->side(Input).status;
  }
  std::optional<WSError> streamError() const override { return std::nullopt; }
  void setDelegate(std::weak_ptr<WSStreamDelegate> delegate) override {
    _core->setDelegate(Input, std::move(delegate));
  }
  void scheduleInRunLoop(platform::RunLoop& loop) override { _core->schedule(Input, &loop); }
  void removeFromRunLoop(platform::RunLoop&) override { _core->schedule(Input, nullptr); }
  std::any propertyForKey(const std::string& key) const override {
    std::lock_guard lock(_core->mutex);
    auto& properties = _core->side(Input).properties;
    auto found = properties.find(key);
    return found == properties.end() ? std::any() : found->second;
  }
  bool setProperty(std::any value, const std::string& key) override {
    std::lock_guard lock(_core->mutex);
    _core->side(Input).properties[key] = std::move(value);
    return true;
  }
  std::string description() const override { return Input ? "<memory input>" : "<memory output>"; }

protected:
  std::shared_ptr<MemoryStreamCore> _core;
};

class MemoryInputStream final : public MemoryStream<WSInputStream, true> {
public:
  using MemoryStream::MemoryStream;
  std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength) override {
    return _core->read(buffer, maxLength);
  }
  bool hasBytesAvailable() override { return _core->hasBytesAvailable(); }
};

class MemoryOutputStream final : public MemoryStream<WSOutputStream, false> {
public:
  using MemoryStream::MemoryStream;
  std::ptrdiff_t write(const std::uint8_t* buffer, std::size_t maxLength) override {
    return _core->write(buffer, maxLength);
  }
  bool hasSpaceAvailable() override { return _core->hasSpaceAvailable(); }
};

} // namespace

WSStreamPair MemoryStreamPair(std::vector<std::uint8_t> serverBytes, std::size_t chunk,
                              std::shared_ptr<MemoryStreamCore>* coreOut) {
  auto core = std::make_shared<MemoryStreamCore>(std::move(serverBytes), chunk);
  auto input = std::make_shared<MemoryInputStream>(core);
  auto output = std::make_shared<MemoryOutputStream>(core);
  {
    std::lock_guard lock(core->mutex);
    core->input.stream = input;
    core->output.stream = output;
  }
  if (coreOut) *coreOut = core;
  return {input, output};
}

std::vector<std::uint8_t> MemoryStreamWritten(const MemoryStreamCore& core) {
  return const_cast<MemoryStreamCore&>(core).written();
}

} // namespace fuzz
