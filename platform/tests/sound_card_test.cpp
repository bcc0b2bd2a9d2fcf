// The PortAudio backends on a machine without a sound card: ALSA's own plugins stand in for the
// card. A scratch HOME holds an .asoundrc whose default device (and a second one, "zepsink")
// is a `file` plugin over `null`, so whatever PortAudio plays lands in a raw file of 16-bit
// samples. Only output is tested this way: such a device has no clock of its own.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "platform/audio.h"
#include "platform/clock.h"
#include "platform/event.h"

namespace zep::sound {
namespace {

namespace fs = std::filesystem;

class SoundCardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = fs::temp_directory_path() / ("zep-alsa-" + std::to_string(::getpid()));
    fs::remove_all(home_);
    fs::create_directories(home_);
    std::ofstream rc(home_ / ".asoundrc");
    for (auto [name, file] : {std::pair{"!default", defaultFile()}, {"zepsink", sinkFile()}})
      rc << "pcm." << name << " {\n  type file\n  slave.pcm null\n  file \"" << file.string()
         << "\"\n  format raw\n}\n";
    rc.close();
    // ALSA reads the configuration when PortAudio first starts, in this process.
    ::setenv("HOME", home_.c_str(), 1);
  }
  void TearDown() override { fs::remove_all(home_); }

  fs::path defaultFile() const { return home_ / "default.raw"; }
  fs::path sinkFile() const { return home_ / "zepsink.raw"; }

  // Plays the blocks on the output that choice names and waits until the device has taken all.
  void play(const std::string& choice, const std::vector<std::vector<std::int16_t>>& blocks) {
    clock::RealClock clock;
    AudioSystem system("none", choice, false, clock);
    event::ManualResetEvent completion;
    std::string error;
    auto output = system.openOutput(completion, &error);
    ASSERT_TRUE(output) << error;
    std::vector<std::unique_ptr<SoundBlock>> queued;
    for (const auto& samples : blocks) {
      queued.push_back(std::make_unique<SoundBlock>());
      queued.back()->samples = samples;
      ASSERT_TRUE(output->write(*queued.back()));
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (output->played() < blocks.size() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(output->played(), blocks.size());
    output.reset();  // closes the device, which flushes the file
  }

  static std::vector<std::int16_t> rawSamples(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
      samples[i] = static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[2 * i]) |
                                             (static_cast<std::uint8_t>(bytes[2 * i + 1]) << 8));
    return samples;
  }

  // Where `wanted` appears whole in `recorded`, or -1.
  static long find(const std::vector<std::int16_t>& recorded,
                   const std::vector<std::int16_t>& wanted) {
    auto it = std::search(recorded.begin(), recorded.end(), wanted.begin(), wanted.end());
    return it == recorded.end() ? -1 : static_cast<long>(it - recorded.begin());
  }

  fs::path home_;
};

std::vector<std::vector<std::int16_t>> randomBlocks(unsigned seed, int count, int size) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> sample(-32768, 32767);
  std::vector<std::vector<std::int16_t>> blocks(static_cast<std::size_t>(count));
  for (auto& b : blocks) {
    b.resize(static_cast<std::size_t>(size));
    for (auto& s : b) s = static_cast<std::int16_t>(sample(random));
  }
  return blocks;
}

TEST_F(SoundCardTest, PlayedBlocksArriveSampleExactOnTheDefaultAndOnANamedDevice) {
  const unsigned seed = 1801;
  SCOPED_TRACE("seed " + std::to_string(seed));
  // Twenty blocks of 100 ms, as the audio tool plays them.
  auto blocks = randomBlocks(seed, 20, 800);
  std::vector<std::int16_t> all;
  for (const auto& b : blocks) all.insert(all.end(), b.begin(), b.end());

  play("portaudio", blocks);
  auto recorded = rawSamples(defaultFile());
  EXPECT_GE(find(recorded, all), 0) << recorded.size() << " samples recorded";

  // Part of the name is enough when only one device has it.
  play("portaudio:zepsi", blocks);
  EXPECT_GE(find(rawSamples(sinkFile()), all), 0);
}

TEST_F(SoundCardTest, TheRingPlaysTheRingFileWhole) {
  std::vector<std::int16_t> ring;
  std::string error;
  ASSERT_TRUE(readSoundFile(ZEP_RING_FILE, &ring, &error)) << error;
  clock::RealClock clock;
  AudioSystem system("none", "portaudio", false, clock);
  ASSERT_TRUE(system.playSoundFile(ZEP_RING_FILE, &error)) << error;
  auto recorded = rawSamples(defaultFile());
  EXPECT_GE(find(recorded, ring), 0)
      << recorded.size() << " samples recorded, ring " << ring.size();
}

TEST_F(SoundCardTest, ADeviceThatDoesNotExistIsRefusedNamingTheKnownOnes) {
  clock::RealClock clock;
  event::ManualResetEvent completion;
  std::string error;
  AudioSystem system("portaudio:no-such-card", "portaudio:no-such-card", false, clock);
  EXPECT_FALSE(system.openOutput(completion, &error));
  EXPECT_EQ(error.rfind("PortAudio: no sound output device named 'no-such-card' (known: ", 0), 0u)
      << error;
  EXPECT_NE(error.find("zepsink"), std::string::npos) << error;
  EXPECT_FALSE(system.openInput(completion, &error));
  EXPECT_EQ(error.rfind("PortAudio: no sound input device named 'no-such-card'", 0), 0u) << error;
  // Nothing was played anywhere.
  EXPECT_FALSE(fs::exists(defaultFile()) && fs::file_size(defaultFile()) > 0);
}

TEST_F(SoundCardTest, TheAudioToolListsTheDevices) {
  std::string command =
      std::string(ZEP_AUDIO_TOOL) + " --list-devices > " + (home_ / "list.txt").string() + " 2>&1";
  int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  std::ifstream in(home_ / "list.txt");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(WEXITSTATUS(status), 0) << text;
  EXPECT_NE(text.find("Sound devices (ZEP_AUDIO_IN=portaudio:NAME"), std::string::npos) << text;
  EXPECT_NE(text.find("\n  zepsink  [ALSA; "), std::string::npos) << text;
  EXPECT_NE(text.find("default output"), std::string::npos) << text;
}

}  // namespace
}  // namespace zep::sound
