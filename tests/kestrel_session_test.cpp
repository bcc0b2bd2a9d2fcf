// The integrated client in sessions that outlast the simple call: a member that cannot be
// reached while the window is used, and a directory conference whose participants come and go.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <cmath>
#include <map>

#include "platform/audio.h"
#include "tests/driver/directory.h"
#include "tests/driver/kestrel.h"
#include "tests/driver/video.h"

namespace zep::testing {
namespace {

using namespace engine;
using Clock = std::chrono::steady_clock;

// An engine port that never answers: its backlog is full, so connects to it wait their whole
// deadline, as to a host that is switched off.
struct SilentHost {
  explicit SilentHost(net::Ipv4 at) : address(at) {
    const char* step = "";
    listener = net::listenTcp(address, kEnginePort, 0, &step);
    for (auto& s : fillers) net::connectTcp(address, kEnginePort, address, 200, &s);
  }
  net::Ipv4 address;
  net::Socket listener;
  std::array<net::Socket, 4> fillers;
};

// kay is invited by ann into a session whose third member cannot be reached: while kay's
// engine waits for that connect, her window answers every typed command at once.
TEST(KestrelSession, TheWindowAnswersWhileAMemberCannotBeReached) {
  KestrelProcess kay(freshAddress(), "kay", 440);
  ASSERT_TRUE(kay.out.waitFor("Status = Conferencing panel ready to use"));
  SilentHost ghost(freshAddress());
  ASSERT_TRUE(ghost.listener.valid());
  auto annAddress = freshAddress();
  Peer ann = Peer::connect(kay.address, annAddress);
  MessageHeader fromAnn;
  fromAnn.sender.name = "ann";
  MemberList invitation;
  invitation.word0 = 0;
  ASSERT_TRUE(
      ann.send(NEW_REMOTE_INVITED, encodeMemberList(invitation, ByteOrder::kLittle), fromAnn));
  ASSERT_TRUE(ann.waitFor(MEMBER_ACCEPT)) << "auto accept";

  MemberList rest;
  rest.records = {recordOf("ann", annAddress, 0), recordOf("kay", kay.address, 1),
                  recordOf("ghost", ghost.address, 2)};
  MessageHeader target;
  target.target.number = 1;
  ASSERT_TRUE(ann.send(MEMBER_ADD_REST, encodeMemberList(rest, ByteOrder::kBig), target));
  const auto joined = Clock::now();
  double slowest = 0;
  Clock::time_point firstNews{};
  int shown = kay.out.count("Statistics: shown");
  // Until the unreachable member's connect has run out, and a while after.
  while (Clock::now() - joined < std::chrono::seconds(7)) {
    auto asked = Clock::now();
    kay.command("click View/Statistics");
    ASSERT_TRUE(kay.out.waitForCount("Statistics: shown", ++shown, 3000));
    slowest =
        std::max(slowest, std::chrono::duration<double, std::milli>(Clock::now() - asked).count());
    kay.command("click Close");
    if (firstNews == Clock::time_point{} && kay.out.contains("Participants + ann@"))
      firstNews = Clock::now();
    clock::sleepMs(100);
  }
  EXPECT_LT(slowest, 100) << "the slowest answer, in ms";
  EXPECT_TRUE(kay.out.contains("Participants + ghost@"));
  EXPECT_LT(firstNews - joined, std::chrono::seconds(2))
      << "the members already there are listed while the last is tried";
}

std::vector<std::int16_t> longTone(double hz) {
  std::vector<std::int16_t> tone(8000 * 180);
  for (std::size_t i = 0; i < tone.size(); ++i)
    tone[i] = static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * hz * double(i) / 8000));
  return tone;
}

// Enters a Protected conference through the Directory menu, the first time or again.
void enter(KestrelProcess& k, const std::string& topic) {
  const int asked = k.out.count("Protected Conference: opened");
  const int talking = k.out.count("Talk enabled");
  k.command("click Directory/Conferences...");
  ASSERT_TRUE(k.out.waitFor("Conference list + " + topic));
  k.command("select Conference list = " + topic);
  k.command("click Join");
  ASSERT_TRUE(k.out.waitForCount("Protected Conference: opened", asked + 1)) << k.out.text();
  k.command("type Password = kestrel");
  k.command("click OK");
  ASSERT_TRUE(k.out.waitForCount("Talk enabled", talking + 1)) << k.user << " entered";
}

