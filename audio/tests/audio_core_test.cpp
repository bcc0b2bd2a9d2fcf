#include "audio/audio_core.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

namespace zep::audio {
namespace {

struct Hooks final : AudioCoreHooks {
  void showMicrophoneLevel(int m) override { microphone = m; }
  void showSpeakerLevel(int m) override { speaker = m; }
  void showTalk(bool enabled, bool checked) override {
    talkEnabled = enabled;
    talkChecked = checked;
  }
  void restartQuietTimer() override { ++quietRestarts; }
  void raiseLater(AudioEvent e) override { core->raise_event(e); }
  AudioCore* core = nullptr;
  void message(const std::string& title, const std::string& text) override {
    messages.push_back(title + ": " + text);
  }
  void requestClose() override { closeRequested = true; }
  int microphone = -1, speaker = -1, quietRestarts = 0;
  bool talkEnabled = true, talkChecked = true, closeRequested = false;
  std::vector<std::string> messages;
};

struct Sent {
  std::uint32_t type;
  std::vector<std::uint8_t> data;
};

// A core over sound-file devices whose clock only the test moves, so no block is captured
// or played unless a test makes it happen.
struct CoreRig {
  explicit CoreRig(bool halfDuplex = false, std::string input = "",
                   std::function<void(CoreRig&)> startReceiving = {}, int rings = kMaxSources)
      : held(0, false),
        in((std::filesystem::temp_directory_path() /
            ("core-in-" + std::to_string(::getpid()) + ".wav"))
               .string()),
        out((std::filesystem::temp_directory_path() /
             ("core-out-" + std::to_string(::getpid()) + ".wav"))
                .string()) {
    std::string error;
    sound::writeSoundFile(in, std::vector<std::int16_t>(800, 0), &error);
    system = std::make_unique<sound::AudioSystem>(input.empty() ? "file:" + in : input,
                                                  "file:" + out, halfDuplex, held);
    AudioMixer::Options o;
    o.startClock = false;
    o.maxSources = rings;
    core = std::make_unique<AudioCore>(
        *system, clock, hooks,
        [this](std::uint32_t type, std::span<const std::uint8_t> d) {
          sent.push_back({type, {d.begin(), d.end()}});
          return 1;
        },
        o);
    hooks.core = core.get();
    if (startReceiving)
      core->start([this, startReceiving] { startReceiving(*this); });
    else
      core->start();
  }
  ~CoreRig() {
    core.reset();
    std::filesystem::remove(in);
    std::filesystem::remove(out);
  }
  std::vector<std::uint32_t> types() const {
    std::vector<std::uint32_t> t;
    for (auto& s : sent) t.push_back(s.type);
    return t;
  }
  void capture(std::int16_t value) {
    std::vector<std::int16_t> block(kBlockSamples, value);
    core->on_captured_block(block);
  }
  void receivePcm(int sender, std::int16_t value) {
    std::vector<std::uint8_t> payload;
    for (std::size_t i = 0; i < kBlockSamples; ++i) {
      payload.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(value) >> 8));
      payload.push_back(static_cast<std::uint8_t>(value));
    }
    core->on_datagram(AUDIO_PCM, payload, sender);
  }

  clock::SimulatedClock held;
  clock::SimulatedClock clock;
  std::string in, out;
  std::unique_ptr<sound::AudioSystem> system;
  Hooks hooks;
  std::vector<Sent> sent;
  std::unique_ptr<AudioCore> core;
};

TEST(AudioCoreStates, FullDuplexStartsInBothAndAutoSwitchesToTalk) {
  CoreRig rig;
  EXPECT_EQ(rig.core->deviceClass(), FULL_DUPLEX);
  EXPECT_EQ(rig.core->state(), BOTH);
  EXPECT_TRUE(rig.hooks.talkEnabled) << "the start state is set without a transition";
  EXPECT_TRUE(rig.sent.empty()) << "the reset request waits for the member table";
  rig.core->raise_event(EV_TALK);  // Talk clicked in BOTH: only the picture changes
  EXPECT_EQ(rig.core->state(), BOTH);
  rig.core->raise_event(EV_AUTO);
  EXPECT_EQ(rig.core->state(), TALK);
  EXPECT_TRUE(rig.core->autoSwitching());
  EXPECT_TRUE(rig.core->capturing());
  EXPECT_FALSE(rig.core->playing());
  EXPECT_EQ(rig.sent.back().type, AUDIO_SPEAKER_OFF);
  rig.core->raise_event(EV_AUTO);
  EXPECT_EQ(rig.core->state(), BOTH);
  EXPECT_FALSE(rig.hooks.talkEnabled);
  EXPECT_TRUE(rig.core->playing());
}

