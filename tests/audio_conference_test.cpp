// Audio tools on loopback hosts with sound-file devices: who hears whom, and how loud, measured
// in the files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "applink/link.h"
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

// The loudest second of a loudspeaker file, as RMS.
double loudestSecondRms(const std::vector<std::int16_t>& heard) {
  double best = 0;
  for (std::size_t from = 0; from + 8000 <= heard.size(); from += 800) {
    double sum = 0;
    for (std::size_t i = from; i < from + 8000; ++i) sum += double(heard[i]) * heard[i];
    best = std::max(best, std::sqrt(sum / 8000));
  }
  return best;
}

// Microphones that never fall silent: a decoder that starts from zero while its sender's coder
// is far into a tone stays that far below it for good, unless the reset handshake puts both at
// zero. bob's tool starts when alice's has been sending for a while.
TEST(AudioConference, ContinuousTalkersHearEachOtherAtFullLevel) {
  SessionHost a("alice"), b("bob");
  ASSERT_TRUE(formSession({&a, &b}));
  auto dir = freshDirectory("continuous");
  std::string error;
  ASSERT_TRUE(sound::writeSoundFile((dir / "a-mic.wav").string(), tone(440, 9), &error));
  ASSERT_TRUE(sound::writeSoundFile((dir / "b-mic.wav").string(), tone(1000, 9), &error));
  {
    AudioToolProcess ta(a.address, {dir / "a-mic.wav", dir / "a-speaker.wav"});
    ASSERT_TRUE(ta.out.waitFor("Audio Tool: opened"));
    clock::sleepMs(1500);  // alice talks on alone
    AudioToolProcess tb(b.address, {dir / "b-mic.wav", dir / "b-speaker.wav"});
    ASSERT_TRUE(tb.out.waitFor("Audio Tool: opened"));
    clock::sleepMs(3000);  // both talk
  }
  std::vector<std::int16_t> heardByA, heardByB;
  ASSERT_TRUE(sound::readSoundFile((dir / "a-speaker.wav").string(), &heardByA, &error)) << error;
  ASSERT_TRUE(sound::readSoundFile((dir / "b-speaker.wav").string(), &heardByB, &error)) << error;
  const double spoken = 8000 / std::sqrt(2.0);
  EXPECT_GT(loudestSecondRms(heardByB), spoken / 2) << "bob hears alice at her level";
  EXPECT_GT(loudestSecondRms(heardByA), spoken / 2) << "alice hears bob at his level";
}

// The start-up reset request goes out once the engine has told the tool who is there, so it
// reaches every member present, whatever program listens there; the tool answers one too.
TEST(AudioConference, AnIndependentMemberReceivesAFreshToolsResetRequest) {
  SessionHost a("alice"), b("bob");
  ASSERT_TRUE(formSession({&a, &b}));
  MediaTool peer(b.address, 12567);
  ASSERT_TRUE(peer.out.waitFor("local member 1"));
  auto dir = freshDirectory("reset-request");
  std::string error;
  ASSERT_TRUE(
      sound::writeSoundFile((dir / "mic.wav").string(), std::vector<std::int16_t>(800, 0), &error));
  AudioToolProcess ta(a.address, {dir / "mic.wav", dir / "speaker.wav"});
  EXPECT_TRUE(peer.out.waitFor("received type 17 from 0 length 1 .", 8000));
  // Its own coders restart too (what they coded before reached nobody), and again when asked.
  ASSERT_TRUE(peer.out.waitFor("received type 18 from 0 length 1 ."));
  peer.command("send 0 17");
  EXPECT_TRUE(peer.out.waitForCount("received type 18 from 0 length 1 .", 2));
}

// Only a member, from its own address, plays into a loudspeaker in its name.
TEST(AudioConference, AStrangerCannotPlayIntoALoudspeakerInAMembersName) {
  SessionHost a("alice"), b("bob");
  ASSERT_TRUE(formSession({&a, &b}));
  auto dir = freshDirectory("stranger");
  std::string error;
  ASSERT_TRUE(
      sound::writeSoundFile((dir / "mic.wav").string(), std::vector<std::int16_t>(800, 0), &error));
  {
    AudioToolProcess ta(a.address, {dir / "mic.wav", dir / "speaker.wav"});
    ASSERT_TRUE(ta.out.waitFor("Audio Tool: opened"));
    // A second and a half of PCM blocks in bob's name (member 1), paced as a tool sends them.
    auto speak = [&](net::Ipv4 from, double hz) {
      const char* step = "";
      auto socket = net::openUdp(from, 0, &step);
      auto voice = tone(hz, 1.5);
      for (std::size_t block = 0; block + 800 <= voice.size(); block += 800) {
        std::vector<std::uint8_t> data;
        for (std::size_t i = block; i < block + 800; ++i) {
          data.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(voice[i]) >> 8));
          data.push_back(static_cast<std::uint8_t>(voice[i] & 0xFF));
        }
        net::sendTo(socket, a.address, 12567, applink::encodeMediaDatagram(15, 1, data));
        clock::sleepMs(100);
      }
    };
    speak(freshAddress(), 700);  // a stranger
    speak(b.address, 1300);      // bob himself
  }
  std::vector<std::int16_t> heard;
  ASSERT_TRUE(sound::readSoundFile((dir / "speaker.wav").string(), &heard, &error)) << error;
  EXPECT_GT(sound::toneEnergy(heard, 1300), 1e5) << "bob is heard";
  EXPECT_GT(sound::toneEnergy(heard, 1300), 1000 * sound::toneEnergy(heard, 700))
      << "the stranger is not";
}

}  // namespace
}  // namespace zep::testing