// dave makes a conference; erin and fred enter; erin leaves and gina enters; fred leaves; erin
// and fred enter again. Every host numbers everyone by the directory's order, so no connect
// displaces a member and at the end each of the four hears and sees the three others.
TEST(KestrelSession, ADirectoryConferenceHoldsThroughDeparturesAndArrivals) {
  DirServerProcess server(freshAddress());
  ASSERT_TRUE(server.waitReady());
  const std::vector<std::pair<std::string, double>> people{
      {"dave", 440}, {"erin", 620}, {"fred", 820}, {"gina", 1020}};
  std::map<std::string, std::unique_ptr<KestrelProcess>> k;
  for (const auto& [name, hz] : people) {
    KestrelStart start;
    start.address = freshAddress();
    start.user = name;
    start.microphone = longTone(hz);
    start.directoryServer = dotted(server.address);
    k[name] = std::make_unique<KestrelProcess>(start);
  }
  for (auto& [name, p] : k) {
    ASSERT_TRUE(p->out.waitFor("Status = Conferencing panel ready to use"));
    ASSERT_TRUE(p->out.waitFor("Directory Server: opened"));
  }
  ASSERT_TRUE(k["dave"]->out.waitFor("User list + gina | gina@example.org"));
  createProtectedConference(*k["dave"], "Standup", "kestrel");
  ASSERT_NO_FATAL_FAILURE(enter(*k["erin"], "Standup"));
  ASSERT_NO_FATAL_FAILURE(enter(*k["fred"], "Standup"));
  ASSERT_TRUE(k["dave"]->out.waitFor("Participants + fred@"));
  k["erin"]->command("click Leave");
  ASSERT_TRUE(k["fred"]->out.waitFor("Participants - erin@"));
  ASSERT_TRUE(k["dave"]->out.waitFor("Participants - erin@"));
  ASSERT_NO_FATAL_FAILURE(enter(*k["gina"], "Standup"));
  k["fred"]->command("click Leave");
  ASSERT_TRUE(k["gina"]->out.waitFor("Participants - fred@"));
  ASSERT_NO_FATAL_FAILURE(enter(*k["erin"], "Standup"));
  ASSERT_NO_FATAL_FAILURE(enter(*k["fred"], "Standup"));
  for (auto& [name, p] : k) {
    p->command("close");
    p->command("click Video");
  }
  // The directory's order: dave 0, gina 1, erin 2, fred 3.
  const std::vector<std::string> order{"dave", "gina", "erin", "fred"};
  for (const auto& viewer : order) {
    for (std::size_t n = 0; n < order.size(); ++n) {
      if (order[n] == viewer) continue;
      ASSERT_TRUE(waitForPictures(k[viewer]->displays, static_cast<int>(n), 10, 30000))
          << viewer << " sees " << order[n];
    }
  }
  const double since =
      double(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
                 .count());
  clock::sleepMs(4000);
  for (const auto& viewer : order) {
    for (std::size_t n = 0; n < order.size(); ++n) {
      if (order[n] == viewer) continue;
      DisplayRecord window = readDisplay(k[viewer]->displays, static_cast<int>(n));
      DisplayRecord recent;
      for (std::size_t i = 0; i < window.pictures.size(); ++i)
        if (window.paintedMicros[i] >= since) {
          recent.pictures.push_back(window.pictures[i]);
          recent.paintedMicros.push_back(window.paintedMicros[i]);
        }
      auto seen = compareWithMirror(recent, readDisplay(k[order[n]]->displays, 20));
      EXPECT_GE(seen.pictures, 5u) << viewer << " sees " << order[n] << " lately";
      EXPECT_GT(seen.medianPsnr, 30) << viewer << " sees " << order[n];
    }
  }
  for (auto& [name, p] : k) p->command("click File/Exit");
  for (auto& [name, p] : k) ASSERT_TRUE(p->process_.waitForExit(10000));
  for (const auto& [listener, ownHz] : people) {
    auto heard = k[listener]->heard();
    // The last three seconds of the loudspeaker: everyone else's tone is in them.
    std::vector<std::int16_t> last(heard.end() - std::min<std::size_t>(heard.size(), 24000),
                                   heard.end());
    for (const auto& [speaker, hz] : people) {
      if (speaker == listener) continue;
      EXPECT_GT(sound::toneEnergy(last, hz), 100 * std::max(1.0, sound::toneEnergy(last, 1500)))
          << listener << " hears " << speaker;
    }
  }
}

}  // namespace
}  // namespace zep::testing
