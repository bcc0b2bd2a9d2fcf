// The integrated client's video object: which camera formats it takes, how long its send thread
// sleeps between frames, and what arriving datagrams do to its windows and counters.
#include "kestrel/video_object.h"

#include <gtest/gtest.h>

#include <mutex>
#include <random>

#include "video/protocol.h"

namespace zep::kestrel {
namespace {

TEST(VideoFormat, OnlyRgb24AndYvu9OfAtLeastTheCodedSizeAreTaken) {
  EXPECT_EQ(formatRefusal({true, false, 24, 176, 144}), "");
  EXPECT_EQ(formatRefusal({false, true, 9, 320, 240}), "") << "YVU9";
  EXPECT_EQ(formatRefusal(driverFormatOf({320, 240, capture::PixelFormat::kRgb24})), "")
      << "a larger picture is cropped";
  const std::string size =
      "Unsupported video format(wrong picture size).\nPlease, change picture size to at least "
      "176 x 144";
  EXPECT_EQ(formatRefusal(driverFormatOf({160, 120, capture::PixelFormat::kRgb24})), size);
  EXPECT_EQ(formatRefusal({true, false, 24, 176, 143}), size);
  EXPECT_EQ(formatRefusal({true, false, 16, 160, 120}),
            "Unsupported video format(wrong bits/pixel value).\nPlease, change your video format "
            "to RGB24 or YUV9.")
      << "the depth is judged before the size";
  EXPECT_EQ(formatRefusal({false, false, 16, 320, 240}),
            "Unsupported video format.\nPlease, change your video format to RGB24 or YUV9.");
}

TEST(VideoPacing, TheSleepFollowsTheDecodersAndKeepsToTheFrameRate) {
  EXPECT_EQ(pacingDelayMs(0, 0, 5), 200) << "nothing to wait for: the rate's period";
  EXPECT_EQ(pacingDelayMs(0, 0, 10), 100);
  EXPECT_EQ(pacingDelayMs(0, 10, 5), 180) << "the frame's own time twice inside the period";
  EXPECT_EQ(pacingDelayMs(100, 10, 5), 180) << "172 + 20 is still inside 200";
  EXPECT_EQ(pacingDelayMs(200, 10, 5), 322) << "slow decoders stretch the period";
  EXPECT_EQ(pacingDelayMs(700, 0, 5), 1000) << "never above a second";
  EXPECT_EQ(pacingDelayMs(0, 600, 5), 140);
  EXPECT_EQ(pacingDelayMs(0, 0, 0), 1000) << "a rate of 0 counts as one frame a second";
  EXPECT_EQ(pacingDelayMs(0, 0, -3), 1000);
}

class Hooks final : public VideoObjectHooks {
 public:
  void message(const std::string&, const std::string& text, ui::Icon) override {
    std::lock_guard lock(mutex);
    messages.push_back(text);
  }
  void notify(std::uint32_t code, int member) override {
    std::lock_guard lock(mutex);
    notes.emplace_back(code, member);
  }
  void showMirror(bool) override {}
  void paint(int slot, const picture::VideoFrame420&) override {
    std::lock_guard lock(mutex);
    painted.push_back(slot);
  }
  void displayText(int slot, const std::string& text) override {
    std::lock_guard lock(mutex);
    texts.emplace_back(slot, text);
  }
  std::mutex mutex;
  std::vector<std::string> messages;
  std::vector<std::pair<std::uint32_t, int>> notes;
  std::vector<int> painted;
  std::vector<std::pair<int, std::string>> texts;
};

struct NoCamera {
  NoCamera() {
    VideoObjectSettings s;
    s.compression = [] { return 0; };
    s.intraOnly = [] { return false; };
    s.frameRate = [] { return 5; };
    s.send = [this](int destination, int type, std::span<const std::uint8_t>) {
      std::lock_guard lock(hooks.mutex);
      sent.emplace_back(destination, type);
      return 1;
    };
    s.captureLogPath = ::testing::TempDir() + "/capture.log";
    std::string error;
    video = VideoObject::create(clock, hooks, s, &error);
  }
  clock::RealClock clock;
  Hooks hooks;
  std::vector<std::pair<int, int>> sent;
  std::unique_ptr<VideoObject> video;
};

TEST(VideoObject, WithoutACameraItSaysSoSaysHelloAndCannotSend) {
  NoCamera n;
  ASSERT_TRUE(n.video);
  EXPECT_EQ(n.hooks.messages,
            std::vector<std::string>{"Your machine does not support video capturing"});
  EXPECT_FALSE(n.video->startSending());
  std::lock_guard lock(n.hooks.mutex);
  EXPECT_EQ(n.sent, (std::vector<std::pair<int, int>>{{-1, video::VIDEO_HELLO}}));
}

TEST(VideoObject, AStartOpensTheMembersWindowAndStopEndsItsDecodingTime) {
  NoCamera n;
  n.video->onDatagram(3, video::VIDEO_START, {}, 0);
  {
    std::lock_guard lock(n.hooks.mutex);
    EXPECT_EQ(n.hooks.notes, (std::vector<std::pair<std::uint32_t, int>>{{kNotifyOpenVideo, 3}}));
  }
  // Garbled pictures of every kind: counted, no picture, nothing breaks.
  std::mt19937 random(7);
  for (int i = 0; i < 300; ++i) {
    std::vector<std::uint8_t> junk(random() % 3000);
    for (auto& b : junk) b = static_cast<std::uint8_t>(random());
    const int types[] = {video::VIDEO_H263, video::VIDEO_H261, video::VIDEO_YUV9};
    n.video->onDatagram(3, types[i % 3], junk, static_cast<std::uint16_t>(i));
  }
  ASSERT_NE(n.video->stats(3), nullptr);
  EXPECT_EQ(n.video->stats(3)->received(), 299) << "the first packet starts the counting";
  {
    std::lock_guard lock(n.hooks.mutex);
    EXPECT_EQ(n.hooks.texts.size(), 60u) << "the rates are written every fifth picture";
    EXPECT_EQ(n.hooks.texts.back().first, 3);
  }
  n.video->onDatagram(3, video::VIDEO_STOP, {}, 0);
  EXPECT_EQ(n.video->decodingMs(3), 0);
  std::lock_guard lock(n.hooks.mutex);
  EXPECT_EQ(n.hooks.notes.back(), (std::pair<std::uint32_t, int>{kNotifyCloseVideo, 3}));
  n.video->onDatagram(25, video::VIDEO_START, {}, 0);  // no such member: nothing
  EXPECT_EQ(n.hooks.notes.size(), 2u);
}

// The client decodes with the video tool's receiving side: predicted pictures of a member
// that arrive before its first intra picture paint nothing into its window.
TEST(VideoObject, PredictedPicturesBeforeAnIntraPictureLeaveTheMembersWindowUnpainted) {
  NoCamera n;
  std::string error;
  auto coder = picture::H26xCodec::create(picture::H26xCodec::Standard::kH261, &error);
  ASSERT_TRUE(coder) << error;
  std::uint8_t counter = 0;
  auto coded = [&](int shade, bool intra) {
    picture::VideoFrame420 f;
    for (std::size_t i = 0; i < f.bytes.size(); ++i)
      f.bytes[i] = static_cast<std::uint8_t>(i < picture::kLumaSize ? 60 + (i + shade) % 120 : 128);
    std::vector<std::uint8_t> out(picture::kCodedFrameCapacity);
    out.resize(coder->encode(f.bytes, out, intra).bytes);
    return video::encodeCodedFrame(++counter, out);
  };
  n.video->onDatagram(2, video::VIDEO_START, {}, 0);
  coded(0, true);  // lost
  for (int i = 1; i <= 4; ++i) n.video->onDatagram(2, video::VIDEO_H261, coded(i, false), i);
  {
    std::lock_guard lock(n.hooks.mutex);
    EXPECT_TRUE(n.hooks.painted.empty());
  }
  n.video->onDatagram(2, video::VIDEO_H261, coded(5, true), 5);
  n.video->onDatagram(2, video::VIDEO_H261, coded(6, false), 6);
  std::lock_guard lock(n.hooks.mutex);
  EXPECT_EQ(n.hooks.painted, (std::vector<int>{2, 2}));
}

// Another capture device chosen in the Options sets up capture again and nothing else: the
// members' windows stay open and their counters go on.
TEST(VideoObject, ANewCameraRestartsCaptureOnlyAndTheMembersWindowsAndCountersGoOn) {
  NoCamera n;
  n.video->onDatagram(3, video::VIDEO_START, {}, 0);
  for (int i = 0; i < 6; ++i)
    n.video->onDatagram(3, video::VIDEO_H263, std::vector<std::uint8_t>(50, 1),
                        static_cast<std::uint16_t>(i));
  int asked = 0;
  n.video->changeCamera([&](std::string* error) -> std::unique_ptr<capture::Camera> {
    asked++;
    *error = "no such camera";
    return nullptr;
  });
  EXPECT_EQ(asked, 1) << "the new device is connected";
  n.video->onDatagram(3, video::VIDEO_H263, std::vector<std::uint8_t>(50, 1), 6);
  ASSERT_NE(n.video->stats(3), nullptr);
  EXPECT_EQ(n.video->stats(3)->received(), 6) << "the counters went on";
  std::lock_guard lock(n.hooks.mutex);
  EXPECT_EQ(n.hooks.notes, (std::vector<std::pair<std::uint32_t, int>>{{kNotifyOpenVideo, 3}}))
      << "the member's window was not closed";
  EXPECT_EQ(n.hooks.messages.back(), "Your machine does not support video capturing");
  std::size_t hellos = 0;
  for (auto [destination, type] : n.sent) hellos += type == video::VIDEO_HELLO;
  EXPECT_EQ(hellos, 1u) << "no new object said hello";
}

}  // namespace
}  // namespace zep::kestrel
