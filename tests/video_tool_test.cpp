// The video tool as a program on loopback hosts: each member's window shows the sender's
// pictures (matched against the sender's own Mirror) in every mode, settings changes restart
// the stream, a camera that cannot be used is reported, predicted pictures without their
// intra picture are not shown, window work queued before shutdown does not run after it, and
// strangers are not shown.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <thread>

#include "applink/link.h"
#include "codecs/h26x.h"
#include "tests/driver/video.h"
#include "ui/recording_view.h"
#include "video/panel.h"

namespace zep::testing {
namespace {

using namespace engine;

constexpr int kMirror = 20;

// Waits until the display file of a slot holds at least n pictures.
bool waitForPictures(const VideoToolProcess& tool, int slot, std::size_t n, int timeoutMs = 15000) {
  return ::zep::testing::waitForPictures(tool.displays, slot, n, timeoutMs);
}

// The pictures of a window from index `from` on, against the sender's Mirror.
SeenPictures seenSince(const VideoToolProcess& receiver, int slot, const VideoToolProcess& sender,
                       std::size_t from) {
  auto window = readDisplay(receiver.displays, slot);
  if (window.pictures.size() > from) {
    window.pictures.erase(window.pictures.begin(), window.pictures.begin() + from);
    window.paintedMicros.erase(
        window.paintedMicros.begin(),
        window.paintedMicros.begin() + std::min(from, window.paintedMicros.size()));
  } else {
    window.pictures.clear();
  }
  return compareWithMirror(window, readDisplay(sender.displays, kMirror));
}

struct TwoHosts {
  TwoHosts() : alice("alice"), bob("bob") {
    formed = formSession({&alice, &bob});
    aliceTool = std::make_unique<VideoToolProcess>(alice.address, "alice", aliceEnvironment);
    bobTool = std::make_unique<VideoToolProcess>(bob.address, "bob");
  }
  SessionHost alice, bob;
  bool formed = false;
  std::vector<std::pair<std::string, std::string>> aliceEnvironment;
  std::unique_ptr<VideoToolProcess> aliceTool, bobTool;
};

TEST(VideoTool, EachMemberSeesTheOtherInEveryMode) {
  TwoHosts hosts;
  ASSERT_TRUE(hosts.formed);
  auto& a = *hosts.aliceTool;
  auto& b = *hosts.bobTool;
  ASSERT_TRUE(a.out.waitFor("Video Tool: Status = Ready"));
  ASSERT_TRUE(b.out.waitFor("Video Tool: Status = Ready"));
  a.command("click Capture/Start");
  b.command("click Capture/Start");
  ASSERT_TRUE(a.out.waitFor("Status = Sending video"));
  ASSERT_TRUE(b.out.waitFor("display 0 opened \"alice@"));
  ASSERT_TRUE(a.out.waitFor("display 1 opened \"bob@"));
  // H.263 (Modem 28.8): the first re-tune comes after ten seconds, at two pictures a second.
  ASSERT_TRUE(waitForPictures(b, 0, 4));
  ASSERT_TRUE(waitForPictures(a, 1, 4));
  auto h263 = seenSince(b, 0, a, 0);
  EXPECT_GT(h263.medianPsnr, 30) << "bob sees alice in H.263";
  EXPECT_GT(seenSince(a, 1, b, 0).medianPsnr, 30) << "alice sees bob";

  struct Mode {
    const char* button;
    double psnr;
  };
  for (Mode mode : {Mode{"H261", 28}, Mode{"H261 (Intra mode)", 28}}) {
    std::size_t before = readDisplay(b.displays, 0).pictures.size();
    a.command("click Tools/Advanced");
    a.command(std::string("click ") + mode.button);
    a.command("click OK");
    ASSERT_TRUE(waitForPictures(b, 0, before + 4)) << mode.button;
    auto seen = seenSince(b, 0, a, before + 1);
    EXPECT_GT(seen.medianPsnr, mode.psnr) << mode.button;
  }
  // A settings change while capturing stops and restarts the stream.
  EXPECT_TRUE(b.out.waitForCount("display 0 opened", 3));
  EXPECT_GE(b.out.count("display 0 closed"), 2);
}

TEST(VideoTool, Yuv9FromAYvu9CameraIsShownUncompressed) {
  SessionHost alice("alice"), bob("bob");
  ASSERT_TRUE(formSession({&alice, &bob}));
  VideoToolProcess a(alice.address, "alice", {{"ZEP_CAMERA_FORMAT", "yvu9"}});
  VideoToolProcess b(bob.address, "bob");
  ASSERT_TRUE(a.out.waitFor("Status = Ready"));
  a.command("click Tools/Advanced");
  a.command("click YUV9");
  a.command("click OK");
  a.command("click Capture/Start");
  ASSERT_TRUE(waitForPictures(b, 0, 4)) << "alice:\n"
                                        << a.out.text() << a.err.text() << "bob:\n"
                                        << b.out.text() << b.err.text();
  EXPECT_GT(seenSince(b, 0, a, 0).medianPsnr, 60) << "uncompressed pictures arrive unchanged";
}

TEST(VideoTool, NoCameraIsReportedAndTheToolGoesOn) {
  SessionHost alice("alice");
  alice.manager.send(LOCAL_CREATE);
  VideoToolProcess a(alice.address, "alice", {{"ZEP_CAMERA", "none"}});
  ASSERT_TRUE(a.out.waitFor("Status = Ready"));
  a.command("click Capture/Start");
  EXPECT_TRUE(
      a.out.waitFor("message box \"Video Tool\" (warning): Your machine does not support "
                    "video capturing"));
  a.command("click Tools/Statistics");
  EXPECT_TRUE(a.out.waitFor("Statistics: Frames per sec: = 0.0000"));
  a.command("click OK");

  // The Connection Panel opens on the current preset; choosing LAN makes Advanced show YUV9,
  // and the name is kept in video.cfg beside the program.
  a.command("click Tools/Connection");
  EXPECT_TRUE(a.out.waitFor("Connection Panel: Connection name = Modem 28.8"));
  a.command("select Connection = LAN");
  a.command("click OK");
  a.command("click Tools/Advanced");
  EXPECT_TRUE(a.out.waitFor("Advanced: YUV9 checked"));
  a.command("click H261 (Intra mode)");
  a.command("click OK");
  a.command("click Tools/Advanced");
  EXPECT_TRUE(a.out.waitForCount("Advanced: H261 (Intra mode) checked", 2));
  a.command("click Cancel");
  a.command("click File/Exit");
  EXPECT_TRUE(a.process().waitForExit(5000));
  std::ifstream saved(a.displays.parent_path() / "video.cfg");
  std::string name((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
  EXPECT_EQ(name, "LAN") << "the Advanced choice is not saved, the preset is";
}

// A smooth picture with a bright square that moves with n.
picture::VideoFrame420 movingPicture(int n) {
  picture::VideoFrame420 f;
  for (int r = 0; r < picture::kHeight; ++r)
    for (int c = 0; c < picture::kWidth; ++c) {
      bool square = r >= 40 && r < 80 && c >= 20 + 3 * n && c < 60 + 3 * n;
      f.y()[r * picture::kWidth + c] =
          static_cast<std::uint8_t>(square ? 220 : 40 + (r + c + n) % 120);
    }
  std::fill(f.bytes.begin() + picture::kLumaSize, f.bytes.end(), std::uint8_t{128});
  return f;
}

double lumaPsnr(const picture::VideoFrame420& a, const std::vector<std::uint8_t>& b) {
  double sum = 0;
  for (std::size_t i = 0; i < picture::kLumaSize; ++i) {
    double d = double(a.bytes[i]) - double(b[i]);
    sum += d * d;
  }
  return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * picture::kLumaSize / sum);
}

// Predicted pictures that arrived before the sender's first intra picture were decoded against
// nothing and painted near-black. The test sends as alice's video application itself, so it
// chooses which pictures bob's tool gets.
TEST(VideoTool, PredictedPicturesBeforeAnIntraPictureLeaveTheWindowUnpainted) {
  SessionHost alice("alice"), bob("bob");
  ASSERT_TRUE(formSession({&alice, &bob}));
  VideoToolProcess b(bob.address, "bob");
  ASSERT_TRUE(b.out.waitFor("Video Tool: Status = Ready"));
  applink::LinkOptions options;
  options.exit = [](int) {};
  auto link =
      applink::Link::attach(video::kVideoPort, {alice.address, alice.address, "alice"}, options);
  ASSERT_TRUE(link);
  std::vector<std::uint8_t> buffer;
  auto serviced = [&](const std::function<bool()>& done) {
    return waitUntil([&] {
      net::ReadSet set;
      link->fillReadSet(set);
      if (set.wait(20) > 0) {
        link->serviceControl(set);
        link->receiveMedia(set, buffer);
      }
      return done();
    });
  };
  ASSERT_TRUE(serviced([&] { return link->localMember() == 0 && link->present(1); }));
  link->sendMedia(-1, video::VIDEO_START, {});
  ASSERT_TRUE(b.out.waitFor("display 0 opened \"alice@"));

  std::string why;
  auto coder = picture::H26xCodec::create(picture::H26xCodec::Standard::kH263, &why);
  ASSERT_TRUE(coder) << why;
  auto code = [&](int n, bool intra) {
    auto picture = movingPicture(n);
    std::vector<std::uint8_t> coded(picture::kCodedFrameCapacity);
    coded.resize(coder->encode(picture.bytes, coded, intra).bytes);
    return coded;
  };
  std::uint8_t counter = 0;
  auto send = [&](const std::vector<std::uint8_t>& coded) {
    link->sendMedia(-1, video::VIDEO_H263, video::encodeCodedFrame(++counter, coded));
  };
  code(0, true);  // the intra picture that never arrives
  for (int n = 1; n <= 4; ++n) send(code(n, false));
  send(code(5, true));
  send(code(6, false));
  // Datagrams are shown in order: once the last one is painted, the first four were handled.
  ASSERT_TRUE(waitForPictures(b, 0, 2)) << b.err.text();
  auto shown = readDisplay(b.displays, 0);
  ASSERT_EQ(shown.pictures.size(), 2u) << "the predicted pictures before the intra one are dropped";
  EXPECT_GT(lumaPsnr(movingPicture(5), shown.pictures[0]), 30);
  EXPECT_GT(lumaPsnr(movingPicture(6), shown.pictures[1]), 30);
  link->detach();
}

// Work another thread queued for the window before shutdown ran after shutdown had released
// the link: a member window opened then asked a null link for its title.
TEST(VideoToolPanel, WindowWorkQueuedBeforeShutdownNeverRunsAfterIt) {
  const net::Ipv4 address = freshAddress();
  RemoteEngine engine(address);
  ASSERT_TRUE(engine.listening());
  clock::RealClock clock;
  video::VideoToolSettings settings;
  settings.clock = &clock;
  settings.host = {address, address, "alice"};
  settings.linkOptions.exit = [](int) {};
  settings.connectCamera = [](std::string*) { return std::unique_ptr<capture::Camera>(); };
  settings.settingsPath = (freshDirectory("videopanel") / "video.cfg").string();
  video::VideoToolPanel panel(std::move(settings));
  ui::RecordingView view;
  panel.attach(view);
  ASSERT_TRUE(panel.core() && panel.link());
  Peer channel = engine.accept();
  ASSERT_TRUE(channel.connected());
  // A member's start on the receive thread: its window is queued, and the wait for it runs out
  // (bounded) while the window thread is busy elsewhere.
  std::thread([&] { panel.openDisplay(3); }).join();
  panel.onClick("File/Exit");
  EXPECT_TRUE(view.closed);
  EXPECT_EQ(panel.link(), nullptr);
  view.drain();
  EXPECT_FALSE(view.display(3).open) << "nothing queued runs once shutdown has begun";
}

// Only a member, from its own address, opens a window or paints into it in its name: a
// stranger's start and pictures naming bob leave nothing, bob's own are shown.
TEST(VideoTool, AStrangerCannotOpenOrPaintAMembersWindow) {
  SessionHost alice("alice"), bob("bob");
  ASSERT_TRUE(formSession({&alice, &bob}));
  VideoToolProcess a(alice.address, "alice");
  ASSERT_TRUE(a.out.waitFor("Status = Ready"));
  // A start, then three uncompressed pictures of one brightness, all in bob's name (member 1).
  auto show = [&](net::Ipv4 from, std::uint8_t luma) {
    const char* step = "";
    auto socket = net::openUdp(from, 0, &step);
    net::sendTo(socket, alice.address, 34999, applink::encodeMediaDatagram(3, 1, {}));
    for (std::uint8_t counter = 1; counter <= 3; ++counter) {
      std::vector<std::uint8_t> payload(12, 0);
      payload[0] = counter;
      payload.insert(payload.end(), 176 * 144, luma);
      payload.insert(payload.end(), 2 * 44 * 36, 128);
      payload.insert(payload.end(), 3, 0);
      net::sendTo(socket, alice.address, 34999, applink::encodeMediaDatagram(10, 1, payload));
    }
  };
  show(freshAddress(), 40);  // a stranger
  show(bob.address, 200);    // bob himself, after it
  ASSERT_TRUE(a.out.waitFor("display 1 opened"));
  ASSERT_TRUE(waitForPictures(a, 1, 3));
  EXPECT_EQ(a.out.count("display 1 opened"), 1);
  for (const auto& picture : readDisplay(a.displays, 1).pictures)
    EXPECT_GT(picture[0], 150) << "a picture of the stranger's was painted";
}

}  // namespace
}  // namespace zep::testing
