#include "platform/audio.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>

namespace zep::sound {
namespace {

std::string tempPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() /
          (name + "-" + std::to_string(::getpid()) + ".wav"))
      .string();
}

bool waitDone(const SoundBlock& b) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!b.done) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

SoundBlock& blockOf(std::unique_ptr<SoundBlock>& b, std::size_t n) {
  b = std::make_unique<SoundBlock>();
  b->samples.assign(n, 0);
  return *b;
}

TEST(SoundDevices, NoneAndUnknownBackendsFailToOpen) {
  clock::SimulatedClock clock;
  event::ManualResetEvent e;
  std::string error;
  AudioSystem none("none", "none", false, clock);
  EXPECT_FALSE(none.openInput(e, &error));
  EXPECT_EQ(error, "no sound input device");
  EXPECT_FALSE(none.openOutput(e, &error));
  EXPECT_EQ(error, "no sound output device");
  AudioSystem odd("speakers", "file", false, clock);
  EXPECT_FALSE(odd.openInput(e, &error));
  EXPECT_EQ(error, "unknown sound input 'speakers' (known: file, none, portaudio)");
  EXPECT_FALSE(odd.openOutput(e, &error));
  EXPECT_EQ(error, "sound output 'file' needs an argument: file:PATH");
  AudioSystem card("none:y", "none:x", false, clock);
  EXPECT_FALSE(card.openInput(e, &error));
  EXPECT_EQ(error, "sound input 'none' takes no argument: none");
  EXPECT_FALSE(card.openOutput(e, &error));
  EXPECT_EQ(error, "sound output 'none' takes no argument: none");
}

TEST(SoundDevices, ATestBackendIsChosenByNameLikeTheOthers) {
  // A backend that records into a file named by its argument, registered as a test would.
  std::string opened;
  soundOutputBackends().add("probe", devices::Argument::kRequired, "probe:NAME",
                            [&](const std::string& argument, AudioSystem& system,
                                event::ManualResetEvent& completion, std::string* error) {
                              opened = argument;
                              auto file =
                                  soundOutputBackends().find(devices::parseChoice("file:"), error);
                              return (*file)(argument, system, completion, error);
                            });
  clock::SimulatedClock clock;
  event::ManualResetEvent e;
  std::string error, path = tempPath("probe");
  AudioSystem system("none", "probe:" + path, false, clock);
  EXPECT_TRUE(system.openOutput(e, &error)) << error;
  EXPECT_EQ(opened, path);
  EXPECT_TRUE(std::filesystem::exists(path));
  std::filesystem::remove(path);
}

TEST(SoundDevices, UnreadableSoundFileIsNamedAndTheDeviceDoesNotOpen) {
  clock::SimulatedClock clock;
  event::ManualResetEvent e;
  std::string error;
  std::string notAudio = tempPath("not-audio");
  std::ofstream(notAudio) << "this is text, not sound";
  AudioSystem system("file:" + notAudio, "none", false, clock);
  EXPECT_FALSE(system.openInput(e, &error));
  EXPECT_NE(error.find(notAudio), std::string::npos) << error;
  AudioSystem missing("file:/no/such.wav", "none", false, clock);
  EXPECT_FALSE(missing.openInput(e, &error));
  EXPECT_NE(error.find("/no/such.wav"), std::string::npos);
  EXPECT_FALSE(missing.playSoundFile("/no/such.wav", &error)) << "no default sound";
  std::filesystem::remove(notAudio);
}

TEST(SoundDevices, FileInputIsConvertedAndDeliversEightHundredSamplesPerTenthOfASecond) {
  // Half a second of a 16 kHz stereo tone: 4000 samples once at 8000 Hz mono.
  std::string path = tempPath("input");
  std::vector<std::int16_t> stereo;
  for (int i = 0; i < 8000; ++i) {
    auto v = static_cast<std::int16_t>(10000 * std::sin(2 * M_PI * 440 * i / 16000.0));
    stereo.push_back(v);
    stereo.push_back(v);
  }
  std::string error;
  ASSERT_TRUE(writeSoundFile(path, stereo, &error, 16000, 2)) << error;

  clock::SimulatedClock clock(1000);
  event::ManualResetEvent read;
  AudioSystem system("file:" + path, "none", false, clock);
  auto input = system.openInput(read, &error);
  ASSERT_TRUE(input) << error;
  // One block queued at a time, so each completion can be timed on the simulated clock.
  std::unique_ptr<SoundBlock> a;
  input->queue(blockOf(a, 800));
  input->start();
  double energyTone = 0, energyAfter = 0;
  for (int n = 1; n <= 8; ++n) {
    ASSERT_TRUE(waitDone(*a));
    EXPECT_EQ(a->recorded, 800u);
    EXPECT_EQ(clock.now(), 1000u + 100u * static_cast<unsigned>(n)) << "block " << n;
    for (auto s : a->samples) (n <= 5 ? energyTone : energyAfter) += double(s) * s;
    input->queue(*a);
  }
  EXPECT_GT(energyTone, 0);
  EXPECT_LT(energyAfter, energyTone / 1000) << "after the file ends the input is silent";
  input->reset();
  EXPECT_TRUE(a->done) << "reset hands every block back";
  std::filesystem::remove(path);
}

