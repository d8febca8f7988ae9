#pragma once
// An in-memory distributed notification center: records every post and delivers a notification
// to the observers whose name and object match, at once, on the calling thread. Key Appeared
// posts, which every willAppear makes, are kept apart (`appeared`) so that `posted` holds what
// the plug-in posts for presses, turns and touches.

#include "contract/ZBContract.hpp"
#include "notifications/DistributedNotificationCenter.hpp"

#include <map>
#include <vector>

class FakeNotificationCenter final : public platform::DistributedNotificationCenter {
public:
  std::vector<platform::DistributedNotification> posted;
  std::vector<platform::DistributedNotification> appeared;
  struct Observer {
    std::string name, object;
    platform::DistributedNotificationHandler handler;
  };
  std::map<ObserverToken, Observer> observers;

  bool isAvailable() const override { return true; }
  void postNotificationName(const std::string& name, const std::string& object,
                            const nlohmann::json& userInfo) override {
    (name == kZBKeyAppearedNotification ? appeared : posted).push_back({name, object, userInfo});
  }
  ObserverToken addObserver(const std::string& name, const std::string& object,
                            platform::DistributedNotificationHandler handler) override {
    observers[++_last] = {name, object, std::move(handler)};
    return _last;
  }
  void removeObserver(ObserverToken token) override { observers.erase(token); }
  void setConnectedHandler(std::function<void()> handler) override { connected = std::move(handler); }

  /// What the center does once it has reconnected to the bus.
  std::function<void()> connected;

  /// What the bus would do for a notification from another process.
  void deliver(const std::string& name, const std::string& object, nlohmann::json userInfo) {
    platform::DistributedNotification notification{name, object, std::move(userInfo)};
    for (auto& [token, observer] : observers)
      if (observer.name == name && observer.object == object) observer.handler(notification);
  }

private:
  ObserverToken _last = 0;
};
