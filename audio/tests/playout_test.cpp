#include "audio/playout.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>

namespace zep::audio {
namespace {

// A device that plays instantly and remembers what it played.
class RecordingOutput final : public sound::SoundOutput {
 public:
  RecordingOutput(event::ManualResetEvent& done, std::vector<std::vector<std::int16_t>>* played,
                  int* resets)
      : done_(done), played_(played), resets_(resets) {}
  bool write(sound::SoundBlock& block) override {
    played_->push_back(block.samples);
    block.done = true;
    done_.set();
    return true;
  }
  void reset() override { ++*resets_; }
  std::uint64_t played() const override { return played_->size(); }

 private:
  event::ManualResetEvent& done_;
  std::vector<std::vector<std::int16_t>>* played_;
  int* resets_;
};

// A device that keeps the blocks it is given until the test lets it play them. Its completion
// event is set on every write, as when some earlier block had just finished.
class HoldingOutput final : public sound::SoundOutput {
 public:
  struct Queued {
    sound::SoundBlock* block;
    std::vector<std::int16_t> written;  // the samples as they were handed over
  };
  explicit HoldingOutput(event::ManualResetEvent& done) : done_(done) {}
  bool write(sound::SoundBlock& block) override {
    block.done = false;
    queued.push_back({&block, block.samples});
    done_.set();
    return true;
  }
  void reset() override { playAll(); }
  std::uint64_t played() const override { return 0; }
  void playAll() {
    for (auto& q : queued) q.block->done = true;
    queued.clear();
    done_.set();
  }
  std::vector<Queued> queued;

