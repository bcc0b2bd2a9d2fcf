// The video core with a camera the test drives frame by frame: format choice, the intra
// cycle, the YUV9 switch, the order check, and pictures carried from one core to another in
// every mode.
#include "video/video_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>

namespace zep::video {
namespace {

// A camera whose frames the test hands over one by one.
struct FakeCamera final : capture::Camera {
  bool acceptsRgb = true, acceptsYvu9 = true, startOk = true;
  capture::Format current;
  int period = 0;
  capture::FrameCallback onFrame;
  std::function<void()> whileStarting;  // runs inside start(), as another thread could
  bool setFormat(const capture::Format& f) override {
    bool ok = f.pixel == capture::PixelFormat::kRgb24 ? acceptsRgb : acceptsYvu9;
    if (ok) current = f;
    return ok;
  }
  capture::Format format() const override { return current; }
  void setFramePeriod(int ms) override { period = ms; }
  bool start(capture::FrameCallback f, capture::ErrorCallback, std::string*) override {
    onFrame = std::move(f);
    if (whileStarting) whileStarting();
    return startOk;
  }
  void stop() override { onFrame = nullptr; }
};

// A smooth picture that moves with n, in the camera's format.
std::vector<std::uint8_t> cameraPicture(capture::PixelFormat format, int n) {
  const int w = capture::kCaptureWidth, h = capture::kCaptureHeight;
  std::size_t pixels = static_cast<std::size_t>(w) * h;
  std::vector<std::uint8_t> bytes(format == capture::PixelFormat::kRgb24 ? pixels * 3
                                                                         : pixels * 18 / 16);
  if (format == capture::PixelFormat::kRgb24) {
    for (int r = 0; r < h; ++r)
      for (int c = 0; c < w; ++c) {
        auto* p = &bytes[(static_cast<std::size_t>(r) * w + c) * 3];
        p[0] = static_cast<std::uint8_t>((c + 2 * n) % 200);
        p[1] = static_cast<std::uint8_t>((r + c) % 180 + 20);
        p[2] = static_cast<std::uint8_t>(r % 150 + 50);
      }
  } else {
    for (std::size_t i = 0; i < bytes.size(); ++i)
      bytes[i] = static_cast<std::uint8_t>(i < std::size_t(w) * h ? 30 + (i + 2 * n) % 180 : 128);
  }
  return bytes;
}

struct Sent {
  int destination, type;
  std::vector<std::uint8_t> data;
};

struct Hooks final : VideoHooks {
  std::vector<std::string> messages;
  std::vector<std::string> events;
  std::map<int, std::vector<picture::VideoFrame420>> painted;
  void message(const std::string&, const std::string& text, ui::Icon) override {
    messages.push_back(text);
  }
  void openDisplay(int slot) override { events.push_back("open " + std::to_string(slot)); }
  void closeDisplay(int slot) override { events.push_back("close " + std::to_string(slot)); }
  void paint(int slot, const picture::VideoFrame420& frame) override {
    painted[slot].push_back(frame);
  }
  void cameraLost(const std::string&) override {}
};

struct Rig {
  Rig() {
    std::string error;
    core = VideoCore::create(
        clock, hooks,
        [this](int d, int t, std::span<const std::uint8_t> data) {
          sent.push_back({d, t, {data.begin(), data.end()}});
          if (whileSending) whileSending(sent.back());
          return 1;
        },
        [this](std::string*) {
          auto c = std::make_unique<FakeCamera>(camera);
          live = c.get();
          return c;
        },
        &error);
  }
  void frame(int n) {
    auto format = live->current.pixel;
    auto bytes = cameraPicture(format, n);
    capture::Frame f;
    f.data = bytes;
    f.format = live->current;
    live->onFrame(f);
  }
  std::vector<Sent> ofType(int type) const {
    std::vector<Sent> v;
    for (const auto& s : sent)
      if (s.type == type) v.push_back(s);
    return v;
  }
  clock::SimulatedClock clock;
  Hooks hooks;
  FakeCamera camera;  // the template every connect copies
  FakeCamera* live = nullptr;
  std::vector<Sent> sent;
  std::function<void(const Sent&)> whileSending;  // runs inside the send, as another thread could
  std::unique_ptr<VideoCore> core;
};

// Whether a sent picture datagram holds an intra picture, by its picture header.
bool intraPicture(const Sent& s) {
  auto coded = decodeCodedFrame(s.data);
  if (!coded) return false;
  auto kind = s.type == VIDEO_H263 ? picture::h263PictureKind(coded->data)
                                   : picture::h261PictureKind(coded->data);
  return kind == picture::PictureKind::kIntra;
}

double psnr(const picture::VideoFrame420& a, const picture::VideoFrame420& b) {
  double sum = 0;
  for (std::size_t i = 0; i < picture::kLumaSize; ++i) {
    double d = double(a.bytes[i]) - b.bytes[i];
    sum += d * d;
  }
  return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * picture::kLumaSize / sum);
}

TEST(VideoCapture, StartSendsStartOpensTheMirrorAndStartingAgainChangesNothing) {
  Rig rig;
  ASSERT_TRUE(rig.core->start_capture());
  EXPECT_TRUE(rig.core->capturing());
  EXPECT_EQ(rig.live->period, kFirstCapturePeriodMs);
  EXPECT_EQ(rig.hooks.events, std::vector<std::string>{"open 20"});
  ASSERT_EQ(rig.sent.size(), 1u);
  EXPECT_EQ(rig.sent[0].type, VIDEO_START);
  EXPECT_EQ(rig.sent[0].destination, -1);
  EXPECT_FALSE(rig.core->start_capture());
  EXPECT_EQ(rig.sent.size(), 1u);
  EXPECT_TRUE(rig.hooks.messages.empty());

  ASSERT_TRUE(rig.core->stop_capture());
  EXPECT_EQ(rig.sent.back().type, VIDEO_STOP);
  EXPECT_EQ(rig.hooks.events.back(), "close 20");
  EXPECT_FALSE(rig.core->stop_capture());
}

TEST(VideoCapture, NoCameraOrNoFormatIsReportedAndNothingIsSent) {
  Rig rig;
  rig.camera.acceptsRgb = rig.camera.acceptsYvu9 = false;
  EXPECT_FALSE(rig.core->start_capture());
  EXPECT_EQ(rig.hooks.messages,
            std::vector<std::string>{"Your machine does not support video capturing"});
  EXPECT_TRUE(rig.sent.empty());
  EXPECT_FALSE(rig.core->capturing());
  rig.camera.acceptsRgb = true;
  rig.camera.startOk = false;
  EXPECT_TRUE(rig.core->start_capture()) << "capturing, though no frames will come";
  EXPECT_EQ(rig.hooks.messages.back(), "Capture error");
}

TEST(VideoCapture, AYvu9CameraKeepsYvu9ForTheProcess) {
  Rig rig;
  rig.camera.acceptsRgb = false;
  ASSERT_TRUE(rig.core->start_capture());
  EXPECT_EQ(rig.core->inputFormat(), capture::PixelFormat::kYvu9);
  rig.frame(0);
  EXPECT_EQ(rig.ofType(VIDEO_H263).size(), 1u) << "YVU9 converted and coded";
  rig.core->stop_capture();
  rig.camera.acceptsRgb = true;
  ASSERT_TRUE(rig.core->start_capture());
  EXPECT_EQ(rig.core->inputFormat(), capture::PixelFormat::kYvu9);
}

TEST(VideoCapture, IntraFirstAfterAStartAndAfterAHelloThenEveryTenth) {
  Rig rig;
  ASSERT_TRUE(rig.core->start_capture());
  std::vector<std::size_t> sizes;
  for (int n = 0; n < 25; ++n) {
    if (n == 13) rig.core->on_video_datagram(VIDEO_HELLO, {}, 4);
    rig.frame(0);  // the same picture: predicted pictures are tiny
  }
  auto frames = rig.ofType(VIDEO_H263);
  ASSERT_EQ(frames.size(), 25u);
  std::vector<int> intra;
  for (int n = 0; n < 25; ++n)
    if (frames[n].data.size() > 1000) intra.push_back(n);
  EXPECT_EQ(intra, (std::vector<int>{0, 10, 13, 23}));
  EXPECT_EQ(frames[0].data[0], 1) << "the first frame after a start carries 1";
  EXPECT_EQ(frames[24].data[0], 25);
  auto answers = rig.ofType(VIDEO_START);
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[1].destination, 4) << "the hello is answered to its sender only";
}

