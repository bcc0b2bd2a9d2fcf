// The integrated client as a program on loopback hosts: it calls and is called by other
// clients and by engine hosts, talks (its microphone found in the other's loudspeaker file)
// and chats.
#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "kestrel/settings.h"
#include "platform/audio.h"
#include "tests/driver/directory.h"
#include "tests/driver/driver.h"

namespace zep::testing {
namespace {

using namespace engine;

// A headless kestrel on its own loopback host, in a folder of its own (Kestrel.cfg, logs),
// its microphone a tone and its loudspeaker a WAV file.
struct KestrelProcess {
  // Kestrel.cfg holds the user's name and e-mail address, and directoryServer when given;
  // none at all for a first start.
  KestrelProcess(net::Ipv4 at, const std::string& user, double hz,
                 const std::string& directoryServer = "", bool firstStart = false)
      : address(at), dir(freshDirectory("kestrel-" + user)) {
    ::signal(SIGPIPE, SIG_IGN);
    // Name and e-mail address filled in, so no personal information form is shown.
    kestrel::KestrelSettings s;
    if (!directoryServer.empty()) s.directoryServer = directoryServer;
    s.name = user;
    s.email = user + "@example.org";
    if (!firstStart) kestrel::writeSettingsFile((dir / "Kestrel.cfg").string(), s);
    std::vector<std::int16_t> tone(8000 * 6);
    for (std::size_t i = 0; i < tone.size(); ++i)
      tone[i] = static_cast<std::int16_t>(10000 * std::sin(2 * M_PI * hz * double(i) / 8000));
    std::string error;
    sound::writeSoundFile((dir / "mic.wav").string(), tone, &error);
    out = LogFile(dir / "stdout.txt");
    process::StartOptions start;
    start.stdoutPath = out.path();
    start.stderrPath = (dir / "stderr.txt").string();
    start.pipeStdin = true;
    start.args = {"--headless"};
    start.argv0 = (dir / "kestrel").string();  // Kestrel.cfg beside it
    start.workingDirectory = dir;
    start.environment = {{"ZEP_HOST", dotted(at)},
                         {"ZEP_USER", user},
                         {"ZEP_AUDIO_IN", "file:" + (dir / "mic.wav").string()},
                         {"ZEP_AUDIO_OUT", "file:" + (dir / "speaker.wav").string()}};
    std::string why;
    process_ = process::start((installTree() / "kestrel").string(), start, &why);
  }
  ~KestrelProcess() {
    if (process_.running()) {
      command("click File/Exit");
      process_.waitForExit(5000);
    }
    process_.terminate(1000);
  }
  bool command(const std::string& line) { return process_.writeLine(line); }
  std::vector<std::int16_t> heard() {
    std::vector<std::int16_t> s;
    std::string error;
    sound::readSoundFile((dir / "speaker.wav").string(), &s, &error);
    return s;
  }
  net::Ipv4 address;
  std::filesystem::path dir;
  LogFile out;
  process::Process process_;
};

TEST(Kestrel, TwoClientsCallTalkAndChat) {
  KestrelProcess kay(freshAddress(), "kay", 440), lou(freshAddress(), "lou", 660);
  ASSERT_TRUE(kay.out.waitFor("Status = Conferencing panel ready to use"));
  ASSERT_TRUE(lou.out.waitFor("Status = Conferencing panel ready to use"));
  kay.command("click Call");
  kay.command("type User = lou@" + dotted(lou.address));
  kay.command("click Call");
  ASSERT_TRUE(kay.out.waitFor("Participants + lou@"));
  ASSERT_TRUE(lou.out.waitFor("Participants + kay@")) << "auto accept is on by default";
  ASSERT_TRUE(lou.out.waitFor("Talk enabled")) << "audio starts with the second member";

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

// Two clients meet in the directory: dave makes a Protected conference, erin enters it with the
// password, and the directory's notifications make their session; leaving it resets it.
TEST(Kestrel, AConferenceMadeInTheDirectoryBecomesASession) {
  DirServerProcess server(freshAddress());
  ASSERT_TRUE(server.waitReady());
  KestrelProcess dave(freshAddress(), "dave", 440, dotted(server.address)),
      erin(freshAddress(), "erin", 660, dotted(server.address));
  for (auto* k : {&dave, &erin}) {
    ASSERT_TRUE(k->out.waitFor("Status = Conferencing panel ready to use"));
    ASSERT_TRUE(k->out.waitFor("Directory Server: opened"));
  }
  ASSERT_TRUE(dave.out.waitFor("User list + erin | erin@example.org"));
  for (const char* line :
       {"click Directory/Conferences...", "click New", "type Topic = Design review",
        "click Protected", "type Password = kestrel", "type Confirm Password = kestrel", "click OK",
        "click OK"})
    dave.command(line);
  erin.command("click Directory/Conferences...");
  ASSERT_TRUE(erin.out.waitFor("Conference list + Design review")) << erin.out.text();
  erin.command("select Conference list = Design review");
  erin.command("click Join");
  ASSERT_TRUE(erin.out.waitFor("Protected Conference: opened"));
  erin.command("type Password = kestrel");
  erin.command("click OK");
  EXPECT_TRUE(erin.out.waitFor("Kestrel Videoconferencing: Participants + dave@"))
      << erin.out.text();
  EXPECT_TRUE(dave.out.waitFor("Kestrel Videoconferencing: Participants + erin@"))
      << dave.out.text();
  EXPECT_TRUE(erin.out.waitFor("Talk enabled")) << "audio starts with the second member";

  // Leaving the conference in the directory resets erin's session.
  erin.command("click Leave");
  EXPECT_TRUE(erin.out.waitFor("Kestrel Videoconferencing: Participants cleared"))
      << erin.out.text();
}

}  // namespace
}  // namespace zep::testing
