#include "audio/capture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "audio/adpcm.h"

namespace zep::audio {
namespace {

struct Blocks {
  std::mutex mutex;
  std::vector<std::vector<std::int16_t>> got;
  std::size_t size() {
    std::lock_guard lock(mutex);
    return got.size();
  }
  bool waitFor(std::size_t n) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (size() < n)
      if (std::chrono::steady_clock::now() > deadline)
        return false;
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
  }
};

std::string rampFile() {
  std::string path =
      (std::filesystem::temp_directory_path() / ("ramp-" + std::to_string(::getpid()) + ".wav"))
          .string();
  std::vector<std::int16_t> ramp(8000);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::int16_t>(i);
  std::string error;
  sound::writeSoundFile(path, ramp, &error);
  return path;
}

TEST(AudioCapture, DeliversBlocksInOrderWhileCapturingAndNothingAfterClose) {
  auto path = rampFile();
  clock::SimulatedClock clock;
  sound::AudioSystem system("file:" + path, "none", false, clock);
  AudioCapture capture(system);
  Blocks blocks;
  ASSERT_TRUE(capture.init([&](std::span<const std::int16_t> s) {
    std::lock_guard lock(blocks.mutex);
    blocks.got.emplace_back(s.begin(), s.end());
  }));
  ASSERT_TRUE(capture.open());
  ASSERT_TRUE(blocks.waitFor(5));
  capture.close();
  std::size_t atClose = blocks.size();
  clock.advance(1000);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(blocks.size(), atClose) << "nothing is delivered after close";
  std::lock_guard lock(blocks.mutex);
  for (std::size_t b = 0; b < 5; ++b) {
    ASSERT_EQ(blocks.got[b].size(), kBlockSamples);
    EXPECT_EQ(blocks.got[b][0], static_cast<std::int16_t>(b * kBlockSamples)) << "block " << b;
  }
  std::filesystem::remove(path);
}

TEST(AudioCapture, ReopenedAfterAPauseItDeliversAgainAtOnce) {
  auto path = rampFile();
  clock::SimulatedClock clock;
  sound::AudioSystem system("file:" + path, "none", false, clock);
  AudioCapture capture(system);
  Blocks blocks;
  capture.init([&](std::span<const std::int16_t> s) {
    std::lock_guard lock(blocks.mutex);
    blocks.got.emplace_back(s.begin(), s.end());
  });
  ASSERT_TRUE(capture.open());
  ASSERT_TRUE(blocks.waitFor(2));
  capture.close();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the thread waits, closed
  const std::size_t before = blocks.size();
  const auto reopened = std::chrono::steady_clock::now();
  ASSERT_TRUE(capture.open());
  ASSERT_TRUE(blocks.waitFor(before + 1));
  EXPECT_LT(std::chrono::steady_clock::now() - reopened, std::chrono::milliseconds(250))
      << "the closed thread noticed the opening late";
  capture.close();
  std::filesystem::remove(path);
}

TEST(AudioCapture, NotCapturingStopsDeliveryAndAMissingDeviceFailsToOpen) {
  auto path = rampFile();
  clock::SimulatedClock clock;
  sound::AudioSystem system("file:" + path, "none", false, clock);
  AudioCapture capture(system);
  Blocks blocks;
  capture.init([&](std::span<const std::int16_t> s) {
    std::lock_guard lock(blocks.mutex);
    blocks.got.emplace_back(s.begin(), s.end());
  });
  ASSERT_TRUE(capture.open());
  ASSERT_TRUE(blocks.waitFor(2));
  capture.set_capturing(false);
  std::size_t stopped = blocks.size();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_LE(blocks.size(), stopped + 1) << "at most the block in hand";
  capture.close();

  sound::AudioSystem none("none", "none", false, clock);
  AudioCapture nothing(none);
  nothing.init([](std::span<const std::int16_t>) {});
  std::string error;
  EXPECT_FALSE(nothing.open(&error));
  EXPECT_EQ(error, "no sound input device");
  EXPECT_FALSE(nothing.isOpen());
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace zep::audio
