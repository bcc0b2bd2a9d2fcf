// Millisecond time: the tick count, sleeping, and a clock that tests can drive.
#pragma once

#include <atomic>
#include <cstdint>
#include <stop_token>

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
  // Finer time for pacing: microseconds on the same scale as now() × 1000.
  virtual std::uint64_t nowMicros() { return std::uint64_t{now()} * 1000; }
  virtual void sleepMicros(std::int64_t us) { sleep(static_cast<int>((us + 999) / 1000)); }
  // Waits until nowMicros() reaches deadline, or stop is requested; false when stopped.
  virtual bool waitUntilMicros(std::uint64_t deadline, const std::stop_token& stop);
};

class RealClock final : public Clock {
 public:
  std::uint32_t now() override { return tickCount(); }
  void sleep(int ms) override { sleepMs(ms); }
  std::uint64_t nowMicros() override;
  void sleepMicros(std::int64_t us) override;
};

// Time moves only when advanced. Sleeping advances it, or, for a clock that only the test
// moves (sleepAdvances false), waits until the test has advanced it far enough. Safe to share
// between threads.
class SimulatedClock final : public Clock {
 public:
  explicit SimulatedClock(std::uint32_t start = 0, bool sleepAdvances = true)
      : micros_(std::uint64_t{start} * 1000), sleepAdvances_(sleepAdvances) {}
  std::uint32_t now() override { return static_cast<std::uint32_t>(micros_ / 1000); }
  void sleep(int ms) override { sleepMicros(std::int64_t{ms} * 1000); }
  std::uint64_t nowMicros() override { return micros_; }
  void sleepMicros(std::int64_t us) override;
  bool waitUntilMicros(std::uint64_t deadline, const std::stop_token& stop) override;
  void advance(int ms) { micros_ += static_cast<std::uint64_t>(ms) * 1000; }

 private:
  std::atomic<std::uint64_t> micros_;
  bool sleepAdvances_;
};

}  // namespace zep::clock
