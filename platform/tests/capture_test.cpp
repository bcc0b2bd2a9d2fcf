#include "platform/capture.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "platform/devices.h"
#include "platform/y4m.h"

namespace zep::capture {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string tempPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() /
          (name + "-" + std::to_string(::getpid()) + ".y4m"))
      .string();
}

// A Y4M file of 4:2:0 frames, each given by its luminance rows (chrominance neutral), and
// `tail` bytes of a frame cut short.
void writeY4m(const std::string& path, int width, int height, const std::string& rate,
              const std::vector<Bytes>& lumas, std::size_t tail = 0) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << "YUV4MPEG2 W" << width << " H" << height << " F" << rate << " Ip A1:1 C420jpeg\n";
  const Bytes chroma(static_cast<std::size_t>(2 * ((width + 1) / 2) * ((height + 1) / 2)), 128);
  for (const auto& y : lumas) {
    out << "FRAME\n";
    out.write(reinterpret_cast<const char*>(y.data()), static_cast<std::streamsize>(y.size()));
    out.write(reinterpret_cast<const char*>(chroma.data()),
              static_cast<std::streamsize>(chroma.size()));
  }
  if (tail) out << "FRAME\n" << std::string(tail, '\x50');
}

Bytes flat(int width, int height, std::uint8_t value) {
  return Bytes(static_cast<std::size_t>(width * height), value);
}

struct Captured {
  Bytes data;
  Format format;
  std::uint32_t number;
  std::uint64_t micros;
};

