#include "video/statistics.h"

#include <cstdio>

namespace zep::video {

void VideoStatistics::clock_start() {
  std::lock_guard lock(mutex_);
  if (running_) return;
  running_ = true;
  start_ = clock_.now();
}

void VideoStatistics::clock_stop() {
  std::lock_guard lock(mutex_);
  if (!running_) return;
  running_ = false;
  total_ += clock_.now() - start_;
}

void VideoStatistics::count_frame(std::size_t bytes) {
  std::lock_guard lock(mutex_);
  frames_++;
  bytes_ += bytes;
}

StatisticsTexts VideoStatistics::refresh() const {
  std::lock_guard lock(mutex_);
  double fps = 0, bps = 0;
  if (total_ > 0) {
    fps = double(frames_) / double(total_) * 1000;
    bps = double(bytes_) / double(total_) * 1000;
  }
  auto format = [](const char* f, auto v) {
    char text[64];
    std::snprintf(text, sizeof text, f, v);
    return std::string(text);
  };
  return {std::to_string(total_), std::to_string(frames_), std::to_string(bytes_),
          format("%2.4f", fps), format("%6.0f", bps)};
}

StatisticsTexts VideoStatistics::update() {
  bool running;
  {
    std::lock_guard lock(mutex_);
    running = running_;
  }
  if (running) {
    clock_stop();
    auto texts = refresh();
    clock_start();
    return texts;
  }
  return refresh();
}

StatisticsTexts VideoStatistics::reset() {
  bool running;
  {
    std::lock_guard lock(mutex_);
    running = running_;
  }
  if (running) {
    clock_stop();
    clock_start();
  }
  {
    std::lock_guard lock(mutex_);
    total_ = 0;
    frames_ = 0;
    bytes_ = 0;
  }
  return refresh();
}

}  // namespace zep::video
