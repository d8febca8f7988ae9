#include "websocket/security/WSLogHook.hpp"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>

namespace {

struct Hook {
  std::function<bool()> enabled;
  std::function<void(const std::string&)> write;
};

std::mutex gHookMutex;
std::shared_ptr<const Hook> gHook;

std::shared_ptr<const Hook> CurrentHook() {
  std::lock_guard lock(gHookMutex);
  return gHook;
}

} // namespace

void WSSetLogHook(std::function<bool()> enabled, std::function<void(const std::string&)> write) {
  auto hook = std::make_shared<const Hook>(Hook{std::move(enabled), std::move(write)});
  std::lock_guard lock(gHookMutex);
  gHook = hook->write ? std::move(hook) : nullptr;
}

bool WSLogEnabled() {
  auto hook = CurrentHook();
  return hook && (!hook->enabled || hook->enabled());
}

void WSLogWrite(const std::string& line) {
  // The hook runs outside the lock so that it may itself log or install another hook.
  if (auto hook = CurrentHook()) hook->write(line);
}

std::string WSLogFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (size > 0) {
    text.resize(static_cast<std::size_t>(size) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(size));
  }
  va_end(args);
  return text;
}