TEST(AudioCoreStates, HalfDuplexStartsInTalkAndTalkSwitchesWithoutAuto) {
  CoreRig rig(true);
  EXPECT_EQ(rig.core->deviceClass(), HALF_DUPLEX);
  EXPECT_EQ(rig.core->state(), TALK);
  rig.core->raise_event(EV_TALK);
  EXPECT_EQ(rig.core->state(), LISTEN);
  EXPECT_FALSE(rig.core->capturing());
  EXPECT_TRUE(rig.core->playing());
  EXPECT_FALSE(rig.hooks.talkChecked);
  rig.core->raise_event(EV_TALK);
  EXPECT_EQ(rig.core->state(), TALK);
  EXPECT_TRUE(rig.core->capturing());
  EXPECT_EQ(rig.sent.back().type, AUDIO_SPEAKER_OFF);
}

TEST(AudioCoreStates, AutoTalkGoesToListenOnlyAfterALoudPeerAndASilentSecond) {
  CoreRig rig;
  rig.core->raise_event(EV_AUTO);  // TALK, automatic
  for (int i = 0; i < 12; ++i) rig.capture(0);
  EXPECT_EQ(rig.core->state(), TALK) << "no peer asked to talk";
  rig.receivePcm(3, 5000);
  EXPECT_TRUE(rig.core->talkRequest());
  EXPECT_EQ(rig.hooks.speaker, 5000 / 330);
  for (int i = 0; i < 9; ++i) rig.capture(0);
  EXPECT_EQ(rig.core->state(), LISTEN) << "the counter had reached ten already";
  // In LISTEN a quiet second returns to TALK; a loud block restarts the timer instead.
  int restarts = rig.hooks.quietRestarts;
  rig.receivePcm(3, 5000);
  EXPECT_EQ(rig.hooks.quietRestarts, restarts + 1);
  rig.core->onQuietTimer();
  EXPECT_EQ(rig.core->state(), TALK);
  EXPECT_FALSE(rig.core->talkRequest());
}

TEST(AudioCoreSend, LevelsThresholdAndTheQuietTimer) {
  CoreRig rig;
  rig.core->set_threshold(6);
  EXPECT_EQ(rig.core->threshold(), 1962);
  rig.capture(-20000);
  EXPECT_EQ(rig.hooks.microphone, 0) << "an all-negative block has level 0";
  EXPECT_EQ(rig.core->silentBlocks(), 1);
  rig.core->set_threshold(0);
  rig.capture(0);
  EXPECT_EQ(rig.core->silentBlocks(), 2) << "zero is not above a threshold of 0";
  rig.capture(1);
  EXPECT_EQ(rig.core->silentBlocks(), 0);
  for (int i = 0; i < 9; ++i) rig.capture(0);
  EXPECT_EQ(rig.hooks.quietRestarts, 0);
  rig.capture(0);
  EXPECT_EQ(rig.hooks.quietRestarts, 1) << "the tenth silent block";
  rig.capture(0);
  EXPECT_EQ(rig.hooks.quietRestarts, 2) << "and every later one while nobody asked to talk";
}