// The hello's restart of the cycle was a separate read and write against the frame path's
// advance of the index, so a hello taken while a picture was being coded was lost.
TEST(VideoCapture, AHelloArrivingWhileAPictureIsBeingCodedGetsTheNextPictureIntra) {
  Rig rig;
  ASSERT_TRUE(rig.core->start_capture());
  for (int n = 0; n < 4; ++n) rig.frame(n);
  int hellos = 0;
  rig.whileSending = [&](const Sent& s) {
    if (s.type == VIDEO_H263 && hellos++ == 0) rig.core->on_video_datagram(VIDEO_HELLO, {}, 6);
  };
  rig.frame(4);  // the hello arrives while this picture goes out
  rig.whileSending = nullptr;
  for (int n = 5; n < 16; ++n) rig.frame(n);
  auto frames = rig.ofType(VIDEO_H263);
  ASSERT_EQ(frames.size(), 16u);
  std::vector<int> intra;
  for (int n = 0; n < 16; ++n)
    if (intraPicture(frames[n])) intra.push_back(n);
  EXPECT_EQ(intra, (std::vector<int>{0, 5, 15})) << "the cycle restarts at the newcomer's picture";
  auto starts = rig.ofType(VIDEO_START);
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(starts[1].destination, 6);
  // The start went out before the intra picture it announces.
  auto startAt = std::find_if(rig.sent.begin(), rig.sent.end(),
                              [](const Sent& x) { return x.destination == 6; });
  auto intraAt = std::find_if(startAt, rig.sent.end(), [](const Sent& x) {
    return x.type == VIDEO_H263 && intraPicture(x);
  });
  EXPECT_NE(intraAt, rig.sent.end());
}

