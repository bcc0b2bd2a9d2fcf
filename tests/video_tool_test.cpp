// The video tool as a program on loopback hosts: each member's window shows the sender's
// pictures (matched against the sender's own Mirror) in every mode, settings changes restart
// the stream, a camera that cannot be used is reported, and strangers are not shown.
#include <gtest/gtest.h>

#include <fstream>

#include "applink/link.h"
#include "tests/driver/video.h"

namespace zep::testing {
namespace {

using namespace engine;

constexpr int kMirror = 20;

// Waits until the display file of a slot holds at least n pictures.
bool waitForPictures(const VideoToolProcess& tool, int slot, std::size_t n, int timeoutMs = 15000) {
  return waitUntil([&] { return readDisplay(tool.displays, slot).pictures.size() >= n; },
                   timeoutMs);
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
