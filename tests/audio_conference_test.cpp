// Audio tools on loopback hosts with sound-file devices: who hears whom, measured in the files.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/audio.h"
#include "tests/driver/calls.h"
#include "tests/driver/driver.h"

namespace zep::testing {
namespace {

TEST(AudioConference, EachHostHearsTheOthersAndNotItself) {
  SessionHost a("alice"), b("bob");
  ASSERT_TRUE(formSession({&a, &b}));
  auto dir = freshDirectory("conference");
  std::string error;
  ASSERT_TRUE(sound::writeSoundFile((dir / "a-mic.wav").string(), tone(440, 3), &error));
  ASSERT_TRUE(sound::writeSoundFile((dir / "b-mic.wav").string(), tone(1000, 3), &error));
  {
    AudioToolProcess ta(a.address, {dir / "a-mic.wav", dir / "a-speaker.wav"});
    AudioToolProcess tb(b.address, {dir / "b-mic.wav", dir / "b-speaker.wav"});
    ASSERT_TRUE(ta.out.waitFor("Audio Tool: opened"));
    ASSERT_TRUE(tb.out.waitFor("Audio Tool: opened"));
    clock::sleepMs(3500);
  }
  std::vector<std::int16_t> heardByA, heardByB;
  ASSERT_TRUE(sound::readSoundFile((dir / "a-speaker.wav").string(), &heardByA, &error)) << error;
  ASSERT_TRUE(sound::readSoundFile((dir / "b-speaker.wav").string(), &heardByB, &error)) << error;
  EXPECT_GT(sound::toneEnergy(heardByB, 440), 100 * sound::toneEnergy(heardByB, 1000))
      << "bob hears alice, not himself";
  EXPECT_GT(sound::toneEnergy(heardByA, 1000), 100 * sound::toneEnergy(heardByA, 440))
      << "alice hears bob, not herself";
  EXPECT_GT(sound::toneEnergy(heardByB, 440), 1e5);
}

TEST(AudioConference, AHalfDuplexHostInAutoListensWhileAPeerTalksAndTalksAgainAfter) {
  SessionHost a("alice"), b("bob");
  ASSERT_TRUE(formSession({&a, &b}));
  auto dir = freshDirectory("half-duplex");
  std::string error;
  // alice talks for two seconds after a second of silence; bob says nothing.
  auto speech = tone(440, 3);
  std::fill(speech.begin(), speech.begin() + 8000, 0);
  ASSERT_TRUE(sound::writeSoundFile((dir / "a-mic.wav").string(), speech, &error));
  ASSERT_TRUE(sound::writeSoundFile((dir / "b-mic.wav").string(), std::vector<std::int16_t>(800, 0),
                                    &error));
  AudioToolProcess tb(b.address, {dir / "b-mic.wav", dir / "b-speaker.wav", true});
  ASSERT_TRUE(tb.out.waitFor("Audio Tool: Auto unchecked"));
  tb.command("click Auto");
  ASSERT_TRUE(tb.out.waitFor("Audio Tool: Auto checked"));
  EXPECT_FALSE(tb.out.contains("loudspeaker")) << "bob starts talking";
  AudioToolProcess ta(a.address, {dir / "a-mic.wav", dir / "a-speaker.wav"});
  // alice's voice plus a second of bob's silence: bob listens.
  EXPECT_TRUE(tb.out.waitFor("Audio Tool: Talk picture loudspeaker", 8000));
  // alice falls silent: after a quiet second bob talks again.
  EXPECT_TRUE(tb.out.waitForCount("Audio Tool: Talk picture microphone", 2, 8000));
}

}  // namespace
}  // namespace zep::testing