TEST(VideoCapture, AHelloArrivingWhileTheCameraStartsIsAnsweredAndNoneAfterTheStop) {
  Rig rig;
  rig.camera.whileStarting = [&] { rig.core->on_video_datagram(VIDEO_HELLO, {}, 2); };
  ASSERT_TRUE(rig.core->start_capture());
  auto starts = rig.ofType(VIDEO_START);
  ASSERT_EQ(starts.size(), 2u) << "the newcomer missed the first start and gets its own";
  EXPECT_EQ(starts[1].destination, 2);
  rig.core->stop_capture();
  rig.core->on_video_datagram(VIDEO_HELLO, {}, 3);
  EXPECT_EQ(rig.ofType(VIDEO_START).size(), 2u);
}

TEST(VideoCapture, Yuv9WithAnRgbCameraSwitchesToH261IntraWithoutSendingThatFrame) {
  Rig rig;
  VideoSettings s;
  apply_connection(s, "LAN");
  rig.core->setSettings(s);
  ASSERT_TRUE(rig.core->start_capture());
  rig.frame(0);
  EXPECT_TRUE(rig.ofType(VIDEO_YUV9).empty());
  EXPECT_TRUE(rig.ofType(VIDEO_H261).empty()) << "the switching frame is not sent";
  EXPECT_EQ(rig.core->settings().mode, MODE_H261);
  EXPECT_TRUE(rig.core->settings().intra);
  rig.frame(1);
  rig.frame(2);
  auto frames = rig.ofType(VIDEO_H261);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_GT(frames[1].data.size(), 1000u) << "every picture intra";
  EXPECT_EQ(rig.core->statistics().refresh().frames, "3");
}

TEST(VideoCapture, ARefusedIntraPictureIsTriedAgainAndShortFramesAreDropped) {
  Rig rig;
  VideoSettings s;
  applyAdvancedChoice(s, MODE_H261);
  rig.core->setSettings(s);
  ASSERT_TRUE(rig.core->start_capture());
  // Noise does not fit the coded-picture area as an intra picture.
  auto noise = cameraPicture(capture::PixelFormat::kRgb24, 0);
  std::uint32_t x = 1;
  for (auto& b : noise) b = static_cast<std::uint8_t>((x = x * 1103515245 + 12345) >> 16);
  capture::Frame f;
  f.data = noise;
  f.format = rig.live->current;
  rig.live->onFrame(f);
  EXPECT_TRUE(rig.ofType(VIDEO_H261).empty()) << "refused, never cut";
  rig.frame(1);
  auto sent = rig.ofType(VIDEO_H261);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_GT(sent[0].data.size(), 1000u) << "the next frame is intra again";
  // A frame shorter than its format says is not sent as a blank picture.
  f.data = std::span(noise).first(100);
  rig.live->onFrame(f);
  EXPECT_EQ(rig.ofType(VIDEO_H261).size(), 1u);
}

