#include "platform/clock.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace zep::clock {

std::uint32_t tickCount() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
            static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

std::uint64_t RealClock::nowMicros() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

void RealClock::sleepMicros(std::int64_t us) {
  if (us > 0) std::this_thread::sleep_for(std::chrono::microseconds(us));
}

bool Clock::waitUntilMicros(std::uint64_t deadline, const std::stop_token& stop) {
  // In short steps, so a stop request is seen soon.
  while (!stop.stop_requested()) {
    std::uint64_t now = nowMicros();
    if (now >= deadline) return true;
    sleepMicros(static_cast<std::int64_t>(std::min<std::uint64_t>(deadline - now, 20000)));
  }
  return false;
}

bool SimulatedClock::waitUntilMicros(std::uint64_t deadline, const std::stop_token& stop) {
  if (sleepAdvances_) {
    if (micros_ < deadline) micros_ = deadline;
    return !stop.stop_requested();
  }
  while (micros_ < deadline) {
    if (stop.stop_requested()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void SimulatedClock::sleepMicros(std::int64_t us) {
  if (us <= 0) return;
  if (sleepAdvances_) {
    micros_ += static_cast<std::uint64_t>(us);
    return;
  }
  const std::uint64_t until = micros_ + static_cast<std::uint64_t>(us);
  while (micros_ < until) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void sleepMs(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace zep::clock
