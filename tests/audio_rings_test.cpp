// Five audio tools that hear at most two senders at once, while their users speak in turn:
// every speaker must still be heard by all the others, found in their loudspeaker files.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/audio.h"
#include "tests/driver/driver.h"

namespace zep::testing {
namespace {

constexpr double kLeadSeconds = 2, kTurnSeconds = 1.5;
constexpr int kHosts = 5;

double voiceOf(int host) {
  const double hz[kHosts] = {440, 620, 820, 1040, 1300};
  return hz[host];
}

TEST(AudioRings, EverySpeakerInTurnIsHeardByAllWithFewerRingsThanSenders) {
  std::vector<std::unique_ptr<SessionHost>> hosts;
  std::vector<SessionHost*> members;
  for (int i = 0; i < kHosts; ++i) {
    hosts.push_back(std::make_unique<SessionHost>("user" + std::to_string(i)));
    members.push_back(hosts.back().get());
  }
  ASSERT_TRUE(formSession(members));
  auto dir = freshDirectory("rings");
  std::string error;
  const double total = kLeadSeconds + kHosts * kTurnSeconds + 1;
  for (int i = 0; i < kHosts; ++i) {
    // Silence (sent as quiet blocks, so everyone has a ring at once), then this host's turn.
    std::vector<std::int16_t> mic(static_cast<std::size_t>(8000 * total), 0);
    auto from = static_cast<std::size_t>(8000 * (kLeadSeconds + i * kTurnSeconds));
    auto to = from + static_cast<std::size_t>(8000 * kTurnSeconds);
    for (std::size_t k = from; k < to; ++k)
      mic[k] = static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * voiceOf(i) * double(k) / 8000));
    ASSERT_TRUE(
        sound::writeSoundFile((dir / ("mic" + std::to_string(i) + ".wav")).string(), mic, &error));
  }
  {
    std::vector<std::unique_ptr<AudioToolProcess>> tools;
    for (int i = 0; i < kHosts; ++i) {
      AudioToolOptions o(dir / ("mic" + std::to_string(i) + ".wav"),
                         dir / ("speaker" + std::to_string(i) + ".wav"));
      o.environment = {{"ZEP_AUDIO_RINGS", "2"}};
      tools.push_back(
          std::make_unique<AudioToolProcess>(hosts[static_cast<std::size_t>(i)]->address, o));
    }
    for (auto& t : tools) ASSERT_TRUE(t->out.waitFor("Audio Tool: opened", 15000));
    clock::sleepMs(static_cast<int>(total * 1000) + 500);
  }
  for (int listener = 0; listener < kHosts; ++listener) {
    std::vector<std::int16_t> heard;
    ASSERT_TRUE(sound::readSoundFile(
        (dir / ("speaker" + std::to_string(listener) + ".wav")).string(), &heard, &error))
        << error;
    const double nobody = sound::toneEnergy(heard, 1700);  // a voice no host has
    for (int speaker = 0; speaker < kHosts; ++speaker) {
      if (speaker == listener) continue;
      const double voice = sound::toneEnergy(heard, voiceOf(speaker));
      EXPECT_GT(voice, 1e8) << "host " << listener << " did not hear host " << speaker;
      EXPECT_GT(voice, 100 * nobody) << "host " << listener << " and host " << speaker;
    }
  }
}

}  // namespace
}  // namespace zep::testing