TEST(VideoCapture, RetuneSetsThePresetsPeriodOncePerStart) {
  Rig rig;
  ASSERT_TRUE(rig.core->start_capture());
  EXPECT_TRUE(rig.core->retunePending());
  rig.core->retune();
  EXPECT_EQ(rig.live->period, 250) << "Modem 28.8: 4 frames a second";
  EXPECT_FALSE(rig.core->retunePending());
  rig.live->period = 0;
  rig.core->retune();
  EXPECT_EQ(rig.live->period, 0);
}

TEST(VideoReceive, OrderCheckClosedWindowsAndBadDatagrams) {
  Rig sender, receiver;
  ASSERT_TRUE(sender.core->start_capture());
  for (int n = 0; n < 3; ++n) sender.frame(n);
  auto frames = sender.ofType(VIDEO_H263);
  // Before any VIDEO_START the window is closed: nothing is decoded, the counter still counts.
  receiver.core->on_video_datagram(VIDEO_H263, frames[0].data, 2);
  EXPECT_TRUE(receiver.hooks.painted[2].empty());
  receiver.core->on_video_datagram(VIDEO_START, {}, 2);
  EXPECT_EQ(receiver.hooks.events, std::vector<std::string>{"open 2"});
  EXPECT_EQ(receiver.ofType(VIDEO_START_ACK).size(), 1u);
  receiver.core->on_video_datagram(VIDEO_H263, frames[0].data, 2);
  receiver.core->on_video_datagram(VIDEO_H263, frames[1].data, 2);
  receiver.core->on_video_datagram(VIDEO_H263, frames[0].data, 2);  // late: dropped
  EXPECT_EQ(receiver.hooks.painted[2].size(), 2u);
  // Short payloads, senders outside 0..19, unknown types and YUV9 of the wrong size.
  std::vector<std::uint8_t> shortPayload(14, 0);
  receiver.core->on_video_datagram(VIDEO_H263, shortPayload, 2);
  receiver.core->on_video_datagram(VIDEO_H263, frames[2].data, 20);
  receiver.core->on_video_datagram(77, frames[2].data, 2);
  receiver.core->on_video_datagram(VIDEO_YUV9, encodeCodedFrame(9, std::vector<std::uint8_t>(100)),
                                   2);
  EXPECT_EQ(receiver.hooks.painted[2].size(), 2u);
  receiver.core->on_video_datagram(VIDEO_STOP, {}, 2);
  EXPECT_EQ(receiver.hooks.events.back(), "close 2");
  receiver.core->on_video_datagram(VIDEO_H263, frames[2].data, 2);
  EXPECT_EQ(receiver.hooks.painted[2].size(), 2u);
}

TEST(VideoReceive, PicturesWithoutAWindowAskTheirSenderForAStartOnceASecond) {
  Rig sender, receiver;
  ASSERT_TRUE(sender.core->start_capture());
  for (int n = 0; n < 4; ++n) sender.frame(n);
  auto frames = sender.ofType(VIDEO_H263);
  receiver.core->on_video_datagram(VIDEO_H263, frames[0].data, 3);  // the start was missed
  receiver.core->on_video_datagram(VIDEO_H263, frames[1].data, 3);
  auto hellos = receiver.ofType(VIDEO_HELLO);
  ASSERT_EQ(hellos.size(), 1u);
  EXPECT_EQ(hellos[0].destination, 3) << "to the sender only";
  receiver.clock.advance(1000);
  receiver.core->on_video_datagram(VIDEO_H263, frames[2].data, 3);
  EXPECT_EQ(receiver.ofType(VIDEO_HELLO).size(), 2u) << "again a second later";
  // The sender answers with a start of its own, which opens the window.
  sender.core->on_video_datagram(VIDEO_HELLO, {}, 1);
  EXPECT_EQ(sender.ofType(VIDEO_START).back().destination, 1);
  receiver.core->on_video_datagram(VIDEO_START, {}, 3);
  receiver.core->on_video_datagram(VIDEO_H263, frames[3].data, 3);
  EXPECT_EQ(receiver.hooks.events, std::vector<std::string>{"open 3"});
  EXPECT_EQ(receiver.ofType(VIDEO_HELLO).size(), 2u);
}

