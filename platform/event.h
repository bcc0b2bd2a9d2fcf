// Named manual-reset events: one object per name per process, shared by every thread.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string_view>

namespace zep::event {

class ManualResetEvent {
 public:
  explicit ManualResetEvent(bool initiallySet = false) : set_(initiallySet) {}
  void set();
  void reset();
  bool isSet() const;
  // Waits until the event is set; false when timeoutMs passed first. Negative waits for ever.
  bool wait(int timeoutMs);
  // Waits until set, then resets it: taking the lock that a set event stands for.
  bool take(int timeoutMs);

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool set_;
};

// The process-wide event of this name, created on first use in the set state when
// initiallySet (later calls return the same object and ignore the flag).
ManualResetEvent& named(std::string_view name, bool initiallySet = false);

}  // namespace zep::event
