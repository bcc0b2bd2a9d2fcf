#include "kestrel/receive_stats.h"

#include <cstdio>

namespace zep::kestrel {

void ReceiveStats::start(std::uint16_t sequence, std::uint32_t now) {
  *this = ReceiveStats{};
  lastArrival_ = now;
  newest_ = sequence;
}

bool ReceiveStats::count(std::uint16_t sequence, std::size_t bytes, std::uint32_t now) {
  received_++;
  totalBytes_ += bytes;
  if (received_ == 1) {
    lastArrival_ = now;
    newest_ = sequence;
    return true;
  }
  // Sequence numbers compared as serial numbers, the reference following the newest packet:
  // the 16-bit counter wraps after 65536 packets without every later packet counting as lost.
  auto ahead = static_cast<std::int16_t>(static_cast<std::uint16_t>(sequence - newest_));
  if (ahead < 0) {
    lost_++;
    return false;
  }
  newest_ = sequence;
  if (now - lastArrival_ > kLateAfterMs) late_++;
  gapSum_ += static_cast<std::int64_t>(now - lastArrival_) - 100;
  lastArrival_ = now;
  ring_[static_cast<std::size_t>(position_)] = {now, bytes, true};
  position_ = (position_ + 1) % kStatsRing;
  return true;
}

int ReceiveStats::bandwidthKbps(std::uint32_t now) const {
  std::uint64_t bytes = 0;
  for (const auto& a : ring_)
    if (a.used && now - a.time < kStatsWindowMs) bytes += a.bytes;
  return static_cast<int>(bytes * 8 / kStatsWindowMs);
}

double ReceiveStats::framesPerSecond(std::uint32_t now) const {
  int n = 0;
  for (const auto& a : ring_)
    if (a.used && now - a.time < kStatsWindowMs) n++;
  return n * 1000.0 / kStatsWindowMs;
}

double ReceiveStats::latencyMs() const {
  return received_ > 0 ? static_cast<double>(gapSum_) / received_ : 0;
}

int ReceiveStats::receivedShare() const {
  return received_ + lost_ < 1 ? 0 : received_ * 100 / (received_ + lost_);
}

int ReceiveStats::lostShare() const {
  return received_ == 0 ? 0 : lost_ * 100 / (received_ + lost_);
}

int ReceiveStats::lateShare() const {
  return received_ == 0 ? 0 : late_ * 100 / (received_ + lost_);
}

namespace {
template <typename... A>
std::string format(const char* f, A... a) {
  char text[64];
  std::snprintf(text, sizeof text, f, a...);
  return text;
}
}  // namespace

std::string countText(int count, int share) {
  return format("%6d (%3d%%)", count, share);
}
std::string totalText(int total) {
  return format("%6d", total);
}
std::string bandwidthText(double kbps) {
  return format("%4.0f kbps", kbps);
}
std::string latencyText(double ms) {
  return format("%3.0f ms", ms);
}
std::string frameRateText(double fps) {
  return format("%2.1f fps", fps);
}

}  // namespace zep::kestrel
