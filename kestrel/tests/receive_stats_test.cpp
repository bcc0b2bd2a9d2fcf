// The receive counters and the texts the Statistics dialog shows.
#include "kestrel/receive_stats.h"

#include <gtest/gtest.h>

namespace zep::kestrel {
namespace {

ReceiveStats every(std::uint32_t gapMs, int packets, std::size_t bytes = 100) {
  ReceiveStats s;
  std::uint32_t t = 1000;
  s.start(0, t);
  for (int i = 1; i <= packets; ++i) s.count(static_cast<std::uint16_t>(i), bytes, t += gapMs);
  return s;
}

TEST(ReceiveStats, PacketsEveryHundredMillisecondsAreOnTimeEveryTwoHundredLate) {
  auto onTime = every(100, 20);
  EXPECT_NEAR(onTime.latencyMs(), 0, 6);
  EXPECT_EQ(onTime.late(), 0);
  auto slow = every(200, 20);
  EXPECT_NEAR(slow.latencyMs(), 100, 6);
  EXPECT_EQ(slow.late(), 19) << "every packet after the first counted one";
  EXPECT_EQ(slow.lateShare(), 95);
}

TEST(ReceiveStats, FiftyPacketsOfTwoHundredBytesInFiveSeconds) {
  auto s = every(100, 51, 200);
  std::uint32_t now = 1000 + 51 * 100;
  EXPECT_EQ(s.bandwidthKbps(now), 16);
  EXPECT_EQ(frameRateText(s.framesPerSecond(now)), "10.0 fps");
  EXPECT_EQ(s.bandwidthKbps(now + 6000), 0) << "only the last five seconds count";
}

TEST(ReceiveStats, OlderPacketsAreLostAndTheCounterMayWrap) {
  ReceiveStats s;
  s.start(65530, 0);
  for (std::uint16_t q : {65531, 65533, 65532, 65535, 0, 1, 2}) s.count(q, 10, 100 * q % 7000);
  EXPECT_EQ(s.lost(), 1) << "65532 came after 65533";
  EXPECT_EQ(s.received(), 7);
  EXPECT_EQ(s.lostShare(), 12);
  EXPECT_FALSE(s.count(65000, 10, 0)) << "far behind: not used";
}

TEST(ReceiveStats, ZeroTextsKeepTheirWidths) {
  ReceiveStats none;
  EXPECT_EQ(countText(none.received(), none.receivedShare()), "     0 (  0%)");
  EXPECT_EQ(totalText(0), "     0");
  EXPECT_EQ(bandwidthText(0), "   0 kbps");
  EXPECT_EQ(latencyText(none.latencyMs()), "  0 ms");
  EXPECT_EQ(frameRateText(0), "0.0 fps");
}

}  // namespace
}  // namespace zep::kestrel