TEST(SoundDevices, FileOutputPlaysAtTheDeviceRateAndKeepsTheTimeline) {
  std::string path = tempPath("output");
  clock::SimulatedClock clock(0);
  event::ManualResetEvent write;
  AudioSystem system("none", "file:" + path, false, clock);
  std::string error;
  {
    auto output = system.openOutput(write, &error);
    ASSERT_TRUE(output) << error;
    std::vector<std::unique_ptr<SoundBlock>> blocks(3);
    for (int i = 0; i < 3; ++i) {
      auto& b = blockOf(blocks[static_cast<std::size_t>(i)], 800);
      std::fill(b.samples.begin(), b.samples.end(), static_cast<std::int16_t>(100 * (i + 1)));
      output->write(b);
    }
    ASSERT_TRUE(waitDone(*blocks[2]));
    EXPECT_EQ(clock.now(), 300u);
    EXPECT_EQ(output->played(), 3u);
  }
  clock.advance(200);  // the device is closed for 200 ms
  {
    auto output = system.openOutput(write, &error);
    ASSERT_TRUE(output) << error;
    std::unique_ptr<SoundBlock> b;
    auto& last = blockOf(b, 800);
    std::fill(last.samples.begin(), last.samples.end(), static_cast<std::int16_t>(400));
    output->write(last);
    ASSERT_TRUE(waitDone(last));
  }
  std::vector<std::int16_t> played;
  ASSERT_TRUE(readSoundFile(path, &played, &error)) << error;
  ASSERT_EQ(played.size(), 800u * 3 + 1600u + 800u);
  EXPECT_EQ(played[0], 100);
  EXPECT_EQ(played[2399], 300);
  EXPECT_EQ(played[2400], 0) << "the pause is silence";
  EXPECT_EQ(played[4000], 400);
  std::filesystem::remove(path);
}

TEST(SoundDevices, ABlockQueuedAlittleLateOrBeforeItsTurnFollowsWithoutAGap) {
  std::string path = tempPath("seamless");
  clock::SimulatedClock clock(0);
  event::ManualResetEvent write;
  AudioSystem system("none", "file:" + path, false, clock);
  std::string error;
  {
    auto output = system.openOutput(write, &error);
    ASSERT_TRUE(output) << error;
    std::vector<std::unique_ptr<SoundBlock>> blocks(3);
    for (int i = 0; i < 3; ++i)
      std::fill_n(blockOf(blocks[static_cast<std::size_t>(i)], 800).samples.begin(), 800,
                  static_cast<std::int16_t>(i + 1));
    output->write(*blocks[0]);
    output->write(*blocks[1]);  // queued before its turn: however late the device gets to it
    ASSERT_TRUE(waitDone(*blocks[1]));
    clock.advance(5);  // a few milliseconds late, as a mixer step may be
    output->write(*blocks[2]);
    ASSERT_TRUE(waitDone(*blocks[2]));
  }
  std::vector<std::int16_t> played;
  ASSERT_TRUE(readSoundFile(path, &played, &error)) << error;
  ASSERT_EQ(played.size(), 2400u) << "no silence between the blocks";
  EXPECT_EQ(played[1599], 2);
  EXPECT_EQ(played[1600], 3);
  std::filesystem::remove(path);
}

TEST(SoundDevices, ASoundFileIsPlayedWholeBeforePlayReturns) {
  std::string ring = tempPath("ring");
  std::string speaker = tempPath("speaker");
  std::string error;
  std::vector<std::int16_t> tone(1200, 321);  // a block and a half
  ASSERT_TRUE(writeSoundFile(ring, tone, &error));
  clock::SimulatedClock clock;
  AudioSystem system("none", "file:" + speaker, false, clock);
  ASSERT_TRUE(system.playSoundFile(ring, &error)) << error;
  EXPECT_EQ(clock.now(), 150u);
  std::vector<std::int16_t> played;
  ASSERT_TRUE(readSoundFile(speaker, &played, &error));
  EXPECT_EQ(played, tone);
  std::filesystem::remove(ring);
  std::filesystem::remove(speaker);
}

TEST(SoundDevices, HalfDuplexRefusesTheSecondDirection) {
  std::string path = tempPath("duplex");
  std::string error;
  ASSERT_TRUE(writeSoundFile(path, std::vector<std::int16_t>(800, 1), &error));
  clock::SimulatedClock clock;
  event::ManualResetEvent e;
  AudioSystem half("file:" + path, "file:" + tempPath("duplex-out"), true, clock);
  {
    auto in = half.openInput(e, &error);
    ASSERT_TRUE(in);
    EXPECT_FALSE(half.openOutput(e, &error));
    EXPECT_EQ(error, "the sound card is half duplex and is recording");
  }
  auto out = half.openOutput(e, &error);
  ASSERT_TRUE(out) << error;
  EXPECT_FALSE(half.openInput(e, &error));
  out.reset();
  AudioSystem full("file:" + path, "file:" + tempPath("duplex-out"), false, clock);
  auto in = full.openInput(e, &error);
  EXPECT_TRUE(in && full.openOutput(e, &error));
  std::filesystem::remove(path);
  std::filesystem::remove(tempPath("duplex-out"));
}

TEST(SoundDevices, PortAudioWithoutASoundCardFailsClearly) {
  clock::RealClock clock;
  event::ManualResetEvent e;
  AudioSystem system("portaudio", "portaudio", false, clock);
  std::string error;
  auto in = system.openInput(e, &error);
  if (in) GTEST_SKIP() << "this machine has a sound card";
  EXPECT_EQ(error.rfind("PortAudio: cannot open sound input: ", 0), 0u) << error;
}

}  // namespace
}  // namespace zep::sound
