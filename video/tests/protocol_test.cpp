// The coded-frame payload, the order check, the presets and the settings file, the re-tune
// and the statistics texts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "codecs/picture.h"
#include "video/protocol.h"
#include "video/settings.h"
#include "video/statistics.h"

namespace zep::video {
namespace {

TEST(CodedFrame, CounterElevenZerosDataThreeZeros) {
  std::vector<std::uint8_t> data = {1, 2, 3};
  auto payload = encodeCodedFrame(7, data);
  ASSERT_EQ(payload.size(), 18u);
  EXPECT_EQ(payload[0], 7);
  for (int i = 1; i < 12; ++i) EXPECT_EQ(payload[i], 0);
  EXPECT_EQ(payload[12], 1);
  EXPECT_EQ(payload[14], 3);
  EXPECT_EQ(payload[17], 0);
  auto back = decodeCodedFrame(payload);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->counter, 7);
  EXPECT_EQ(std::vector<std::uint8_t>(back->data.begin(), back->data.end()), data);
  // Shorter than 15 bytes: not a frame; exactly 15: a frame without data.
  for (std::size_t n = 0; n < 15; ++n)
    EXPECT_FALSE(decodeCodedFrame(std::span(payload).first(n))) << n;
  EXPECT_TRUE(decodeCodedFrame(std::span(payload).first(15))->data.empty());
}

TEST(FrameOrder, LateFramesAreDroppedAndAWrappedCounterIsTaken) {
  FrameOrder order;
  EXPECT_TRUE(order.accept(4, 250));
  EXPECT_TRUE(order.accept(4, 3)) << "250 - 3 is 100 or more: the counter wrapped";
  EXPECT_TRUE(order.accept(4, 10));
  EXPECT_FALSE(order.accept(4, 9));
  EXPECT_TRUE(order.accept(4, 10));
  EXPECT_EQ(order.last(4), 10);
  order.reset(4);
  EXPECT_TRUE(order.accept(4, 1)) << "after a restart the first frame counts again";
  EXPECT_EQ(order.last(5), 0) << "members are kept apart";
  EXPECT_FALSE(order.accept(20, 1));
  EXPECT_FALSE(order.accept(-1, 1));
}

TEST(VideoPresets, EachPresetAndAnyOtherName) {
  VideoSettings s;
  apply_connection(s, "LAN");
  EXPECT_EQ(s.mode, MODE_YUV9);
  EXPECT_EQ(s.rate, 10);
  apply_connection(s, "ISDN-1 channel");
  EXPECT_EQ(s.mode, MODE_H261);
  EXPECT_EQ(s.rate, 5);
  applyAdvancedChoice(s, MODE_H261_INTRA);
  EXPECT_EQ(advancedChoice(s), MODE_H261_INTRA);
  // Modem 28.8 leaves the intra flag on; Advanced then shows H263.
  apply_connection(s, "Modem 28.8");
  EXPECT_EQ(s.mode, MODE_H263);
  EXPECT_TRUE(s.intra);
  EXPECT_EQ(advancedChoice(s), MODE_H263);
  applyAdvancedChoice(s, MODE_H261_INTRA);
  apply_connection(s, "ISDN-1 channel");
  EXPECT_FALSE(s.intra) << "ISDN presets turn intra mode off";
  VideoSettings before = s;
  apply_connection(s, "lan");
  EXPECT_EQ(s.connection, "lan") << "kept and saved";
  EXPECT_EQ(s.mode, before.mode);
  EXPECT_EQ(s.rate, before.rate);
}

TEST(VideoPresets, RetunePeriodFollowsProcessingTimeAndTheTargetRate) {
  VideoSettings s;
  apply_connection(s, "Modem 28.8");
  EXPECT_EQ(retunePeriod(s, 100), 250);
  EXPECT_EQ(retunePeriod(s, 150), 300);
  apply_connection(s, "ISDN-2 channels");
  EXPECT_EQ(retunePeriod(s, 10), 100);
  applyAdvancedChoice(s, MODE_H261_INTRA);
  EXPECT_EQ(retunePeriod(s, 50), 150) << "three times for H.261 intra coding";
}

TEST(VideoSettingsFile, OneLineOfAtMostNineteenCharacters) {
  auto dir = std::filesystem::temp_directory_path() / ("video-cfg-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  auto path = (dir / "video.cfg").string();
  std::string name;
  EXPECT_FALSE(read_settings((dir / "missing.cfg").string(), &name));

  ASSERT_TRUE(write_settings(path, "LAN"));
  ASSERT_TRUE(read_settings(path, &name));
  EXPECT_EQ(name, "LAN");
  std::ofstream(path) << "LAN\nsecond line";
  ASSERT_TRUE(read_settings(path, &name));
  EXPECT_EQ(name, "LAN\n") << "the line end is part of the name, which matches no preset";
  VideoSettings s;
  apply_connection(s, name);
  EXPECT_EQ(s.mode, MODE_H263);

  std::ofstream(path) << "a very long connection name indeed";
  ASSERT_TRUE(read_settings(path, &name));
  EXPECT_EQ(name, "a very long connect");
  std::ofstream(path, std::ios::binary) << std::string("LA\0N\xff", 5);
  ASSERT_TRUE(read_settings(path, &name));
  EXPECT_EQ(name, "LA");
  std::ofstream(path, std::ios::trunc).close();
  ASSERT_TRUE(read_settings(path, &name));
  EXPECT_EQ(name, "");
  EXPECT_FALSE(write_settings((dir / "no" / "such" / "dir.cfg").string(), "LAN"));
  std::filesystem::remove_all(dir);
}

TEST(VideoSettingsFile, LiesInTheDirectoryOfTheCommandLine) {
  EXPECT_EQ(settingsPath("/opt/zep/zepvideo"), "/opt/zep/video.cfg");
  EXPECT_EQ(settingsPath("\"/opt/zep/zepvideo"), "/opt/zep/video.cfg");
  EXPECT_EQ(settingsPath("zepvideo"), "video.cfg");
  EXPECT_EQ(settingsPath("/zepvideo"), "/video.cfg");
}

TEST(VideoSettingsFile, AnInstallationPathOverNinetyNineCharactersIsNotCutToAParentFolder) {
  const std::string folder = "/opt/" + std::string(120, 'z') + "/zep/video tool";
  EXPECT_EQ(settingsPath(folder + "/zepvideo"), folder + "/video.cfg");
  EXPECT_EQ(settingsPath("\"" + folder + "/zepvideo"), folder + "/video.cfg");
  // A folder whose name ends at character 99 is not taken for the folder of the program.
  const std::string edge = "/" + std::string(97, 'e');
  EXPECT_EQ(settingsPath(edge + "/zepvideo"), edge + "/video.cfg");
}

TEST(VideoStatistics, RunningTimeFramesAndBytes) {
  clock::SimulatedClock clock(1000);
  VideoStatistics stats(clock);
  auto none = stats.update();
  EXPECT_EQ(none.totalTime, "0");
  EXPECT_EQ(none.framesPerSecond, "0.0000");
  EXPECT_EQ(none.bytesPerSecond, "     0");
  stats.clock_start();
  clock.advance(2000);
  for (int i = 0; i < 8; ++i) stats.count_frame(1000);
  auto running = stats.update();  // brought up to now, still running
  EXPECT_EQ(running.totalTime, "2000");
  EXPECT_EQ(running.frames, "8");
  EXPECT_EQ(running.framesPerSecond, "4.0000");
  EXPECT_EQ(running.bytesPerSecond, "  4000");
  clock.advance(2000);
  stats.clock_stop();
  EXPECT_EQ(stats.refresh().totalTime, "4000");
  auto cleared = stats.reset();
  EXPECT_EQ(cleared.frames, "0");
  EXPECT_EQ(cleared.totalTime, "0");
}

// Uncompressed pictures at ten a second (LAN) pass 2^31 bytes after about two hours.
TEST(VideoStatistics, TotalBytesPastTwoGigabytesAreShownWholeNotNegative) {
  clock::SimulatedClock clock(1000);
  VideoStatistics stats(clock);
  stats.clock_start();
  const std::uint64_t seconds = 2 * 3600 + 360, frames = 10 * seconds;
  for (std::uint64_t i = 0; i < frames; ++i) stats.count_frame(picture::kYvu9FrameSize);
  clock.advance(static_cast<int>(seconds * 1000));
  auto texts = stats.update();
  EXPECT_EQ(texts.bytes, std::to_string(frames * picture::kYvu9FrameSize));
  EXPECT_EQ(texts.frames, "75600");
  EXPECT_EQ(texts.totalTime, "7560000");
  EXPECT_EQ(texts.bytesPerSecond, "285120");
  // Capture that runs for weeks: the running time in ms passes 2^31 as well.
  const int twentyDays = 20 * 24 * 3600 * 1000;
  clock.advance(twentyDays);
  clock.advance(twentyDays);
  EXPECT_EQ(stats.update().totalTime, std::to_string(7560000ull + 2ull * twentyDays));
}

}  // namespace
}  // namespace zep::video