class EveryMode : public ::testing::TestWithParam<int> {};

// Pictures carried from one core to another: what the receiver paints matches the sender's
// Mirror.
TEST_P(EveryMode, TheReceiverShowsWhatTheSendersMirrorShows) {
  Rig sender, receiver;
  int choice = GetParam();
  if (choice == MODE_YUV9) sender.camera.acceptsRgb = false;
  VideoSettings s;
  applyAdvancedChoice(s, choice);
  sender.core->setSettings(s);
  ASSERT_TRUE(sender.core->start_capture());
  receiver.core->on_video_datagram(VIDEO_START, {}, 1);
  for (int n = 0; n < 12; ++n) sender.frame(n);
  for (const auto& d : sender.sent)
    if (d.type != VIDEO_START) receiver.core->on_video_datagram(d.type, d.data, 1);
  const auto& mirror = sender.hooks.painted[kMirrorSlot];
  const auto& shown = receiver.hooks.painted[1];
  ASSERT_EQ(mirror.size(), 12u);
  ASSERT_EQ(shown.size(), 12u);
  for (std::size_t i = 0; i < shown.size(); ++i)
    EXPECT_GT(psnr(mirror[i], shown[i]), choice == MODE_YUV9 ? 98 : 30) << "picture " << i;
}

INSTANTIATE_TEST_SUITE_P(Modes, EveryMode,
                         ::testing::Values(MODE_H263, MODE_H261, MODE_H261_INTRA, MODE_YUV9));

// Predicted pictures decoded without their reference painted near-black garbage: before the
// sender's first intra picture, after a damaged picture, and after a restart of the stream.
class PredictingMode : public ::testing::TestWithParam<int> {};

TEST_P(PredictingMode, PredictedPicturesWithoutAnIntraPictureLeaveTheWindowUnpainted) {
  Rig sender, receiver;
  VideoSettings s;
  applyAdvancedChoice(s, GetParam());
  sender.core->setSettings(s);
  ASSERT_TRUE(sender.core->start_capture());
  const int type = GetParam() == MODE_H263 ? VIDEO_H263 : VIDEO_H261;
  auto next = [&](int n) {
    sender.frame(n);
    return sender.ofType(type).back();
  };
  auto deliver = [&](const Sent& d) { receiver.core->on_video_datagram(d.type, d.data, 1); };
  const auto& shown = receiver.hooks.painted[1];
  receiver.core->on_video_datagram(VIDEO_START, {}, 1);
  next(0);  // the intra picture is lost
  for (int n = 1; n <= 4; ++n) deliver(next(n));
  EXPECT_TRUE(shown.empty()) << "four predicted pictures before any intra picture";
  sender.core->on_video_datagram(VIDEO_HELLO, {}, 2);  // the receiver asks again
  deliver(next(5));
  deliver(next(6));
  ASSERT_EQ(shown.size(), 2u) << "the intra picture and the one predicted from it";
  EXPECT_GT(psnr(sender.hooks.painted[kMirrorSlot].back(), shown.back()), 30);

  // A damaged picture: the window keeps its last good picture until the next intra picture.
  auto damaged = next(7);
  damaged.data.resize(17);
  deliver(damaged);
  for (int n = 8; n <= 9; ++n) deliver(next(n));
  EXPECT_EQ(shown.size(), 2u);
  sender.core->on_video_datagram(VIDEO_HELLO, {}, 2);
  deliver(next(10));
  EXPECT_EQ(shown.size(), 3u);

  // A new start of the same sender begins a new stream: its predicted pictures wait for its
  // intra picture, never predicted from the old stream's pictures.
  receiver.core->on_video_datagram(VIDEO_START, {}, 1);
  deliver(next(11));
  EXPECT_EQ(shown.size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(H263AndH261, PredictingMode, ::testing::Values(MODE_H263, MODE_H261));

TEST(VideoReceive, AMemberThatLeavesTakesItsWindowAlong) {
  Rig rig;
  rig.core->on_video_datagram(VIDEO_START, {}, 3);
  rig.core->on_member_deleted(3);
  EXPECT_EQ(rig.hooks.events, (std::vector<std::string>{"open 3", "close 3"}));
  EXPECT_FALSE(rig.core->slotOpen(3));
}

}  // namespace
}  // namespace zep::video
