// What arrives from each member, per medium: packets received, out of order and late, bytes,
// and when, with the figures the Statistics dialog shows and the receive report.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace zep::kestrel {

inline constexpr int kStatsRing = 100;
inline constexpr std::uint32_t kStatsWindowMs = 5000;
inline constexpr std::uint32_t kLateAfterMs = 150;

class ReceiveStats {
 public:
  // The first packet from a member starts the counting and is not itself counted.
  void start(std::uint16_t sequence, std::uint32_t now);
  // A later packet. False when it is older than the newest one counted (it is counted as lost
  // and is not to be used).
  bool count(std::uint16_t sequence, std::size_t bytes, std::uint32_t now);

  int received() const { return received_; }
  int lost() const { return lost_; }
  int late() const { return late_; }
  std::uint64_t totalBytes() const { return totalBytes_; }

  // Over the last five seconds.
  int bandwidthKbps(std::uint32_t now) const;
  double framesPerSecond(std::uint32_t now) const;
  // The mean of (gap between arrivals - 100 ms) per packet; 0 before any.
  double latencyMs() const;
  int receivedShare() const;
  int lostShare() const;
  int lateShare() const;

 private:
  struct Arrival {
    std::uint32_t time = 0;
    std::size_t bytes = 0;
    bool used = false;
  };
  std::uint32_t lastArrival_ = 0;
  std::uint16_t newest_ = 0;
  std::array<Arrival, kStatsRing> ring_{};
  int position_ = 0;
  std::int64_t gapSum_ = 0;
  int received_ = 0, lost_ = 0, late_ = 0;
  std::uint64_t totalBytes_ = 0;
};

// The Statistics dialog's texts.
std::string countText(int count, int share);  // "%6d (%3d%%)"
std::string totalText(int total);             // "%6d"
std::string bandwidthText(double kbps);       // "%4.0f kbps"
std::string latencyText(double ms);           // "%3.0f ms"
std::string frameRateText(double fps);        // "%2.1f fps"

}  // namespace zep::kestrel