TEST(AudioCoreSend, CodecsAndTheResetHandshake) {
  CoreRig rig;
  rig.capture(100);
  ASSERT_EQ(rig.sent.back().type, AUDIO_ADPCM);
  EXPECT_EQ(rig.sent.back().data.size(), 400u);
  rig.core->select_codec(AUDIO_PCM);
  rig.capture(0x1234);
  ASSERT_EQ(rig.sent.back().type, AUDIO_PCM);
  ASSERT_EQ(rig.sent.back().data.size(), 1600u);
  EXPECT_EQ(rig.sent.back().data[0], 0x12) << "big-endian";
  rig.core->select_codec(AUDIO_GSM);
  rig.core->on_datagram(AUDIO_RESET_REQUEST, {}, 1);
  rig.core->on_datagram(AUDIO_RESET_REQUEST, {}, 2);
  rig.capture(100);
  EXPECT_EQ(rig.sent.back().type, AUDIO_RESET);
  EXPECT_TRUE(rig.sent.back().data.empty());
  rig.capture(100);
  EXPECT_EQ(rig.sent.back().type, AUDIO_GSM) << "the codec before the requests";
  EXPECT_EQ(rig.sent.back().data.size(), 165u);
  int resets = 0;
  for (auto& s : rig.sent) resets += s.type == AUDIO_RESET;
  EXPECT_EQ(resets, 1);
}

TEST(AudioCoreSend, ACodecChosenWhileAResetIsPendingDoesNotSwallowTheReset) {
  CoreRig rig;
  rig.core->on_datagram(AUDIO_RESET_REQUEST, {}, 1);
  rig.core->select_codec(AUDIO_PCM);
  EXPECT_EQ(rig.core->sendCodec(), AUDIO_RESET_PENDING);
  rig.capture(100);
  EXPECT_EQ(rig.sent.back().type, AUDIO_RESET) << "the newcomer's decoder starts from zero";
  rig.capture(100);
  EXPECT_EQ(rig.sent.back().type, AUDIO_PCM) << "then the codec chosen meanwhile";
}

TEST(AudioCoreReceive, ControlTypesSilenceTheMeterAndBadDatagramsAreIgnored) {
  CoreRig rig;
  for (std::uint32_t type : {AUDIO_RESET_REQUEST, AUDIO_RESET, AUDIO_SPEAKER_OFF}) {
    rig.receivePcm(1, 9000);
    EXPECT_GT(rig.hooks.speaker, 0);
    rig.core->on_datagram(type, {}, 1);
    EXPECT_EQ(rig.hooks.speaker, 0) << type;
  }
  rig.hooks.speaker = -1;
  std::vector<std::uint8_t> shortBlock(100, 0x77);
  for (std::uint32_t type : {AUDIO_ADPCM, AUDIO_GSM, AUDIO_PCM})
    rig.core->on_datagram(type, shortBlock, 1);
  EXPECT_EQ(rig.hooks.speaker, -1) << "short payloads are not decoded";
  rig.receivePcm(100, 9000);
  EXPECT_EQ(rig.hooks.speaker, -1) << "sender numbers stop at 99";
}

TEST(AudioCoreReceive, AnEleventhSenderIsNotHeardUntilOneLeaves) {
  CoreRig rig;
  for (int m = 0; m < 10; ++m) rig.receivePcm(m, 1000);
  EXPECT_EQ(rig.core->mixer()->sourceCount(), 10);
  rig.receivePcm(10, 1000);
  EXPECT_FALSE(rig.core->hasRing(10));
  rig.core->forgetSender(4);
  rig.receivePcm(10, 1000);
  EXPECT_TRUE(rig.core->hasRing(10));
  // What is played is the block as sent, for one sender, through its ring.
  rig.core->mixer()->mix();
  EXPECT_EQ(rig.core->mixer()->mixBuffer()[0], 10 * (1000 / 10));
}

TEST(AudioCoreReceive, ASenderThatSendsNothingForASecondLosesItsRing) {
  CoreRig rig;
  rig.receivePcm(1, 1000);
  rig.receivePcm(2, 1000);
  rig.clock.advance(600);
  rig.receivePcm(2, 100);  // still there, though quiet
  rig.clock.advance(399);
  rig.core->forgetGoneSenders();
  EXPECT_TRUE(rig.core->hasRing(1));
  rig.clock.advance(1);
  rig.core->forgetGoneSenders();
  EXPECT_FALSE(rig.core->hasRing(1)) << "nothing for a second: gone";
  EXPECT_TRUE(rig.core->hasRing(2));
  EXPECT_EQ(rig.core->mixer()->sourceCount(), 1);
  rig.receivePcm(1, 1000);
  EXPECT_TRUE(rig.core->hasRing(1)) << "back again, it gets a ring like a newcomer";
}