 private:
  event::ManualResetEvent& done_;
};

struct MixerRig {
  explicit MixerRig(const PlayoutVariant& v) : variant(v) {
    AudioMixer::Options o;
    o.startClock = false;
    o.logPath =
        (std::filesystem::temp_directory_path() / ("ksa-" + std::to_string(::getpid()) + ".log"))
            .string();
    logPath = o.logPath;
    o.openDevice = [this](event::ManualResetEvent& e, std::string*) {
      return std::make_unique<RecordingOutput>(e, &played, &resets);
    };
    mixer = std::make_unique<AudioMixer>(variant, clock, o);
  }
  std::vector<std::uint8_t> block(std::int16_t value) const {
    std::vector<std::int16_t> samples(variant.blockSamples, value);
    std::vector<std::uint8_t> bytes(samples.size() * 2);
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
  }
  const PlayoutVariant& variant;
  clock::SimulatedClock clock;
  std::vector<std::vector<std::int16_t>> played;
  int resets = 0;
  std::string logPath;
  std::unique_ptr<AudioMixer> mixer;
};

TEST(PlayoutRing, RegionAcrossTheEndIsTwoSpans) {
  clock::SimulatedClock clock;
  event::ManualResetEvent lock(true);
  PlayoutRing ring(4000, kAudioToolPlayout, lock, clock, nullptr);
  ring.read_block(1600);
  ring.unlock();
  ring.read_block(1600);
  ring.unlock();
  auto r = ring.lock_region(1600);  // from 3200: 800 bytes to the end, 800 from the start
  EXPECT_EQ(r.first.size(), 800u);
  EXPECT_EQ(r.second.size(), 800u);
  EXPECT_EQ(r.second.data(), r.first.data() - 3200);
  EXPECT_FALSE(lock.isSet()) << "the region is held under the lock";
  ring.unlock();
  EXPECT_TRUE(lock.isSet());
}

TEST(AudioToolPlayout, TheLatestBlockWinsAndNothingNewIsSilence) {
  MixerRig rig(kAudioToolPlayout);
  auto* ring = rig.mixer->add_source(16000);
  ASSERT_TRUE(ring);
  ring->write_block(rig.block(100));
  ring->write_block(rig.block(200));
  rig.mixer->mix();
  EXPECT_EQ(rig.mixer->mixBuffer()[0], 200);
  EXPECT_EQ(rig.mixer->mixBuffer()[799], 200);
  rig.mixer->mix();
  EXPECT_EQ(rig.mixer->mixBuffer()[0], 0);
}

TEST(AudioToolPlayout, OneSenderUnchangedThreeSendersATruncatedThirdEach) {
  MixerRig rig(kAudioToolPlayout);
  auto* a = rig.mixer->add_source(16000);
  a->write_block(rig.block(-1000));
  rig.mixer->mix();
  EXPECT_EQ(rig.mixer->mixBuffer()[5], -1000);
  auto* b = rig.mixer->add_source(16000);
  auto* c = rig.mixer->add_source(16000);
  a->write_block(rig.block(100));
  b->write_block(rig.block(100));
  c->write_block(rig.block(-100));
  rig.mixer->mix();
  EXPECT_EQ(rig.mixer->mixBuffer()[5], 33 + 33 - 33);
  rig.mixer->remove_source(b);
  rig.mixer->remove_source(b);  // not there any more: ignored
  EXPECT_EQ(rig.mixer->sourceCount(), 2);
}

TEST(AudioToolPlayout, TenSourcesAtMost) {
  MixerRig rig(kAudioToolPlayout);
  for (int i = 0; i < kMaxSources; ++i) ASSERT_TRUE(rig.mixer->add_source(16000));
  EXPECT_FALSE(rig.mixer->add_source(16000));
}

TEST(AudioToolPlayout, FirstBlockIsOnlyPreparedAndTheDeviceResetsEveryTenThousand) {
  MixerRig rig(kAudioToolPlayout);
  ASSERT_TRUE(rig.mixer->open());
  auto* ring = rig.mixer->add_source(16000);
  ring->write_block(rig.block(7));
  rig.mixer->step();
  EXPECT_TRUE(rig.played.empty()) << "the first block is prepared, not written";
  rig.mixer->step();
  ASSERT_EQ(rig.played.size(), 1u);
  EXPECT_EQ(rig.played[0][0], 7);
  for (std::uint32_t i = 2; i < kDeviceResetBlocks; ++i) rig.mixer->step();
  EXPECT_EQ(rig.resets, 0);
  rig.mixer->step();  // the 10000th write
  EXPECT_EQ(rig.resets, 1);
  EXPECT_EQ(rig.played.size(), static_cast<std::size_t>(kDeviceResetBlocks));
}

std::vector<std::uint8_t> audioToolBlock(std::int16_t v) {
  std::vector<std::int16_t> samples(kAudioToolPlayout.blockSamples, v);
  std::vector<std::uint8_t> bytes(samples.size() * 2);
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

TEST(AudioToolPlayout, AHeaderTheDeviceStillHoldsIsNeverWrittenOver) {
  clock::SimulatedClock clock;
  HoldingOutput* device = nullptr;
  AudioMixer::Options o;
  o.startClock = false;
  o.openDevice = [&](event::ManualResetEvent& e, std::string*) {
    auto d = std::make_unique<HoldingOutput>(e);
    device = d.get();
    return d;
  };
  // Without the limit on what the device holds, every header can end up queued.
  PlayoutVariant unlimited = kAudioToolPlayout;
  unlimited.maxDeviceBlocks = 0;
  AudioMixer mixer(unlimited, clock, o);
  ASSERT_TRUE(mixer.open());
  auto* ring = mixer.add_source(16000);
  auto blockOf = [](std::int16_t v) {
    std::vector<std::int16_t> samples(kAudioToolPlayout.blockSamples, v);
    std::vector<std::uint8_t> bytes(samples.size() * 2);
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
  };
  // Ten steps while the device plays nothing: six headers fill, then every header is taken.
  for (std::int16_t v = 1; v <= 10; ++v) {
    ring->write_block(blockOf(v));
    mixer.step();
  }
  ASSERT_EQ(device->queued.size(), kAudioToolPlayout.outputHeaders);
  for (const auto& q : device->queued)
    EXPECT_EQ(q.block->samples, q.written) << "a queued block was written over";
  EXPECT_EQ(mixer.droppedBlocks(), 4u);

  // Once the device hands its headers back, blocks flow again.
  device->playAll();
  ring->write_block(blockOf(42));
  mixer.step();
  mixer.step();
  ASSERT_EQ(device->queued.size(), 1u);
  EXPECT_EQ(device->queued[0].written[0], 42);
  mixer.close();
}

TEST(AudioToolPlayout, ADeviceThatFellBehindHoldsOneBlockBeyondTheOnePlaying) {
  clock::SimulatedClock clock;
  HoldingOutput* device = nullptr;
  AudioMixer::Options o;
  o.startClock = false;
  o.openDevice = [&](event::ManualResetEvent& e, std::string*) {
    auto d = std::make_unique<HoldingOutput>(e);
    device = d.get();
    return d;
  };
  AudioMixer mixer(kAudioToolPlayout, clock, o);
  ASSERT_TRUE(mixer.open());
  auto* ring = mixer.add_source(16000);
  // The device stalls for ten steps, as when steps come late and then all at once.
  for (std::int16_t v = 1; v <= 10; ++v) {
    ring->write_block(audioToolBlock(v));
    mixer.step();
  }
  ASSERT_EQ(device->queued.size(), 2u) << "the block playing and one more";
  EXPECT_EQ(device->queued[0].written[0], 1);
  EXPECT_EQ(device->queued[1].written[0], 2);
  EXPECT_EQ(mixer.lateBlocks(), 7u) << "blocks 3 to 9 were dropped, each counted";
  EXPECT_EQ(mixer.droppedBlocks(), 0u);

  // The device catches up: the next block written is the newest, so no delay stays behind.
  device->playAll();
  ring->write_block(audioToolBlock(11));
  mixer.step();
  ASSERT_EQ(device->queued.size(), 1u);
  EXPECT_EQ(device->queued[0].written[0], 10) << "mixed at the step before, written at this one";
  mixer.step();
  ASSERT_EQ(device->queued.size(), 2u);
  EXPECT_EQ(device->queued[1].written[0], 11);
  EXPECT_EQ(mixer.lateBlocks(), 7u);
  mixer.close();
}

// A device that plays at once and tells when: the mixing clock's own thread writes to it.
class SignallingOutput final : public sound::SoundOutput {
 public:
  explicit SignallingOutput(event::ManualResetEvent& done) : done_(done) {}
  bool write(sound::SoundBlock& block) override {
    {
      std::lock_guard lock(mutex);
      firstSamples.push_back(block.samples[0]);
    }
    written.notify_all();
    block.done = true;
    done_.set();
    return true;
  }
  void reset() override {}
  std::uint64_t played() const override { return 0; }
  // Waits for the nth write (from 1); its first sample, or -1 after the deadline.
  int waitForWrite(std::size_t n) {
    std::unique_lock lock(mutex);
    if (!written.wait_for(lock, std::chrono::seconds(5), [&] { return firstSamples.size() >= n; }))
      return -1;
    return firstSamples[n - 1];
  }
  std::mutex mutex;
  std::condition_variable written;
  std::vector<std::int16_t> firstSamples;

 private:
  event::ManualResetEvent& done_;
};

TEST(AudioMixerClock, ABlockThatArrivesBetweenStepsIsWrittenTwoStepsLater) {
  // Mixed at the next step, written at the one after: it does not wait in the mix buffer
  // through a whole step's sleep as well.
  clock::RealClock clock;
  SignallingOutput* device = nullptr;
  AudioMixer::Options o;
  o.openDevice = [&](event::ManualResetEvent& e, std::string*) {
    auto d = std::make_unique<SignallingOutput>(e);
    device = d.get();
    return d;
  };
  AudioMixer mixer(kAudioToolPlayout, clock, o);
  auto* ring = mixer.add_source(16000);
  ASSERT_TRUE(mixer.open());
  ASSERT_EQ(device->waitForWrite(2), 0);
  clock::sleepMs(50);  // halfway between two steps
  ring->write_block(audioToolBlock(5));
  EXPECT_EQ(device->waitForWrite(3), 0);
  EXPECT_EQ(device->waitForWrite(4), 5);
  mixer.close();
}

TEST(JitterPlayout, ReadyTakesTheRingsLock) {
  clock::SimulatedClock clock;
  event::ManualResetEvent lock(true);
  PlayoutRing ring(160000, kKestrelPlayout, lock, clock, nullptr);
  ring.write_block(std::vector<std::uint8_t>(3200, 1));
  ring.lock_region(0);  // a writer holds the ring
  auto answer = std::async(std::launch::async, [&] { return ring.ready(); });
  EXPECT_EQ(answer.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout)
      << "the fill was read while a writer held the ring";
  ring.unlock();
  ASSERT_EQ(answer.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_TRUE(answer.get());
  EXPECT_TRUE(lock.isSet()) << "and the lock is given back";
}

TEST(JitterPlayout, SilentUntilPrimedAndPrimesAgainAfterRunningDry) {
  MixerRig rig(kKestrelPlayout);
  auto* ring = rig.mixer->add_source(160000);
  ring->write_block(std::vector<std::uint8_t>(1600, 1));
  rig.mixer->mix();
  EXPECT_EQ(rig.mixer->mixBuffer()[0], 0) << "1600 bytes are not enough";
  ring->write_block(std::vector<std::uint8_t>(1600, 1));
  EXPECT_EQ(ring->fill(), 3200u);
  rig.mixer->mix();
  EXPECT_EQ(rig.mixer->mixBuffer()[0], 0x0101);
  rig.mixer->mix();  // reads the empty ring: priming again
  ring->write_block(std::vector<std::uint8_t>(3200, 2));
  rig.mixer->mix();
  EXPECT_EQ(rig.mixer->mixBuffer()[0], 0x0202) << "3200 bytes in again";
  rig.mixer->mix();
  EXPECT_EQ(rig.mixer->mixBuffer()[0], 0) << "dry";
}

TEST(JitterPlayout, AnEndedSpurtShorterThanTheMinimumIsPlayedOutThenTheRingPrimesAgain) {
  MixerRig rig(kKestrelPlayout);
  auto* ring = rig.mixer->add_source(160000);
  ring->playOut();
  rig.mixer->mix();
  EXPECT_EQ(ring->fill(), 0u) << "an empty ring stays primed";
  ring->write_block(std::vector<std::uint8_t>(1600, 3));  // a spurt of one block
  rig.mixer->mix();
  EXPECT_EQ(rig.mixer->mixBuffer()[0], 0);
  ring->playOut();
  rig.mixer->mix();
  EXPECT_EQ(rig.mixer->mixBuffer()[0], 0x0303) << "the block is heard";
  EXPECT_EQ(rig.mixer->mixBuffer()[800], 0) << "followed by silence, not old data";
  rig.mixer->mix();  // dry: priming again
  ring->write_block(std::vector<std::uint8_t>(1600, 4));
  rig.mixer->mix();
  EXPECT_EQ(rig.mixer->mixBuffer()[0], 0) << "the next spurt waits for the minimum again";
}

// The mixer divides every sample by the rings attached: a ring kept after its sender's spurt
// ended would halve everyone else for good.
TEST(JitterPlayout, AnEndedSpurtIsPlayedOutThenItsRingNoLongerDividesTheOthers) {
  MixerRig rig(kKestrelPlayout);
  ASSERT_TRUE(rig.mixer->open());
  auto* bert = rig.mixer->add_source(160000);
  auto* carl = rig.mixer->add_source(160000);
  bert->write_block(std::vector<std::uint8_t>(3200, 0x10));  // bert's spurt: one mix step
  bert->write_block(std::vector<std::uint8_t>(1600, 0x10));  // and half of one more
  rig.mixer->retire_source(bert);
  EXPECT_EQ(rig.mixer->sourceCount(), 2) << "what waits is still played";
  for (int i = 0; i < 3; ++i) carl->write_block(std::vector<std::uint8_t>(3200, 0x40));
  rig.mixer->mix();
  EXPECT_EQ(rig.mixer->mixBuffer()[0], 0x1010 / 2 + 0x4040 / 2);
  rig.mixer->mix();
  EXPECT_EQ(rig.mixer->mixBuffer()[0], 0x1010 / 2 + 0x4040 / 2) << "the rest, below the minimum";
  EXPECT_EQ(rig.mixer->mixBuffer()[800], 0x4040 / 2);
  EXPECT_EQ(rig.mixer->sourceCount(), 1) << "played dry, bert's ring is released";
  rig.mixer->mix();
  EXPECT_EQ(rig.mixer->mixBuffer()[0], 0x4040) << "carl at his own level, not half of it";

  // Nothing waiting, or nothing playing: released at once.
  auto* dave = rig.mixer->add_source(160000);
  rig.mixer->retire_source(dave);
  EXPECT_EQ(rig.mixer->sourceCount(), 1);
  auto* erin = rig.mixer->add_source(160000);
  erin->write_block(std::vector<std::uint8_t>(3200, 1));
  rig.mixer->close();
  rig.mixer->retire_source(erin);
  EXPECT_EQ(rig.mixer->sourceCount(), 1);
}

TEST(JitterPlayout, AFullRingDropsTheOldestData) {
  MixerRig rig(kStreamerPlayout);
  auto* ring = rig.mixer->add_source(16000);
  for (std::uint8_t i = 1; i <= 8; ++i) ring->write_block(std::vector<std::uint8_t>(3200, i));
  EXPECT_LE(ring->fill() + 3200, 16000u);
  rig.mixer->mix();
  EXPECT_EQ(rig.mixer->mixBuffer()[0], 0x0505) << "blocks 1 to 4 made room for 5 to 8";
  std::ifstream log(rig.logPath);
  std::string first;
  std::getline(log, first);
  EXPECT_EQ(first.rfind("PLAY buffer, pos: 0, relpos: 0, time: ", 0), 0u) << first;
}

TEST(JitterPlayout, OpenResetsTheRingsAndTheLogRecordsIt) {
  MixerRig rig(kKestrelPlayout);
  auto* ring = rig.mixer->add_source(160000);
  ring->write_block(std::vector<std::uint8_t>(3200, 5));
  ASSERT_TRUE(rig.mixer->open());
  EXPECT_EQ(ring->fill(), 0u);
  rig.mixer->close();
  std::ifstream log(rig.logPath);
  std::string text((std::istreambuf_iterator<char>(log)), {});
  EXPECT_NE(text.find("KSAbuffer lock: pos = 0, relpos = 0, len = 6400, delay = 0\n"),
            std::string::npos);
  EXPECT_NE(text.find("KSA init\n"), std::string::npos);
  EXPECT_NE(text.find("KSA close\n"), std::string::npos);
}

TEST(JitterPlayout, TheClientsLogSaysHowLongEachOutputWaitedOnThePlayEvent) {
  for (const PlayoutVariant* v : {&kKestrelPlayout, &kStreamerPlayout}) {
    MixerRig rig(*v);
    ASSERT_TRUE(rig.mixer->open());
    for (int i = 0; i < 3; ++i) rig.mixer->step();
    rig.mixer->close();
    std::ifstream log(rig.logPath);
    std::string text((std::istreambuf_iterator<char>(log)), {});
    const bool client = v == &kKestrelPlayout;
    EXPECT_EQ(text.find("Wait on play event: 0\n") != std::string::npos, client) << text;
  }
}

TEST(AudioMixerClock, MixesAndPlaysOnItsOwnAtTheBlockRate) {
  clock::RealClock clock;
  std::vector<std::vector<std::int16_t>> played;
  int resets = 0;
  AudioMixer::Options o;
  o.openDevice = [&](event::ManualResetEvent& e, std::string*) {
    return std::make_unique<RecordingOutput>(e, &played, &resets);
  };
  AudioMixer mixer(kAudioToolPlayout, clock, o);
  auto* ring = mixer.add_source(16000);
  ASSERT_TRUE(mixer.open());
  for (int i = 0; i < 5; ++i) {
    ring->write_block(std::vector<std::uint8_t>(1600, 3));
    clock::sleepMs(100);
  }
  mixer.close();
  EXPECT_GE(played.size(), 2u);
  EXPECT_LE(played.size(), 6u);
  int loud = 0;
  for (auto& b : played) loud += b[0] == 0x0303;
  EXPECT_GE(loud, 1);
}

TEST(AudioMixerRace, RemovingRingsWhileMixingIsSafe) {
  clock::RealClock clock;
  std::vector<std::vector<std::int16_t>> played;
  int resets = 0;
  AudioMixer::Options o;
  o.openDevice = [&](event::ManualResetEvent& e, std::string*) {
    return std::make_unique<RecordingOutput>(e, &played, &resets);
  };
  o.startClock = false;
  AudioMixer mixer(kAudioToolPlayout, clock, o);
  std::atomic<bool> stop{false};
  std::thread mixing([&] {
    while (!stop) mixer.mix();
  });
  for (int i = 0; i < 2000; ++i) {
    auto* r = mixer.add_source(16000);
    r->write_block(std::vector<std::uint8_t>(1600, 1));
    mixer.remove_source(r);
  }
  stop = true;
  mixing.join();
  EXPECT_EQ(mixer.sourceCount(), 0);
}

}  // namespace
}  // namespace zep::audio
