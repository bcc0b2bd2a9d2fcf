// Two audio objects of the integrated client talking through sound files: what one says is
// found in the other's loudspeaker file, and the receive report counts it.
#include "kestrel/audio_object.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

namespace zep::kestrel {
namespace {

struct QuietHooks final : AudioObjectHooks {
  std::vector<std::string> messages;
  std::vector<std::string> titles;
  void showTalk(bool, bool) override {}
  void showSwitches(bool, bool) override {}
  void showMicrophone(int) override {}
  void showSpeaker(int) override {}
  void armSwitchTimer() override {}
  void raiseLater(TalkEvent) override {}
  void message(const std::string& title, const std::string& text) override {
    titles.push_back(title);
    messages.push_back(text);
  }
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

// One 100 ms PCM packet whose samples all have one value.
std::vector<std::uint8_t> pcmPacket(std::int16_t value) {
  std::vector<std::uint8_t> p;
  for (std::size_t i = 0; i < audio::kBlockSamples; ++i) {
    p.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(value) >> 8));
    p.push_back(static_cast<std::uint8_t>(value & 0xFF));
  }
  return p;
}

bool waitUntil(const std::function<bool()>& condition) {
  for (int i = 0; i < 500; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

// A listener with a loudspeaker file and no microphone.
struct ListenerRig {
  ListenerRig()
      : dir(scratch()),
        system("none", "file:" + (dir / "out.wav").string(), false, clock),
        object(system, clock, hooks, settings()) {}
  AudioObjectSettings settings() {
    AudioObjectSettings s;
    s.compression = [] { return 15; };
    s.send = [](int, std::span<const std::uint8_t>) {};
    s.reportPath = (dir / "report.log").string();
    s.mixerLogPath = (dir / "ksa.log").string();
    return s;
  }
  int boxes(const std::string& text) const {
    return static_cast<int>(std::count(hooks.messages.begin(), hooks.messages.end(), text));
  }
  std::filesystem::path dir;
  clock::RealClock clock;
  sound::AudioSystem system;
  QuietHooks hooks;
  AudioObject object;
  std::array<std::uint16_t, kMaxAudioSenders> sequence{};
  void say(int member, std::int16_t value, int packets) {
    auto packet = pcmPacket(value);
    for (int i = 0; i < packets; ++i)
      object.onPacket(member, 15, packet, sequence[static_cast<std::size_t>(member)]++);
  }
};

// Ten members spoke and ended their spurts (type 19): each buffer plays out what waits and is
// then released, so the eleventh speaker gets a buffer and is heard at full level, not
// refused, and not divided among buffers nobody writes to any more.
TEST(KestrelAudioObject, TheEleventhSpeakerIsHeardAtFullLevelAfterTenOthersEndedTheirSpurts) {
  ListenerRig rig;
  ASSERT_TRUE(rig.object.start());
  auto* mixer = rig.object.mixer();
  for (int m = 0; m < 10; ++m) {
    rig.say(m, 1000, 2);
    rig.object.onPacket(m, 19, {}, 0);
  }
  EXPECT_TRUE(waitUntil([&] { return mixer->sourceCount() == 0; }))
      << "every ended spurt was played out and its buffer released";
  rig.say(10, 7000, 8);
  EXPECT_EQ(mixer->sourceCount(), 1);
  rig.object.onPacket(10, 19, {}, 0);
  ASSERT_TRUE(waitUntil([&] { return mixer->sourceCount() == 0; })) << "his spurt was mixed";
  // The last block mixed goes to the device at the next step; the device holds six at most.
  const auto played = mixer->playedBlocks();
  ASSERT_TRUE(waitUntil([&] { return mixer->playedBlocks() >= played + 7; }));
  rig.object.stop();
  EXPECT_EQ(rig.boxes("KS audio buffer init failed!"), 0);
  std::vector<std::int16_t> heard;
  std::string error;
  ASSERT_TRUE(sound::readSoundFile((rig.dir / "out.wav").string(), &heard, &error)) << error;
  EXPECT_EQ(std::count(heard.begin(), heard.end(), 7000), 8 * 800)
      << "every sample of the eleventh speaker, as he sent it";
  EXPECT_EQ(*std::max_element(heard.begin(), heard.end()), 7000);
  std::filesystem::remove_all(rig.dir);
}

// A member who leaves loses its buffer at once; while every buffer is taken by members still
// talking, the box comes once for each member refused, with the error icon's title.
TEST(KestrelAudioObject, AMemberWhoLeavesFreesItsBufferAndANewcomerIsRefusedOnce) {
  ListenerRig rig;
  ASSERT_TRUE(rig.object.start());
  for (int m = 0; m < 10; ++m) rig.say(m, 1000, 1);  // all still talking
  ASSERT_EQ(rig.object.mixer()->sourceCount(), 10);
  rig.say(10, 7000, 5);
  rig.say(11, 7000, 3);
  EXPECT_EQ(rig.boxes("KS audio buffer init failed!"), 2) << "once per member, not per block";
  EXPECT_EQ(rig.hooks.titles.back(), "Error");
  rig.object.onMemberDeleted(4);
  EXPECT_EQ(rig.object.mixer()->sourceCount(), 9) << "at once, not when the mixer comes round";
  rig.say(10, 7000, 1);
  EXPECT_EQ(rig.object.mixer()->sourceCount(), 10);
  EXPECT_EQ(rig.boxes("KS audio buffer init failed!"), 2);
  rig.object.stop();
  std::filesystem::remove_all(rig.dir);
}

}  // namespace
}  // namespace zep::kestrel