TEST(AudioCoreReceive, WithEveryRingTakenANewVoiceTakesTheRingOfTheSenderQuietLongest) {
  CoreRig rig;
  // Ten senders with rings; 0 to 8 keep sending quiet blocks, 9 keeps talking.
  for (int m = 0; m < 10; ++m) rig.receivePcm(m, 5000);
  rig.clock.advance(500);
  for (int m = 0; m < 10; ++m) rig.receivePcm(m, m == 3 ? 5000 : 100);  // 3 was loud last
  rig.clock.advance(400);
  for (int m = 0; m < 10; ++m) rig.receivePcm(m, m == 9 ? 5000 : 100);
  rig.receivePcm(10, 5000);
  EXPECT_FALSE(rig.core->hasRing(10)) << "nobody has been quiet for a second yet";
  rig.clock.advance(200);  // 0 to 8 (not 3) quiet for 1100 ms, 3 for 600 ms
  rig.receivePcm(10, 100);
  EXPECT_FALSE(rig.core->hasRing(10)) << "a quiet block takes no ring";
  rig.receivePcm(10, 5000);
  ASSERT_TRUE(rig.core->hasRing(10));
  EXPECT_EQ(rig.core->mixer()->sourceCount(), 10) << "a ring changed hands, none was added";
  int gaveUp = -1;
  for (int m = 0; m < 10; ++m)
    if (!rig.core->hasRing(m)) gaveUp = m;
  EXPECT_NE(gaveUp, 3);
  EXPECT_NE(gaveUp, 9);
  EXPECT_GE(gaveUp, 0);
  // The newcomer is heard through the ring it took.
  rig.core->mixer()->mix();
  EXPECT_EQ(rig.core->mixer()->mixBuffer()[0], 2 * (5000 / 10) + 8 * (100 / 10)) << "9 and 10 loud";

  // Everyone with a ring now spoke within the second: an eleventh voice waits.
  rig.clock.advance(100);
  for (int m = 0; m <= 10; ++m)
    if (rig.core->hasRing(m)) rig.receivePcm(m, 5000);
  rig.receivePcm(gaveUp, 5000);
  EXPECT_FALSE(rig.core->hasRing(gaveUp)) << "the ten who are talking keep their voices";
}

TEST(AudioCoreReceive, AMixerOfFewerRingsPassesThemOnAsPeopleSpeakInTurn) {
  CoreRig rig(false, "", {}, 2);
  for (int speaker = 0; speaker < 5; ++speaker) {
    // Each speaks for a second, while everyone else sends quiet blocks.
    for (int block = 0; block < 10; ++block) {
      for (int m = 0; m < 5; ++m) rig.receivePcm(m, m == speaker ? 6000 : 50);
      rig.clock.advance(100);
    }
    EXPECT_TRUE(rig.core->hasRing(speaker)) << "speaker " << speaker << " is heard";
    EXPECT_EQ(rig.core->mixer()->sourceCount(), 2);
  }
}

TEST(AudioCoreStart, TheReceiveThreadStartsOnlyOnceTheDevicesAreProbed) {
  bool mixerInPlace = false, playing = false;
  std::size_t sentBefore = 99;
  int calls = 0;
  CoreRig rig(false, "", [&](CoreRig& r) {
    ++calls;
    mixerInPlace = r.core->mixer() != nullptr;
    playing = r.core->playing();
    sentBefore = r.sent.size();
  });
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(mixerInPlace);
  EXPECT_TRUE(playing) << "the probe is over and playout open";
  EXPECT_EQ(sentBefore, 0u);
  EXPECT_TRUE(rig.sent.empty())
      << "the receive thread sends the request once it knows who is there";
  rig.core->requestResets();
  EXPECT_EQ(rig.types(), std::vector<std::uint32_t>{AUDIO_RESET_REQUEST});
}

TEST(AudioCoreStart, NoOutputDeviceClosesAndNoInputOnlyPlays) {
  CoreRig noInput(false, "none");
  EXPECT_EQ(noInput.hooks.messages,
            std::vector<std::string>{"Info: Audio device does not support audio capturing"});
  EXPECT_EQ(noInput.core->state(), BOTH);
  EXPECT_TRUE(noInput.core->playing());
}

}  // namespace
}  // namespace zep::audio
