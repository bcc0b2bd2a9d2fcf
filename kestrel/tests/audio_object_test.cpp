// Two audio objects of the integrated client talking through sound files: what one says is
// found in the other's loudspeaker file, and the receive report counts it.
#include "kestrel/audio_object.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace zep::kestrel {
namespace {

struct QuietHooks final : AudioObjectHooks {
  std::vector<std::string> messages;
  void showTalk(bool, bool) override {}
  void showSwitches(bool, bool) override {}
  void showMicrophone(int) override {}
  void showSpeaker(int) override {}
  void armSwitchTimer() override {}
  void raiseLater(TalkEvent) override {}
  void message(const std::string&, const std::string& text) override { messages.push_back(text); }
  void requestClose() override {}
};

std::filesystem::path scratch() {
  auto dir =
      std::filesystem::temp_directory_path() / ("kestrel-audio-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  return dir;
}

TEST(KestrelAudioObject, WhatOneSaysIsHeardByTheOtherAndReported) {
  auto dir = scratch();
  std::vector<std::int16_t> tone(8000 * 3);
  for (std::size_t i = 0; i < tone.size(); ++i)
    tone[i] = static_cast<std::int16_t>(12000 * std::sin(2 * M_PI * 440 * double(i) / 8000));
  std::string error;
  ASSERT_TRUE(sound::writeSoundFile((dir / "mic.wav").string(), tone, &error)) << error;
  clock::RealClock clock;
  sound::AudioSystem talker("file:" + (dir / "mic.wav").string(), "none", false, clock);
  sound::AudioSystem listener("none", "file:" + (dir / "out.wav").string(), false, clock);

  QuietHooks hooksA, hooksB;
  std::mutex mutex;
  std::uint16_t sequence = 0;
  std::unique_ptr<AudioObject> b;
  AudioObjectSettings sa;
  sa.compression = [] { return 13; };  // ADPCM with its state ahead
  sa.send = [&](int type, std::span<const std::uint8_t> data) {
    std::lock_guard lock(mutex);
    if (b) b->onPacket(0, type, data, sequence++);
  };
  sa.reportPath = (dir / "a-report.log").string();
  sa.mixerLogPath = (dir / "a-ksa.log").string();
  AudioObjectSettings sb = sa;
  sb.send = [](int, std::span<const std::uint8_t>) {};
  sb.reportPath = (dir / "b-report.log").string();
  sb.mixerLogPath = (dir / "b-ksa.log").string();

  AudioObject a(talker, clock, hooksA, sa);
  b = std::make_unique<AudioObject>(listener, clock, hooksB, sb);
  ASSERT_TRUE(b->start());
  EXPECT_EQ(hooksB.messages,
            std::vector<std::string>{"Audio device does not support audio capturing"});
  // The talker has no loudspeaker: no playout device, so it cannot start at all.
  EXPECT_FALSE(a.start());
  EXPECT_EQ(hooksA.messages.back(), "There is no appropriate audio device");

  // A talker with a loudspeaker of its own.
  sound::AudioSystem talker2("file:" + (dir / "mic.wav").string(),
                             "file:" + (dir / "a-out.wav").string(), false, clock);
  AudioObject a2(talker2, clock, hooksA, sa);
  ASSERT_TRUE(a2.start());
  a2.talk().setSendThreshold(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  a2.stop();
  {
    std::lock_guard lock(mutex);
    b->stop();
  }
  std::vector<std::int16_t> heard;
  ASSERT_TRUE(sound::readSoundFile((dir / "out.wav").string(), &heard, &error)) << error;
  EXPECT_GT(sound::toneEnergy(heard, 440), 1000 * std::max(1.0, sound::toneEnergy(heard, 990)))
      << "the talker's tone is in the listener's loudspeaker file";
  std::ifstream report(dir / "b-report.log");
  std::stringstream text;
  text << report.rdbuf();
  EXPECT_EQ(text.str().rfind("AUDIO RECEIVE REPORT\nUser 0, packets: received ", 0), 0u)
      << text.str();
  EXPECT_NE(text.str().find(", lost 0"), std::string::npos);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zep::kestrel
