// Encoding statistics: running time, frames and bytes since the last reset, shown as the
// Statistics dialog's five texts. The counts are shown whole, however long capture ran.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/clock.h"

namespace zep::video {

struct StatisticsTexts {
  std::string totalTime, frames, bytes, framesPerSecond, bytesPerSecond;
};

class VideoStatistics {
 public:
  explicit VideoStatistics(clock::Clock& clock) : clock_(clock) {}
  void clock_start();
  void clock_stop();
  void count_frame(std::size_t bytes);
  StatisticsTexts refresh() const;
  // The dialog's Update (running time brought up to now) and Reset.
  StatisticsTexts update();
  StatisticsTexts reset();

 private:
  clock::Clock& clock_;
  mutable std::mutex mutex_;
  bool running_ = false;
  std::uint32_t start_ = 0;
  std::uint64_t total_ = 0;  // ms
  std::uint64_t frames_ = 0;
  std::uint64_t bytes_ = 0;
};

}  // namespace zep::video
