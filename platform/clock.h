// Millisecond time: the tick count, sleeping, and a clock that tests can drive.
#pragma once

#include <cstdint>

namespace zep::clock {

// Milliseconds since an arbitrary start, wrapping at 32 bits like the tick count that the
// wire and the files store.
std::uint32_t tickCount();
void sleepMs(int ms);

// Where timing is behaviour, code takes a Clock: production passes the real one, tests a
// simulated one that they advance.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::uint32_t now() = 0;
  virtual void sleep(int ms) = 0;
};

class RealClock final : public Clock {
 public:
  std::uint32_t now() override { return tickCount(); }
  void sleep(int ms) override { sleepMs(ms); }
};

// Time moves only when advanced; sleep advances it.
class SimulatedClock final : public Clock {
 public:
  explicit SimulatedClock(std::uint32_t start = 0) : now_(start) {}
  std::uint32_t now() override { return now_; }
  void sleep(int ms) override { advance(ms); }
  void advance(int ms) { now_ += static_cast<std::uint32_t>(ms); }

 private:
  std::uint32_t now_;
};

}  // namespace zep::clock
