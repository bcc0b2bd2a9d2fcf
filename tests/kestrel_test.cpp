// The integrated client as a program on loopback hosts: it calls and is called by other
// clients and by engine hosts, talks (its microphone found in the other's loudspeaker file)
// and chats.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <cmath>
#include <fstream>
#include <map>
#include <sstream>

#include "applink/rtp.h"
#include "kestrel/settings.h"
#include "platform/audio.h"
#include "tests/driver/directory.h"
#include "tests/driver/kestrel.h"
#include "tests/driver/video.h"

namespace zep::testing {
namespace {

using namespace engine;

// kay calls lou with Call User once both are ready.
void callWhenReady(KestrelProcess& kay, const KestrelProcess& lou) {
  ASSERT_TRUE(kay.out.waitFor("Status = Conferencing panel ready to use"));
  ASSERT_TRUE(lou.out.waitFor("Status = Conferencing panel ready to use"));
  kay.command("click Call");
  kay.command("type User = " + lou.user + "@" + dotted(lou.address));
  kay.command("click Call");
}

TEST(Kestrel, TwoClientsCallTalkAndChat) {
  KestrelProcess kay(freshAddress(), "kay", 440), lou(freshAddress(), "lou", 660);
  ASSERT_NO_FATAL_FAILURE(callWhenReady(kay, lou));
  ASSERT_TRUE(kay.out.waitFor("Participants + lou@"));
  ASSERT_TRUE(lou.out.waitFor("Participants + kay@")) << "auto accept is on by default";
  ASSERT_TRUE(lou.out.waitFor("Talk enabled")) << "audio starts with the second member";
  EXPECT_FALSE(lou.out.contains("Accept enabled")) << "accepted at once: nothing to answer";

  kay.command("click Tools/Text Chat");
  kay.command("type Message = hello lou");
  kay.command("click Send");
  kay.command("click Close");
  EXPECT_TRUE(LogFile(lou.dir / "chat.log").waitFor("kay: hello lou\r\n"));

  clock::sleepMs(3000);
  lou.command("click View/Statistics");
  EXPECT_TRUE(lou.out.waitFor("Statistics: Participants + kay@"));
  EXPECT_TRUE(lou.out.waitFor("Statistics: Audio Lost: =      0 (  0%)"));
  lou.command("click Close");
  kay.command("click File/Exit");
  lou.command("click File/Exit");
  ASSERT_TRUE(kay.process_.waitForExit(8000));
  ASSERT_TRUE(lou.process_.waitForExit(8000));
  auto atLou = lou.heard();
  EXPECT_GT(sound::toneEnergy(atLou, 440), 100 * std::max(1.0, sound::toneEnergy(atLou, 660)))
      << "lou heard kay";
  auto atKay = kay.heard();
  EXPECT_GT(sound::toneEnergy(atKay, 660), 100 * std::max(1.0, sound::toneEnergy(atKay, 440)))
      << "kay heard lou";
  EXPECT_TRUE(LogFile(lou.dir / "userdata.log").contains("AUDIO RECEIVE REPORT\nUser 0, packets"));
  EXPECT_EQ(std::filesystem::file_size(kay.dir / "Kestrel.cfg"), 204u);
}

TEST(Kestrel, AnEngineHostInvitesTheClientAndBothSeeTheMembers) {
  SessionHost bob("bob");
  KestrelProcess kay(freshAddress(), "kay", 440);
  ASSERT_TRUE(kay.out.waitFor("Status = Conferencing panel ready to use"));
  bob.manager.send(LOCAL_CREATE);
  bob.manager.send(LOCAL_ADD_MEMBER, encodeMemberRecord(recordOf("kay", kay.address)));
  ASSERT_TRUE(bob.manager.waitFor(CTL_ACCEPTED));
  ASSERT_TRUE(waitForMemberCount(bob.manager, 2));
  EXPECT_EQ(membersOf(bob.manager)[1], recordOf("kay", kay.address, 1));
  EXPECT_TRUE(kay.out.waitFor("Participants + bob@"));
  EXPECT_TRUE(kay.out.waitFor("Participants + kay@"));
}

// An engine host's audio tool and an integrated client in one session: each plays what the
// other sends, though their media headers differ.
TEST(Kestrel, AClientAndAnAudioToolInOneSessionHearEachOther) {
  SessionHost bob("bob");
  KestrelProcess kay(freshAddress(), "kay", 440);
  ASSERT_TRUE(kay.out.waitFor("Status = Conferencing panel ready to use"));
  auto dir = freshDirectory("mixed");
  std::vector<std::int16_t> tone(8000 * 6);
  for (std::size_t i = 0; i < tone.size(); ++i)
    tone[i] = static_cast<std::int16_t>(10000 * std::sin(2 * M_PI * 660 * double(i) / 8000));
  std::string error;
  ASSERT_TRUE(sound::writeSoundFile((dir / "bob-mic.wav").string(), tone, &error));
  process::StartOptions o;
  o.stdoutPath = dir / "audio.txt";
  o.stderrPath = dir / "audio-err.txt";
  o.pipeStdin = true;
  o.args = {"--headless"};
  o.environment = {{"ZEP_HOST", dotted(bob.address)},
                   {"ZEP_AUDIO_IN", "file:" + (dir / "bob-mic.wav").string()},
                   {"ZEP_AUDIO_OUT", "file:" + (dir / "bob-speaker.wav").string()}};
  auto tool = process::start((installTree() / "zepaudio").string(), o, &error);
  ASSERT_TRUE(LogFile(dir / "audio.txt").waitFor("Audio Tool: opened"));
  bob.manager.send(LOCAL_CREATE);
  bob.manager.send(LOCAL_ADD_MEMBER, encodeMemberRecord(recordOf("kay", kay.address)));
  ASSERT_TRUE(bob.manager.waitFor(CTL_ACCEPTED));
  ASSERT_TRUE(kay.out.waitFor("Talk enabled"));
  clock::sleepMs(3000);
  tool.writeLine("click Control/Exit");
  tool.waitForExit(5000);
  tool.terminate();
  kay.command("click File/Exit");
  ASSERT_TRUE(kay.process_.waitForExit(8000));
  std::vector<std::int16_t> atBob;
  ASSERT_TRUE(sound::readSoundFile((dir / "bob-speaker.wav").string(), &atBob, &error)) << error;
  EXPECT_GT(sound::toneEnergy(atBob, 440), 100 * std::max(1.0, sound::toneEnergy(atBob, 660)))
      << "the audio tool played the client's packets";
  auto atKay = kay.heard();
  EXPECT_GT(sound::toneEnergy(atKay, 660), 100 * std::max(1.0, sound::toneEnergy(atKay, 440)))
      << "the client played the audio tool's blocks";
}

// Waits until the display file of a slot holds at least n pictures.
// Two clients in a session switch their pictures on: each member window opens with the
// sender's name, shows the sender's Mirror pictures and its rates, the Statistics count the
// pictures, and switching off closes the other's window.
TEST(Kestrel, TwoClientsSeeEachOtherWithTheirRatesAndStatistics) {
  KestrelProcess kay(freshAddress(), "kay", 440), lou(freshAddress(), "lou", 660);
  ASSERT_NO_FATAL_FAILURE(callWhenReady(kay, lou));
  ASSERT_TRUE(lou.out.waitFor("Talk enabled"));
  ASSERT_TRUE(kay.out.waitFor("Talk enabled"));
  kay.command("click Video");
  lou.command("click Video");
  EXPECT_TRUE(kay.out.waitFor("display 20 opened \"Mirror\""));
  EXPECT_TRUE(kay.out.waitFor("display 20 text \"Audio On\"")) << "audio runs already";
  ASSERT_TRUE(lou.out.waitFor("display 0 opened \"kay@")) << lou.out.text();
  ASSERT_TRUE(kay.out.waitFor("display 1 opened \"lou@")) << kay.out.text();
  ASSERT_TRUE(waitForPictures(lou.displays, 0, 15));
  ASSERT_TRUE(waitForPictures(kay.displays, 1, 15));
  auto kaySeen = compareWithMirror(readDisplay(lou.displays, 0), readDisplay(kay.displays, 20));
  EXPECT_GT(kaySeen.medianPsnr, 30) << "lou sees kay";
  auto louSeen = compareWithMirror(readDisplay(kay.displays, 1), readDisplay(lou.displays, 20));
  EXPECT_GT(louSeen.medianPsnr, 30) << "kay sees lou";
  // Five pictures a second by default ("Modem 28.8" stores 5): the pacing keeps to the rate.
  EXPECT_GT(kaySeen.framesPerSecond, 3.5);
  EXPECT_LT(kaySeen.framesPerSecond, 6.5);
  EXPECT_TRUE(lou.out.waitFor(" fps  ")) << "the member window shows its rates";
  EXPECT_TRUE(lou.out.waitFor(" kbps"));

  lou.command("click View/Statistics");
  ASSERT_TRUE(lou.out.waitFor("Statistics: Participants + kay@"));
  EXPECT_TRUE(waitUntil(
      [&] {
        auto text = lou.out.text();
        auto at = text.rfind("Statistics: Video Frames/sec: = ");
        return at != std::string::npos && text.compare(at + 32, 7, "0.0 fps") != 0;
      },
      10000))
      << "the video counters reach the Statistics window";
  lou.command("click Close");

  // While kay's Options are open her pictures pause: lou's window of her closes and opens
  // again when they close.
  kay.command("click Edit/Options");
  ASSERT_TRUE(kay.out.waitFor("Options: opened"));
  EXPECT_TRUE(lou.out.waitFor("display 0 closed"));
  kay.command("click Cancel");
  EXPECT_TRUE(lou.out.waitForCount("display 0 opened \"kay@", 2)) << lou.out.text();
  EXPECT_TRUE(kay.out.waitFor("Options: closed"));
  EXPECT_EQ(kay.out.count("Video unchecked"), 1) << "the button stays checked";

  kay.command("click Video");
  EXPECT_TRUE(lou.out.waitForCount("display 0 closed", 2))
      << "switching off closes kay's window at lou";
  EXPECT_TRUE(kay.out.waitFor("display 20 closed"));

  // Reset session ends lou's video object while it sends: kay's window of lou closes, and lou
  // starts again with a new object and the button off.
  const int unchecked = lou.out.count("Video unchecked");
  lou.command("click File/Reset session");
  EXPECT_TRUE(kay.out.waitFor("display 1 closed")) << kay.out.text();
  EXPECT_TRUE(lou.out.waitFor("display 20 closed"));
  EXPECT_TRUE(lou.out.waitForCount("Video unchecked", unchecked + 1));
  EXPECT_TRUE(lou.out.waitFor("Participants cleared"));
}

// The camera's current format is taken or refused as it stands: too small a picture and a
// capture device the settings name that is not there are refused with their messages and the
// program goes on; a larger picture is cropped.
TEST(Kestrel, CamerasThatCannotBeUsedAreRefusedAndALargerPictureIsCropped) {
  auto startAs = [](const std::string& user) {
    KestrelStart s;
    s.address = freshAddress();
    s.user = user;
    return s;
  };
  KestrelStart small = startAs("kim"), gone = startAs("kit"), large = startAs("kip");
  small.environment = {{"ZEP_CAMERA_SIZE", "160x120"}};
  gone.settings = [](kestrel::KestrelSettings& s) { s.captureDevice = 9; };
  large.environment = {{"ZEP_CAMERA_SIZE", "320x240"}};
  KestrelProcess kim(small), kit(gone), kip(large);
  EXPECT_TRUE(
      kim.out.waitFor("message box \"Error\" (warning): Unsupported video format(wrong "
                      "picture size).\\nPlease, change picture size to at least 176 x 144"))
      << kim.out.text();
  for (auto* k : {&kim, &kit}) {
    EXPECT_TRUE(k->out.waitFor("(warning): Your machine does not support video capturing"))
        << k->out.text();
    k->command("click Video");
    EXPECT_TRUE(k->out.waitFor("Video unchecked")) << "nothing to send";
    EXPECT_TRUE(k->process_.running());
  }
  ASSERT_TRUE(kip.out.waitFor("Status = Conferencing panel ready to use"));
  kip.command("click Video");
  ASSERT_TRUE(waitForPictures(kip.displays, 20, 3)) << kip.out.text();
  EXPECT_FALSE(kip.out.contains("Kestrel Videoconferencing: message box")) << kip.out.text();
}

// An engine host's video tool and an integrated client in one session: each shows the other's
// pictures, though their media headers differ.
TEST(Kestrel, AClientAndAVideoToolInOneSessionSeeEachOther) {
  SessionHost bob("bob");
  KestrelProcess kay(freshAddress(), "kay", 440);
  ASSERT_TRUE(kay.out.waitFor("Status = Conferencing panel ready to use"));
  VideoToolProcess tool(bob.address, "bob");
  ASSERT_TRUE(tool.out.waitFor("Video Tool: Status = Ready"));
  bob.manager.send(LOCAL_CREATE);
  bob.manager.send(LOCAL_ADD_MEMBER, encodeMemberRecord(recordOf("kay", kay.address)));
  ASSERT_TRUE(bob.manager.waitFor(CTL_ACCEPTED));
  ASSERT_TRUE(kay.out.waitFor("Talk enabled"));
  kay.command("click Video");
  tool.command("click Capture/Start");
  ASSERT_TRUE(tool.out.waitFor("display 1 opened \"kay@")) << tool.out.text();
  ASSERT_TRUE(kay.out.waitFor("display 0 opened \"bob@")) << kay.out.text();
  ASSERT_TRUE(waitForPictures(tool.displays, 1, 10));
  ASSERT_TRUE(waitForPictures(kay.displays, 0, 4));
  EXPECT_GT(
      compareWithMirror(readDisplay(tool.displays, 1), readDisplay(kay.displays, 20)).medianPsnr,
      30)
      << "the video tool shows the client";
  EXPECT_GT(
      compareWithMirror(readDisplay(kay.displays, 0), readDisplay(tool.displays, 20)).medianPsnr,
      30)
      << "the client shows the video tool";
}

// Strangers on the video port: a datagram that speaks for a member from another address is
// dropped, and a flood of starts and stops from a member's own address keeps at most one
// window notification waiting, so the window answers at once and ends in the last state.
TEST(Kestrel, NoStrangerSpeaksForAMemberAndAFloodOfStartsCostsTheWindowNothing) {
  KestrelProcess kay(freshAddress(), "kay", 440), lou(freshAddress(), "lou", 660);
  ASSERT_NO_FATAL_FAILURE(callWhenReady(kay, lou));
  ASSERT_TRUE(lou.out.waitFor("Talk enabled"));
  auto datagram = [](int type) {
    applink::RtpHeader h;
    h.payloadType = static_cast<std::uint8_t>(type);
    h.source = 0;  // kay's number
    return applink::encodeRtpDatagram(h, {});
  };
  const char* step = nullptr;
  net::Socket stranger = net::openUdp(freshAddress(), 0, &step);
  ASSERT_TRUE(stranger.valid());
  for (int i = 0; i < 20; ++i) net::sendTo(stranger, lou.address, 34999, datagram(3));
  clock::sleepMs(500);
  EXPECT_FALSE(lou.out.contains("display 0 opened")) << "a start from another address";

  // From kay's own address (another port): thousands of starts and stops.
  net::Socket fromKay = net::openUdp(kay.address, 0, &step);
  ASSERT_TRUE(fromKay.valid());
  for (int i = 0; i < 5000; ++i) net::sendTo(fromKay, lou.address, 34999, datagram(i % 2 ? 5 : 3));
  // The flood may overrun the socket's buffer; the last word, a start, is said after it.
  clock::sleepMs(300);
  for (int i = 0; i < 3; ++i) {
    net::sendTo(fromKay, lou.address, 34999, datagram(3));
    clock::sleepMs(50);
  }
  const int before = lou.out.count("Statistics: opened");
  auto asked = std::chrono::steady_clock::now();
  lou.command("click View/Statistics");
  ASSERT_TRUE(lou.out.waitFor("Statistics: shown", 3000));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(2));
  EXPECT_EQ(lou.out.count("Statistics: opened"), before);
  EXPECT_TRUE(waitUntil([&] {
    auto text = lou.out.text();
    return text.rfind("display 0 opened") != std::string::npos &&
           text.rfind("display 0 opened") > (text.rfind("display 0 closed") + 1);
  })) << "the last news was a start: the window is open";
  EXPECT_LT(lou.out.count("display 0 opened"), 2500) << "not one window per start";
}

// The switch boxes exclude each other on a full-duplex device (Manual, then Auto, left both
// checked), and a new camera chosen in the Options restarts capture only: the window of the
// member being watched stays open and its pictures go on.
TEST(Kestrel, ManualThenAutoLeavesOnlyAutoCheckedAndANewCameraKeepsTheMembersWindows) {
  KestrelProcess kay(freshAddress(), "kay", 440), lou(freshAddress(), "lou", 660);
  ASSERT_NO_FATAL_FAILURE(callWhenReady(kay, lou));
  ASSERT_TRUE(kay.out.waitFor("Talk enabled"));
  ASSERT_TRUE(lou.out.waitFor("Talk enabled"));
  kay.command("click Manual switch");
  ASSERT_TRUE(kay.out.waitFor("Manual switch checked"));
  kay.command("click Auto switch");
  ASSERT_TRUE(kay.out.waitFor("Auto switch checked"));
  EXPECT_TRUE(waitUntil([&] {
    auto text = kay.out.text();
    auto unchecked = text.rfind("Manual switch unchecked");
    return unchecked != std::string::npos && unchecked > text.rfind("Manual switch checked");
  })) << kay.out.text();

  lou.command("click Video");
  ASSERT_TRUE(kay.out.waitFor("display 1 opened \"lou@")) << kay.out.text();
  ASSERT_TRUE(waitForPictures(kay.displays, 1, 5));
  kay.command("click Edit/Options");
  ASSERT_TRUE(kay.out.waitFor("Options: opened"));
  kay.command("select Video Capture Device: = Test pattern");
  kay.command("click OK");
  ASSERT_TRUE(kay.out.waitFor("Options: closed"));
  const std::size_t seen = readDisplay(kay.displays, 1).pictures.size();
  EXPECT_TRUE(waitForPictures(kay.displays, 1, seen + 5)) << "lou's pictures go on";
  EXPECT_FALSE(kay.out.contains("display 1 closed")) << kay.out.text();
}

// Auto accept cleared with Apply holds the next invitation at once, though the Options are
// still open: the engine's thread reads the flag the window publishes, not the record the
// dialog writes.
TEST(Kestrel, AutoAcceptClearedWithApplyHoldsTheNextInvitationWhileTheOptionsAreOpen) {
  KestrelProcess kay(freshAddress(), "kay", 440), lou(freshAddress(), "lou", 660);
  ASSERT_TRUE(kay.out.waitFor("Status = Conferencing panel ready to use"));
  kay.command("click Edit/Options");
  ASSERT_TRUE(kay.out.waitFor("Options: opened"));
  kay.command("click Auto accept");
  kay.command("click Apply");
  ASSERT_TRUE(kay.out.waitFor("Options: Auto accept unchecked"));
  ASSERT_NO_FATAL_FAILURE(callWhenReady(lou, kay));
  EXPECT_TRUE(kay.out.waitFor("Status = INVITATION from lou@")) << kay.out.text();
  EXPECT_TRUE(kay.out.waitFor("Accept enabled")) << "the invitation waits for an answer";
  EXPECT_FALSE(lou.out.contains("Participants + kay@"));
  kay.command("click Cancel");
  ASSERT_TRUE(kay.out.waitFor("Options: closed"));
  kay.command("click Accept");
  EXPECT_TRUE(lou.out.waitFor("Participants + kay@"));
}

// Audio and video datagrams of one client take their sequence numbers from one counter of the
// program: an independent member receiving both never sees a number twice.
TEST(Kestrel, AudioAndVideoDatagramsTakeTheirNumbersFromOneCounter) {
  SessionHost bob("bob");
  const char* step = nullptr;
  net::Socket audio = net::openUdp(bob.address, 12567, &step);
  net::Socket video = net::openUdp(bob.address, 34999, &step);
  ASSERT_TRUE(audio.valid() && video.valid()) << step;
  KestrelProcess kay(freshAddress(), "kay", 440);
  ASSERT_TRUE(kay.out.waitFor("Status = Conferencing panel ready to use"));
  bob.manager.send(LOCAL_CREATE);
  bob.manager.send(LOCAL_ADD_MEMBER, encodeMemberRecord(recordOf("kay", kay.address)));
  ASSERT_TRUE(bob.manager.waitFor(CTL_ACCEPTED));
  std::map<std::uint16_t, int> numbers;  // sequence number: how often
  int fromAudio = 0, fromVideo = 0;
  std::vector<std::uint8_t> buffer(70000);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < until) {
    pollfd p[2] = {{audio.fd(), POLLIN, 0}, {video.fd(), POLLIN, 0}};
    if (::poll(p, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (!(p[i].revents & POLLIN)) continue;
      long n = net::receiveFrom(i == 0 ? audio : video, buffer);
      auto d = applink::decodeRtpDatagram(std::span(buffer).first(n > 0 ? std::size_t(n) : 0));
      if (!d) continue;
      numbers[d->header.sequence]++;
      (i == 0 ? fromAudio : fromVideo)++;
    }
  }
  ASSERT_GT(fromAudio, 0);
  ASSERT_GT(fromVideo, 0) << "the hello when audio starts";
  for (auto [number, times] : numbers) EXPECT_EQ(times, 1) << "sequence number " << number;
}

TEST(Kestrel, ASecondClientOnTheAddressOfAnEngineEndsWithCodeZero) {
  auto address = freshAddress();
  EngineProcess daemon(address);
  ASSERT_TRUE(daemon.waitReady());
  KestrelProcess kay(address, "kay", 440);
  ASSERT_TRUE(kay.process_.waitForExit(5000));
  EXPECT_EQ(kay.process_.exitCode(), 0);
}

TEST(Kestrel, AFirstStartAsksForTheNameAndEmailUntilBothAreGiven) {
  KestrelProcess kim(freshAddress(), "kim", 440, "", true);
  ASSERT_TRUE(kim.out.waitFor("Kestrel Personal Information Form: opened"));
  EXPECT_FALSE(kim.out.contains("Conferencing panel ready")) << "the form comes first";
  kim.command("type Your name: = kim");
  kim.command("click OK");
  EXPECT_TRUE(kim.out.waitFor("You must fill all the fields"));
  kim.command("type Email address: = kim@example.org");
  kim.command("click OK");
  EXPECT_TRUE(kim.out.waitFor("Kestrel Personal Information Form: closed"));
  EXPECT_TRUE(kim.out.waitFor("Status = Conferencing panel ready to use"));
  kim.command("click File/Exit");
  ASSERT_TRUE(kim.process_.waitForExit(8000));
  auto s = kestrel::readSettingsFile((kim.dir / "Kestrel.cfg").string());
  EXPECT_EQ(s.name, "kim");
  EXPECT_EQ(s.email, "kim@example.org");
}

// Three clients meet in the directory: dave makes a Protected conference, erin and then fay
// enter it with the password, and the directory's notifications make their session: each
// hears of the others, a chat line reaches every one, and leaving the conference resets the
// leaver's session and takes it off the others' lists.
TEST(Kestrel, AConferenceMadeInTheDirectoryBecomesASession) {
  DirServerProcess server(freshAddress());
  ASSERT_TRUE(server.waitReady());
  KestrelProcess dave(freshAddress(), "dave", 440, dotted(server.address)),
      erin(freshAddress(), "erin", 660, dotted(server.address)),
      fay(freshAddress(), "fay", 880, dotted(server.address));
  for (auto* k : {&dave, &erin, &fay}) {
    ASSERT_TRUE(k->out.waitFor("Status = Conferencing panel ready to use"));
    ASSERT_TRUE(k->out.waitFor("Directory Server: opened"));
  }
  ASSERT_TRUE(dave.out.waitFor("User list + fay | fay@example.org"));
  createProtectedConference(dave, "Design review", "kestrel");
  for (auto* k : {&erin, &fay}) {
    ASSERT_TRUE(askToJoin(*k, "Design review")) << k->out.text();
    k->command("type Password = kestrel");
    k->command("click OK");
    EXPECT_TRUE(k->out.waitFor("Kestrel Videoconferencing: Participants + dave@")) << k->out.text();
    EXPECT_TRUE(k->out.waitFor("Talk enabled")) << "audio starts with the second member";
  }
  EXPECT_TRUE(dave.out.waitFor("Kestrel Videoconferencing: Participants + fay@"));
  EXPECT_TRUE(erin.out.waitFor("Kestrel Videoconferencing: Participants + fay@"));
  EXPECT_TRUE(fay.out.waitFor("Kestrel Videoconferencing: Participants + erin@"));

  // The members that came later connected to those there before them: chat reaches everyone.
  fay.command("close");
  fay.command("click Tools/Text Chat");
  fay.command("type Message = hello from fay");
  fay.command("click Send");
  fay.command("click Close");
  EXPECT_TRUE(LogFile(dave.dir / "chat.log").waitFor("fay: hello from fay")) << dave.out.text();
  EXPECT_TRUE(LogFile(erin.dir / "chat.log").waitFor("fay: hello from fay")) << erin.out.text();
  dave.command("close");
  dave.command("click Tools/Text Chat");
  dave.command("type Message = hello from dave");
  dave.command("click Send");
  EXPECT_TRUE(LogFile(fay.dir / "chat.log").waitFor("dave: hello from dave"));

  // Leaving the conference in the directory resets erin's session; the others lose her.
  erin.command("click Leave");
  EXPECT_TRUE(erin.out.waitFor("Kestrel Videoconferencing: Participants cleared"))
      << erin.out.text();
  EXPECT_TRUE(fay.out.waitFor("Kestrel Videoconferencing: Participants - erin@"));
  EXPECT_TRUE(dave.out.waitFor("Kestrel Videoconferencing: Participants - erin@"));
}

}  // namespace
}  // namespace zep::testing
