// Programs killed in the middle of a session, as real processes on loopback hosts: what the
// others keep, that they go on, and that nothing already recorded is lost.
#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <cstdio>
#include <fstream>

#include "archive/recording.h"
#include "platform/audio.h"
#include "platform/clock.h"
#include "tests/driver/calls.h"
#include "tests/driver/directory.h"
#include "tests/driver/driver.h"
#include "tests/driver/stream.h"
#include "tests/driver/video.h"

namespace zep::testing {
namespace {

using namespace engine;

std::vector<std::int16_t> readSound(const std::filesystem::path& path) {
  std::vector<std::int16_t> samples;
  std::string error;
  sound::readSoundFile(path.string(), &samples, &error);
  return samples;
}

std::vector<std::int16_t> slice(const std::vector<std::int16_t>& s, double fromMs, double toMs) {
  auto at = [&](double ms) {
    return static_cast<long>(std::clamp(ms * 8, 0.0, static_cast<double>(s.size())));
  };
  return {s.begin() + at(fromMs), s.begin() + at(toMs)};
}

double nowMs() {
  clock::RealClock wall;
  return static_cast<double>(wall.nowMicros()) / 1000;
}

TEST(KilledEngine, TheOthersDropItTalkOnAndItsHostRejoinsWhenInvitedAgain) {
  std::vector<std::unique_ptr<SessionHost>> hosts;
  std::vector<SessionHost*> members;
  for (const char* user : {"alice", "bob", "carol", "dave", "erin"}) {
    hosts.push_back(std::make_unique<SessionHost>(user));
    members.push_back(hosts.back().get());
  }
  ASSERT_TRUE(formSession(members));
  auto dir = freshDirectory("killed-engine");
  std::string error;
  ASSERT_TRUE(sound::writeSoundFile((dir / "a-mic.wav").string(), tone(440, 30), &error));
  ASSERT_TRUE(sound::writeSoundFile((dir / "b-mic.wav").string(), tone(1000, 30), &error));
  double killedAt = 0, heardStart = -1;
  {
    AudioToolOptions traced(dir / "a-mic.wav", dir / "a-speaker.wav");
    traced.environment = {{"ZEP_TRACE", "1"}};
    AudioToolProcess a(hosts[0]->address, traced);
    AudioToolProcess b(hosts[1]->address, {dir / "b-mic.wav", dir / "b-speaker.wav"});
    ASSERT_TRUE(a.out.waitFor("Audio Tool: opened"));
    ASSERT_TRUE(b.out.waitFor("Audio Tool: opened"));
    clock::sleepMs(1500);
    ::kill(hosts[4]->engine->process().pid(), SIGKILL);
    killedAt = nowMs();
    for (int i = 0; i < 4; ++i)
      EXPECT_TRUE(waitForMemberCount(hosts[i]->manager, 4)) << hosts[i]->user << " dropped erin";
    clock::sleepMs(2500);
    heardStart = soundTimelineStart(a.err.text(), "output") / 1000;
  }
  auto heard = readSound(dir / "a-speaker.wav");
  ASSERT_GT(heardStart, 0) << "the loudspeaker file traced its start";
  auto after = slice(heard, killedAt - heardStart + 500, killedAt - heardStart + 2500);
  EXPECT_GT(sound::toneEnergy(after, 1000), 1e5) << "alice still hears bob after erin's crash";

  // erin's engine starts again on the same address and alice invites her back.
  auto& erin = *hosts[4];
  EngineOptions options;
  options.user = erin.user;
  erin.engine = std::make_unique<EngineProcess>(erin.address, options);
  ASSERT_TRUE(erin.engine->waitReady());
  erin.manager = Peer::manager(erin.address);
  ASSERT_TRUE(inviteAndAccept(*hosts[0], erin));
  for (auto* h : members) EXPECT_TRUE(waitForMemberCount(h->manager, 5)) << h->user;
}

TEST(KilledManager, ItsEngineEndsTheSessionSurvivesAndServesTheNextManager) {
  ManagerProcess alice(freshAddress(), "alice");
  auto bobAddress = freshAddress();
  auto bob = std::make_unique<ManagerProcess>(bobAddress, "bob");
  for (auto* m : {&alice, bob.get()})
    ASSERT_TRUE(m->out.waitFor("Status = Conferencing panel ready to use", 10000));
  auto invite = [&](ManagerProcess& invitee, int round) {
    alice.command("click Add");
    alice.command("type User = bob@" + dotted(bobAddress));
    alice.command("click Add ->");
    alice.command("click OK");
    EXPECT_TRUE(invitee.out.waitFor("Status = RECEIVED INVITATION from alice@", 10000));
    invitee.command("click Accept");
    EXPECT_TRUE(alice.out.waitForCount("Members + bob@", round, 10000));
  };
  invite(*bob, 1);
  auto engines = processesOn(bobAddress, "KSengine");
  ASSERT_EQ(engines.size(), 1u);

  ::kill(bob->process().pid(), SIGKILL);
  // The engine closes every connection when its manager goes, so alice sees bob leave; the
  // engine itself lives on.
  EXPECT_TRUE(alice.out.waitFor("Members - bob@", 10000));
  EXPECT_EQ(processesOn(bobAddress, "KSengine"), engines);

  ManagerProcess again(bobAddress, "bob");
  ASSERT_TRUE(again.out.waitFor("Status = Conferencing panel ready to use", 10000));
  EXPECT_EQ(processesOn(bobAddress, "KSengine"), engines) << "the old engine serves the new one";
  invite(again, 2);
  EXPECT_TRUE(again.out.waitFor("Members + alice@", 10000));
}

TEST(KilledAudioTool, ItsVoiceStopsAtOnceAndTheNextSpeakerGetsTheRing) {
  SessionHost a("alice"), b("bob"), c("carol");
  ASSERT_TRUE(formSession({&a, &b, &c}));
  auto dir = freshDirectory("killed-tool");
  std::string error;
  ASSERT_TRUE(sound::writeSoundFile((dir / "a-mic.wav").string(), tone(0, 30), &error));
  ASSERT_TRUE(sound::writeSoundFile((dir / "b-mic.wav").string(), tone(440, 30), &error));
  double killedAt = 0, heardStart = -1;
  {
    // alice has one ring: bob's voice holds it until he is killed.
    AudioToolOptions listener(dir / "a-mic.wav", dir / "a-speaker.wav");
    listener.environment = {{"ZEP_AUDIO_RINGS", "1"}, {"ZEP_TRACE", "1"}};
    AudioToolProcess ta(a.address, listener);
    AudioToolProcess tb(b.address, {dir / "b-mic.wav", dir / "b-speaker.wav"});
    ASSERT_TRUE(ta.out.waitFor("Audio Tool: opened"));
    ASSERT_TRUE(tb.out.waitFor("Audio Tool: opened"));
    clock::sleepMs(1500);
    ::kill(tb.process().pid(), SIGKILL);
    killedAt = nowMs();
    // carol starts talking half a second later.
    ASSERT_TRUE(sound::writeSoundFile((dir / "c-mic.wav").string(), tone(1000, 30), &error));
    clock::sleepMs(500);
    AudioToolProcess tc(c.address, {dir / "c-mic.wav", dir / "c-speaker.wav"});
    ASSERT_TRUE(tc.out.waitFor("Audio Tool: opened"));
    clock::sleepMs(3000);
    heardStart = soundTimelineStart(ta.err.text(), "output") / 1000;
  }
  auto heard = readSound(dir / "a-speaker.wav");
  ASSERT_GT(heardStart, 0);
  const double k = killedAt - heardStart;
  EXPECT_GT(sound::toneEnergy(slice(heard, k - 1000, k), 440), 1e5) << "bob was heard";
  auto afterwards = slice(heard, k + 400, k + 3500);
  // Measured against carol's voice, which leaks a little into every other frequency now that
  // she is heard at her full level.
  EXPECT_LT(sound::toneEnergy(afterwards, 440), sound::toneEnergy(afterwards, 1000) / 1000)
      << "no block of bob's is left playing";
  EXPECT_GT(sound::toneEnergy(afterwards, 1000), 1e5) << "carol got the ring";
}

// The media copies of a session as the engine's recorder gets them: numbered datagrams.
std::vector<std::uint8_t> numbered(int n) {
  std::vector<std::uint8_t> d(200, static_cast<std::uint8_t>(n));
  d[0] = static_cast<std::uint8_t>(n >> 8);
  return d;
}

TEST(KilledRecorder, EveryWholeRecordIsKeptAndThePlayerReplaysThemAllOnce) {
  auto tree = freshDirectory("tree");
  for (const char* program : {"ZEPrecord/ZEPrecord", "ZEPretrieve/ZEPretrieve"}) {
    std::filesystem::create_directories((tree / program).parent_path());
    std::filesystem::create_symlink(installTree() / program, tree / program);
  }
  EngineOptions options;
  options.zepPath = tree;
  SessionHost a("alice", freshAddress(), options);
  a.manager.send(LOCAL_CREATE);
  a.manager.send(LOCAL_SAVE_INIT);
  ASSERT_TRUE(a.engine->out.waitFor("Recorder: recording to"));
  const char* step = "";
  auto s = net::openUdp(a.address, 12569, &step);
  int sent = 0;
  for (; sent < 400; ++sent) {
    net::sendTo(s, a.address, 55555, numbered(sent));
    if (sent == 200)
      for (pid_t pid : processesOn(a.address, "ZEPrecord")) ::kill(pid, SIGKILL);
    if (sent % 4 == 0) clock::sleepMs(1);
  }
  EXPECT_TRUE(a.engine->err.waitFor("Engine: recorder ended"));
  auto recording = tree / archive::kRecordingName;
  std::FILE* f = std::fopen(recording.c_str(), "rb");
  ASSERT_TRUE(f);
  archive::DatagramRecord r;
  std::string why;
  int whole = 0;
  archive::ReadResult end;
  while ((end = archive::readRecord(f, &r, &why)) == archive::ReadResult::kRecord) {
    EXPECT_EQ(r.data, numbered(whole)) << "record " << whole << " is the datagram sent";
    ++whole;
  }
  std::fclose(f);
  EXPECT_TRUE(end == archive::ReadResult::kEnd || end == archive::ReadResult::kCutShort) << why;
  EXPECT_GE(whole, 150) << "what came before the kill is kept";
  EXPECT_LE(whole, 202);

  // A kill in the middle of writing leaves half a record: the player replays every whole one
  // and says once that the recording was cut short.
  {
    std::ofstream torn(recording, std::ios::binary | std::ios::app);
    archive::DatagramRecord r200;
    r200.port = 12567;
    r200.length = 200;
    auto header = archive::encodeRecordHeader(r200);
    torn.write(reinterpret_cast<const char*>(header.data()), 20);
    torn.write(std::string(50, 'x').data(), 50);
  }
  a.manager.send(LOCAL_RESTORE_INIT);
  EXPECT_TRUE(
      a.engine->out.waitFor("Simulator: " + std::to_string(whole) + " datagrams replayed", 15000));
  EXPECT_EQ(a.engine->err.count("was cut short"), 1);
  EXPECT_EQ(a.engine->err.count("is damaged"), 0);
}

TEST(KilledPlayer, TheEngineReportsItAndReplaysAgainWhenAsked) {
  auto tree = freshDirectory("tree");
  for (const char* program : {"ZEPrecord/ZEPrecord", "ZEPretrieve/ZEPretrieve"}) {
    std::filesystem::create_directories((tree / program).parent_path());
    std::filesystem::create_symlink(installTree() / program, tree / program);
  }
  // Ten seconds of records, one every 100 ms.
  {
    std::ofstream f(tree / archive::kRecordingName, std::ios::binary);
    for (int i = 0; i < 100; ++i) {
      archive::DatagramRecord r;
      r.port = 12567;
      r.time = archive::RecordTime::fromTicks(static_cast<std::uint32_t>(i * 100));
      r.data = numbered(i);
      r.length = static_cast<std::int32_t>(r.data.size());
      auto header = archive::encodeRecordHeader(r);
      f.write(reinterpret_cast<const char*>(header.data()), 20);
      f.write(reinterpret_cast<const char*>(r.data.data()), 200);
    }
  }
  EngineOptions options;
  options.zepPath = tree;
  SessionHost a("alice", freshAddress(), options);
  a.manager.send(LOCAL_CREATE);
  a.manager.send(LOCAL_RESTORE_INIT);
  ASSERT_TRUE(waitUntil([&] { return !processesOn(a.address, "ZEPretrieve").empty(); }));
  clock::sleepMs(500);
  for (pid_t pid : processesOn(a.address, "ZEPretrieve")) ::kill(pid, SIGKILL);
  EXPECT_TRUE(a.engine->err.waitFor("Engine: player ended"));
  a.manager.send(LOCAL_RESTORE_INIT);
  EXPECT_TRUE(waitUntil([&] { return !processesOn(a.address, "ZEPretrieve").empty(); }))
      << "a second replay starts";
  a.manager.send(LOCAL_RESTORE_CLOSE);
  EXPECT_TRUE(waitUntil([&] { return processesOn(a.address, "ZEPretrieve").empty(); }));
}

TEST(KilledVideoTool, TheOthersGoOnAndSeeItAgainOnceItIsBack) {
  ::signal(SIGPIPE, SIG_IGN);
  SessionHost alice("alice"), bob("bob"), carol("carol");
  ASSERT_TRUE(formSession({&alice, &bob, &carol}));
  VideoToolProcess a(alice.address, "alice"), c(carol.address, "carol");
  auto b = std::make_unique<VideoToolProcess>(bob.address, "bob");
  for (auto* t : {&a, b.get(), &c}) ASSERT_TRUE(t->out.waitFor("Status = Ready"));
  b->command("click Capture/Start");
  c.command("click Capture/Start");
  auto pictures = [&](int slot) { return readDisplay(a.displays, slot).pictures.size(); };
  ASSERT_TRUE(waitUntil([&] { return pictures(1) >= 2 && pictures(2) >= 2; }, 15000));
  ::kill(b->process().pid(), SIGKILL);
  b.reset();
  std::size_t fromCarol = pictures(2), fromBob = pictures(1);
  EXPECT_TRUE(waitUntil([&] { return pictures(2) >= fromCarol + 2; }, 10000))
      << "carol's pictures still arrive";
  // bob's tool comes back: its pictures count from 1 again and are shown.
  VideoToolProcess again(bob.address, "bob");
  ASSERT_TRUE(again.out.waitFor("Status = Ready"));
  again.command("click Capture/Start");
  EXPECT_TRUE(waitUntil([&] { return pictures(1) >= fromBob + 2; }, 15000))
      << "alice sees bob again";
}

TEST(KilledDirectoryServer, EveryClientSaysSoAndEndsCleanly) {
  ::signal(SIGPIPE, SIG_IGN);
  DirServerProcess server(freshAddress());
  ASSERT_TRUE(server.waitReady());
  DirClientProcess alice(freshAddress(), server.address, "alice", "alice@x");
  DirClientProcess bob(freshAddress(), server.address, "bob", "bob@x");
  for (auto* c : {&alice, &bob}) ASSERT_TRUE(c->out.waitFor("User list + bob | bob@x"));
  ::kill(server.process().pid(), SIGKILL);
  for (auto* c : {&alice, &bob}) {
    EXPECT_TRUE(c->out.waitFor("Connection with Directory Server has been reset")) << c->user;
    EXPECT_TRUE(c->process().running());
    c->command("close");  // the Directory Server window, then the program
    c->command("click File/Exit");
    EXPECT_TRUE(c->process().waitForExit(kDeadlineMs)) << c->user;
  }
}

TEST(KilledStreamServer, TheClientKeepsWhatArrivedAndClosesNormally) {
  ::signal(SIGPIPE, SIG_IGN);
  StreamServerProcess server(freshAddress());  // paced: one datagram every 100 ms
  ASSERT_TRUE(server.waitReady());
  StreamerOptions o;
  o.server = dotted(server.address);
  StreamerProcess client(freshAddress(), o);
  ASSERT_TRUE(client.clientLog.waitFor("Client started\n"));
  clock::sleepMs(2000);
  ::kill(server.process().pid(), SIGKILL);
  clock::sleepMs(1500);
  EXPECT_TRUE(client.process().running());
  ASSERT_TRUE(client.close());
  EXPECT_EQ(client.process().exitCode(), 0);
  auto heard = readSound(client.speaker);
  auto loud = std::count_if(heard.begin(), heard.end(), [](std::int16_t s) { return s != 0; });
  EXPECT_GT(loud, 4000) << "the part of the clip that arrived was played";
}

}  // namespace
}  // namespace zep::testing