// Keeps what a camera delivers; waits for it with a deadline.
class Collector {
 public:
  FrameCallback onFrame(std::function<void(const Frame&)> also = {}) {
    return [this, also](const Frame& f) {
      if (also) also(f);
      std::lock_guard lock(mutex_);
      frames_.push_back(
          {Bytes(f.data.begin(), f.data.end()), f.format, f.number, f.capturedMicros});
      changed_.notify_all();
    };
  }
  ErrorCallback onError() {
    return [this](const std::string& text) {
      std::lock_guard lock(mutex_);
      errors_.push_back(text);
      changed_.notify_all();
    };
  }
  bool waitFrames(std::size_t n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return frames_.size() >= n; });
  }
  bool waitError() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return !errors_.empty(); });
  }
  std::vector<Captured> frames() {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  std::vector<std::string> errors() {
    std::lock_guard lock(mutex_);
    return errors_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Captured> frames_;
  std::vector<std::string> errors_;
};

std::unique_ptr<Camera> connect(const std::string& choice, clock::Clock& clock,
                                bool refuseRgb24 = false) {
  CaptureOptions options;
  options.clock = &clock;
  options.refuseRgb24 = refuseRgb24;
  CaptureSystem system(choice, options);
  std::string error;
  auto camera = system.connect(&error);
  EXPECT_TRUE(camera) << choice << ": " << error;
  return camera;
}

std::string connectError(const std::string& choice) {
  clock::SimulatedClock clock;
  CaptureSystem system(choice, {&clock, false});
  std::string error;
  EXPECT_FALSE(system.connect(&error)) << choice;
  return error;
}

const Format kYvu9{kCaptureWidth, kCaptureHeight, PixelFormat::kYvu9};
const Format kRgb{kCaptureWidth, kCaptureHeight, PixelFormat::kRgb24};

// --- choosing a backend ---

TEST(DeviceRegistry, ChoicesSplitAtTheFirstColonAndArgumentsAreChecked) {
  auto choice = devices::parseChoice("file:/tmp/a:b.y4m");
  EXPECT_EQ(choice.name, "file");
  EXPECT_EQ(choice.argument, "/tmp/a:b.y4m");
  EXPECT_TRUE(choice.hasArgument);
  EXPECT_FALSE(devices::parseChoice("v4l2").hasArgument);
  EXPECT_TRUE(devices::parseChoice("pattern:").hasArgument);

  devices::Registry<int> registry("gadget");
  registry.add("plain", devices::Argument::kNone, "plain", 1);
  registry.add("needs", devices::Argument::kRequired, "needs:WHAT", 2);
  std::string error;
  EXPECT_EQ(registry.find(devices::parseChoice("needs:x"), &error), 2);
  EXPECT_FALSE(registry.find(devices::parseChoice("odd:x"), &error));
  EXPECT_EQ(error, "unknown gadget 'odd:x' (known: needs, plain)");
  EXPECT_FALSE(registry.find(devices::parseChoice("plain:x"), &error));
  EXPECT_EQ(error, "gadget 'plain' takes no argument: plain");
  EXPECT_FALSE(registry.find(devices::parseChoice("needs"), &error));
  EXPECT_EQ(error, "gadget 'needs' needs an argument: needs:WHAT");
}

TEST(CameraChoice, UnknownNoneAndMissingDevicesFailWithTheirReason) {
  EXPECT_EQ(connectError("webcam"), "unknown camera 'webcam' (known: file, none, pattern, v4l2)");
  EXPECT_EQ(connectError("none"), "no camera");
  EXPECT_EQ(connectError("file"), "camera 'file' needs an argument: file:PATH (a Y4M file)");
  EXPECT_EQ(connectError("v4l2:/dev/no-such-video"),
            "cannot open camera /dev/no-such-video: No such file or directory");
  // Not a video device at all.
  EXPECT_NE(connectError("v4l2:/dev/null").find("/dev/null"), std::string::npos);
  EXPECT_EQ(connectError("file:/no/such.y4m"),
            "cannot open camera file /no/such.y4m: No such file or directory");
}

TEST(CameraChoice, ATestBackendRegistersLikeTheOthersAndGetsItsArgument) {
  std::string seen;
  cameraBackends().add(
      "recorded", devices::Argument::kOptional, "recorded[:NAME]",
      CameraBackend{[&](const std::string& argument, const CaptureOptions& o, std::string* error) {
                      seen = argument;
                      CaptureSystem pattern("pattern:" + argument, o);
                      return pattern.connect(error);
                    },
                    {}});
  clock::SimulatedClock clock;
  EXPECT_TRUE(connect("recorded:bob", clock));
  EXPECT_EQ(seen, "bob");
}

TEST(CameraChoice, DeviceListHoldsOnlyCaptureDevicesAndThePattern) {
  auto list = CaptureSystem::devices();
  bool pattern = false;
  for (const auto& d : list) {
    if (d.choice == "pattern") {
      pattern = true;
      continue;
    }
    ASSERT_EQ(d.choice.rfind("v4l2:/dev/video", 0), 0u) << d.choice;
    EXPECT_NE(d.description.find(d.choice.substr(5)), std::string::npos) << d.description;
  }
  EXPECT_TRUE(pattern);
  if (!std::filesystem::exists("/dev/video0")) {
    EXPECT_EQ(connectError("v4l2").rfind("cannot open camera /dev/video0: ", 0), 0u);
  }
}

TEST(CameraChoice, Yvu9OnlyRefusesRgb24InEveryBackend) {
  std::string path = tempPath("formats");
  writeY4m(path, 16, 12, "25:1", {flat(16, 12, 100)});
  clock::SimulatedClock clock;
  for (const std::string& choice : {std::string("pattern:x"), "file:" + path}) {
    auto open = connect(choice, clock);
    ASSERT_TRUE(open);
    EXPECT_TRUE(open->setFormat(kRgb)) << choice;
    EXPECT_TRUE(open->setFormat(kYvu9)) << choice;
    EXPECT_FALSE(open->setFormat({320, 240, PixelFormat::kRgb24})) << "only the capture size";

    auto yvu9 = connect(choice, clock, true);
    ASSERT_TRUE(yvu9);
    EXPECT_EQ(yvu9->format().pixel, PixelFormat::kYvu9) << choice;
    EXPECT_FALSE(yvu9->setFormat(kRgb)) << choice;
    EXPECT_TRUE(yvu9->setFormat(kYvu9)) << choice;
  }
  ::setenv("ZEP_CAMERA_FORMAT", "yvu9", 1);
  ::setenv("ZEP_CAMERA", "pattern:eve", 1);
  auto system = CaptureSystem::fromEnvironment(clock);
  EXPECT_EQ(system.choice(), "pattern:eve");
  std::string error;
  auto camera = system.connect(&error);
  ASSERT_TRUE(camera) << error;
  EXPECT_FALSE(camera->setFormat(kRgb));
  std::filesystem::remove(path);
}

// --- the test pattern ---

Bytes pattern(const std::string& text, std::uint32_t n, const Format& f = kRgb) {
  Bytes out(frameSize(f));
  drawTestPattern(text, n, f, out);
  return out;
}

// Mean luminance of a box of an RGB24 picture given top to bottom (the buffer is bottom up).
double meanLuma(const Bytes& rgb, int x0, int y0, int w, int h) {
  double sum = 0;
  for (int y = y0; y < y0 + h; ++y)
    for (int x = x0; x < x0 + w; ++x) {
      const auto* p =
          &rgb[static_cast<std::size_t>(((kCaptureHeight - 1 - y) * kCaptureWidth + x) * 3)];
      sum += 0.114 * p[0] + 0.587 * p[1] + 0.299 * p[2];
    }
  return sum / (w * h);
}

int whitePixels(const Bytes& rgb, int x0, int y0, int w, int h) {
  int n = 0;
  for (int y = y0; y < y0 + h; ++y)
    for (int x = x0; x < x0 + w; ++x) {
      const auto* p =
          &rgb[static_cast<std::size_t>(((kCaptureHeight - 1 - y) * kCaptureWidth + x) * 3)];
      n += p[0] >= 235 && p[1] >= 235 && p[2] >= 235;
    }
  return n;
}

TEST(TestPattern, TheSameNumberGivesTheSamePictureAndTheTextShows) {
  EXPECT_EQ(frameSize(kRgb), 240u * 180 * 3);
  EXPECT_EQ(frameSize(kYvu9), 240u * 180 + 2 * 60 * 45);
  EXPECT_EQ(pattern("alice", 7), pattern("alice", 7));
  EXPECT_EQ(pattern("alice", 7, kYvu9), pattern("alice", 7, kYvu9));
  EXPECT_NE(pattern("alice", 7), pattern("alice", 8)) << "the picture moves";
  EXPECT_NE(pattern("alice", 7), pattern("carol", 7));
  // Eight letters span most of the top-left 176 x 144 that the video paths send: only letters
  // are white, nothing outside that part and nothing in the band above them.
  auto with = pattern("ALICE@H1", 0), without = pattern("", 0);
  EXPECT_EQ(whitePixels(without, 0, 0, 240, 180), 0);
  EXPECT_GT(whitePixels(with, 0, 55, 88, 35), 200);
  EXPECT_GT(whitePixels(with, 88, 55, 88, 35), 200);
  EXPECT_EQ(whitePixels(with, 0, 0, 240, 55), 0);
  EXPECT_EQ(whitePixels(with, 176, 0, 64, 180), 0);
  EXPECT_EQ(whitePixels(with, 0, 144, 240, 36), 0);
  EXPECT_NEAR(meanLuma(with, 100, 20, 40, 20), meanLuma(without, 100, 20, 40, 20), 0.01);
  EXPECT_EQ(pattern("alice", 3), pattern("ALICE", 3)) << "letters are drawn as capitals";
}

TEST(TestPattern, Rgb24IsBlueGreenRedBottomUpAndYvu9IsLuminanceThenVThenU) {
  // At frame 0 the yellow block sits at the top left of the picture.
  auto rgb = pattern("", 0);
  const auto* p =
      &rgb[static_cast<std::size_t>(((kCaptureHeight - 1 - 10) * kCaptureWidth + 10) * 3)];
  EXPECT_EQ(p[0], 40);   // blue
  EXPECT_EQ(p[1], 200);  // green
  EXPECT_EQ(p[2], 230);  // red
  auto yvu9 = pattern("", 0, kYvu9);
  const std::size_t luma = 240 * 180, chroma = 60 * 45;
  EXPECT_GT(yvu9[10 * 240 + 10], 160);
  EXPECT_GT(yvu9[luma + 2 * 60 + 2], 140) << "V of yellow is above the middle";
  EXPECT_LT(yvu9[luma + chroma + 2 * 60 + 2], 70) << "U of yellow is far below it";
}

// --- pacing ---

TEST(Pacing, FramesComeAtThePeriodOnTheInjectedClockAndANewPeriodTakesEffectAtOnce) {
  clock::SimulatedClock clock(1000);  // sleeping moves it
  auto camera = connect("pattern:bob", clock);
  ASSERT_TRUE(camera);
  camera->setFramePeriod(100);
  Collector got;
  std::string error;
  Camera* c = camera.get();
  ASSERT_TRUE(camera->start(got.onFrame([c](const Frame& f) {
    if (f.number == 3) c->setFramePeriod(250);
    if (f.number == 6) c->stop();  // from the camera's own thread
  }),
                            got.onError(), &error))
      << error;
  ASSERT_TRUE(got.waitFrames(7));
  camera->stop();
  auto frames = got.frames();
  ASSERT_EQ(frames.size(), 7u) << "nothing after a stop";
  const std::uint64_t expected[] = {1100, 1200, 1300, 1400, 1650, 1900, 2150};
  for (std::uint32_t i = 0; i < 7; ++i) {
    EXPECT_EQ(frames[i].number, i);
    EXPECT_EQ(frames[i].micros, expected[i] * 1000) << "frame " << i;
    EXPECT_EQ(frames[i].data, pattern("bob", i)) << "frame " << i;
  }
  EXPECT_TRUE(got.errors().empty());
}

TEST(Pacing, OnAClockTheTestMovesFramesCountFromZeroAtEveryStart) {
  clock::SimulatedClock clock(0, false);
  auto camera = connect("pattern", clock);
  ASSERT_TRUE(camera);
  camera->setFramePeriod(200);
  for (int run = 0; run < 2; ++run) {
    Collector got;
    std::string error;
    const std::uint64_t start = clock.nowMicros();
    ASSERT_TRUE(camera->start(got.onFrame(), got.onError(), &error)) << error;
    EXPECT_FALSE(camera->start(got.onFrame(), got.onError(), &error));
    EXPECT_FALSE(camera->setFormat(kYvu9)) << "not while streaming";
    for (int i = 1; i <= 3; ++i) {
      clock.advance(199);
      clock.advance(1);
      ASSERT_TRUE(got.waitFrames(static_cast<std::size_t>(i)));
    }
    camera->stop();
    auto frames = got.frames();
    ASSERT_EQ(frames.size(), 3u);
    for (std::uint32_t i = 0; i < 3; ++i) {
      EXPECT_EQ(frames[i].number, i);
      EXPECT_EQ(frames[i].micros, start + (i + 1) * 200000);
    }
    clock.advance(1000);
  }
}

// --- Y4M headers ---

y4m::Header header(const std::string& text, std::string* error) {
  Bytes bytes(text.begin(), text.end());
  auto h = y4m::parseHeader(bytes, error);
  return h ? *h : y4m::Header{};
}

TEST(Y4mHeader, ReadsSizeRateAndChromaAndRefusesWhatItCannotShow) {
  std::string error;
  auto h = header("YUV4MPEG2 W176 H144 F30000:1001 It A128:117 XYSCSS=420JPEG\nFRAME", &error);
  EXPECT_EQ(h.width, 176);
  EXPECT_EQ(h.height, 144);
  EXPECT_EQ(h.rateNumerator, 30000u);
  EXPECT_EQ(h.rateDenominator, 1001u);
  EXPECT_EQ(h.chroma, y4m::Chroma::k420);
  EXPECT_EQ(h.headerBytes, 59u);
  EXPECT_EQ(h.frameBytes, 176u * 144 * 3 / 2);
  EXPECT_EQ(header("YUV4MPEG2 W5 H3 F1:1 C420mpeg2\n", &error).frameBytes, 15u + 2 * 3 * 2);
  EXPECT_EQ(header("YUV4MPEG2 W5 H3 F1:1 C422\n", &error).frameBytes, 15u + 2 * 3 * 3);
  EXPECT_EQ(header("YUV4MPEG2 W5 H3 F1:1 C444\n", &error).frameBytes, 45u);
  EXPECT_EQ(header("YUV4MPEG2 W5 H3 F1:1 Cmono\n", &error).frameBytes, 15u);

  const std::pair<const char*, const char*> bad[] = {
      {"YUV4MPEG W5 H3 F1:1\n", "not a Y4M file (no YUV4MPEG2 header)"},
      {"YUV4MPEG2W5 H3 F1:1\n", "not a Y4M file (no YUV4MPEG2 header)"},
      {"YUV4MPEG2 H3 F1:1\n", "the Y4M header has no width (W)"},
      {"YUV4MPEG2 W5 F1:1\n", "the Y4M header has no height (H)"},
      {"YUV4MPEG2 W5 H3\n", "the Y4M header has no frame rate (F)"},
      {"YUV4MPEG2 W0 H3 F1:1\n", "the Y4M width '0' is not 1 to 8192"},
      {"YUV4MPEG2 W5 H99999 F1:1\n", "the Y4M height '99999' is not 1 to 8192"},
      {"YUV4MPEG2 W-5 H3 F1:1\n", "the Y4M width '-5' is not 1 to 8192"},
      {"YUV4MPEG2 W5 H3 F25\n", "the Y4M frame rate '25' is not N:D with N, D above 0"},
      {"YUV4MPEG2 W5 H3 F25:0\n", "the Y4M frame rate '25:0' is not N:D with N, D above 0"},
      {"YUV4MPEG2 W5 H3 F1:1 C420p10\n",
       "the Y4M colour space '420p10' is not supported (420jpeg, 420paldv, 420mpeg2, 420, 422, "
       "444 or mono)"},
      {"YUV4MPEG2 W5 H3 F1:1 C411\n",
       "the Y4M colour space '411' is not supported (420jpeg, 420paldv, 420mpeg2, 420, 422, 444 "
       "or mono)"},
      {"YUV4MPEG2 W5 H3 F1:1", "the Y4M header line is incomplete"},
  };
  for (auto [text, why] : bad) {
    error.clear();
    EXPECT_EQ(header(text, &error).width, 0) << text;
    EXPECT_EQ(error, why) << text;
  }
  EXPECT_EQ(header("YUV4MPEG2 W5 H3 F1:1 X" + std::string(5000, 'a') + "\n", &error).width, 0);
  EXPECT_EQ(error, "the Y4M header line is longer than 4096 bytes");

  // A good header cut anywhere before its line end is incomplete, never half read.
  const std::string good = "YUV4MPEG2 W320 H240 F25:1 C420jpeg\n";
  for (std::size_t n = 0; n < good.size(); ++n) {
    Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_FALSE(y4m::parseHeader(cut, &error)) << n;
  }
}

TEST(Y4mHeader, FrameLinesStartWithFrameAndEndTheirLine) {
  std::string error;
  auto line = [&](const std::string& text) {
    Bytes bytes(text.begin(), text.end());
    return y4m::parseFrameLine(bytes, &error);
  };
  EXPECT_EQ(line("FRAME\n\x10\x10"), 6u);
  EXPECT_EQ(line("FRAME Ib XJUNK\n"), 15u);
  EXPECT_FALSE(line("FRAMES\n"));
  EXPECT_EQ(error, "a Y4M frame does not start with FRAME");
  EXPECT_FALSE(line("FRAME"));
  EXPECT_EQ(error, "a Y4M frame line is incomplete");
}

// --- the file camera ---

TEST(FileCamera, PlaysTheFileInRealTimeScaledAndLoopsAtItsEnd) {
  // Three frames at 5 per second, a frame cut short after them: every file frame is seen
  // twice at a 100 ms period, and the cut frame never.
  std::string path = tempPath("loop");
  writeY4m(path, 16, 12, "5:1", {flat(16, 12, 60), flat(16, 12, 120), flat(16, 12, 180)}, 50);
  clock::SimulatedClock clock;
  auto camera = connect("file:" + path, clock);
  ASSERT_TRUE(camera);
  ASSERT_TRUE(camera->setFormat(kYvu9));
  camera->setFramePeriod(100);
  Collector got;
  std::string error;
  ASSERT_TRUE(camera->start(got.onFrame(), got.onError(), &error)) << error;
  ASSERT_TRUE(got.waitFrames(10));
  camera->stop();
  const int expected[] = {60, 60, 120, 120, 180, 180, 60, 60, 120, 120};
  auto frames = got.frames();
  for (std::size_t i = 0; i < 10; ++i) {
    const auto& d = frames[i].data;
    ASSERT_EQ(d.size(), frameSize(kYvu9));
    EXPECT_NEAR(d[0], expected[i], 1) << "frame " << i;
    EXPECT_NEAR(d[240 * 180 - 1], expected[i], 1) << "frame " << i;
    EXPECT_NEAR(d[240 * 180 + 100], 128, 1);
    EXPECT_NEAR(d.back(), 128, 1);
  }
  EXPECT_TRUE(got.errors().empty());
  std::filesystem::remove(path);
}

TEST(FileCamera, Rgb24FromAFileIsGreyAndBottomUp) {
  // Top half bright, bottom half dark.
  std::string path = tempPath("halves");
  Bytes luma = flat(8, 8, 235);
  std::fill(luma.begin() + 32, luma.end(), 16);
  writeY4m(path, 8, 8, "25:1", {luma});
  clock::SimulatedClock clock;
  auto camera = connect("file:" + path, clock);
  ASSERT_TRUE(camera);
  Collector got;
  std::string error;
  ASSERT_TRUE(camera->start(got.onFrame(), got.onError(), &error)) << error;
  ASSERT_TRUE(got.waitFrames(1));
  camera->stop();
  const auto frames = got.frames();
  const auto& d = frames[0].data;
  ASSERT_EQ(d.size(), frameSize(kRgb));
  // The first row stored is the bottom of the picture.
  EXPECT_LT(d[0], 10);
  EXPECT_GT(d[d.size() - 1], 245);
  EXPECT_NEAR(d[d.size() - 3], d[d.size() - 2], 2) << "grey stays grey";
  std::filesystem::remove(path);
}

TEST(FileCamera, BadAndTruncatedFilesDoNotConnect) {
  std::string path = tempPath("bad");
  std::ofstream(path) << "YUV4MPEG2 W16 H12 F25:1 C411\n";
  EXPECT_EQ(connectError("file:" + path),
            "camera file " + path +
                ": the Y4M colour space '411' is not supported (420jpeg, 420paldv, 420mpeg2, 420, "
                "422, 444 or mono)");
  writeY4m(path, 16, 12, "25:1", {}, 100);
  EXPECT_EQ(connectError("file:" + path), "camera file " + path + " holds no whole frame");
  // A huge picture announced by a small file is refused before anything is allocated for it.
  std::ofstream(path) << "YUV4MPEG2 W8192 H8192 F25:1\nFRAME\nxx";
  EXPECT_EQ(connectError("file:" + path), "camera file " + path + " holds no whole frame");
  std::string dir = std::filesystem::temp_directory_path().string();
  EXPECT_NE(connectError("file:" + dir).find("cannot be read"), std::string::npos);
  std::filesystem::remove(path);
}

TEST(FileCamera, AFileThatGoesAwayOrTurnsToGarbageMidCaptureStopsWithAnError) {
  for (bool removeIt : {true, false}) {
    std::string path = tempPath(removeIt ? "vanishing" : "garbled");
    writeY4m(path, 16, 12, "10:1", {flat(16, 12, 50), flat(16, 12, 90), flat(16, 12, 130)});
    clock::SimulatedClock clock;
    auto camera = connect("file:" + path, clock);
    ASSERT_TRUE(camera);
    camera->setFramePeriod(100);
    Collector got;
    std::string error;
    ASSERT_TRUE(camera->start(got.onFrame([&](const Frame& f) {
      if (f.number != 1) return;
      if (removeIt)
        std::filesystem::remove(path);
      else
        std::ofstream(path, std::ios::trunc) << "garbage\n";
    }),
                              got.onError(), &error))
        << error;
    ASSERT_TRUE(got.waitError());
    camera->stop();
    auto errors = got.errors();
    ASSERT_EQ(errors.size(), 1u);
    if (removeIt) {
      EXPECT_EQ(errors[0], "cannot open camera file " + path + ": No such file or directory");
      EXPECT_EQ(got.frames().size(), 3u) << "the frames read before the end still came";
    } else {
      EXPECT_EQ(errors[0], "camera file " + path + ": not a Y4M file (no YUV4MPEG2 header)");
    }
    std::filesystem::remove(path);
  }
}

}  // namespace
}  // namespace zep::capture
