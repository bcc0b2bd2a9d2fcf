#include "platform/event.h"

#include <chrono>
#include <map>
#include <memory>
#include <string>

namespace zep::event {

void ManualResetEvent::set() {
  {
    std::lock_guard lock(mutex_);
    set_ = true;
  }
  changed_.notify_all();
}

void ManualResetEvent::reset() {
  std::lock_guard lock(mutex_);
  set_ = false;
}

bool ManualResetEvent::isSet() const {
  std::lock_guard lock(mutex_);
  return set_;
}

bool ManualResetEvent::wait(int timeoutMs) {
  std::unique_lock lock(mutex_);
  if (timeoutMs < 0) {
    changed_.wait(lock, [this] { return set_; });
    return true;
  }
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return set_; });
}

bool ManualResetEvent::take(int timeoutMs) {
  std::unique_lock lock(mutex_);
  auto ready = [this] { return set_; };
  if (timeoutMs < 0)
    changed_.wait(lock, ready);
  else if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready))
    return false;
  set_ = false;
  return true;
}

ManualResetEvent& named(std::string_view name, bool initiallySet) {
  static std::mutex registryMutex;
  static std::map<std::string, std::unique_ptr<ManualResetEvent>, std::less<>> registry;
  std::lock_guard lock(registryMutex);
  auto it = registry.find(name);
  if (it == registry.end())
    it =
        registry.emplace(std::string(name), std::make_unique<ManualResetEvent>(initiallySet)).first;
  return *it->second;
}

}  // namespace zep::event
