// Real engine processes on loopback hosts: start-up, the connection table, channel loss and
// the recorder and player programs.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/driver/driver.h"

namespace zep::testing {
namespace {

using namespace engine;

// A stand-in for the recorder or player that marks its start and its termination.
std::filesystem::path writeStandIn(const std::filesystem::path& path) {
  std::filesystem::create_directories(path.parent_path());
  auto mark = path.string() + ".mark";
  std::ofstream(path) << "#!/bin/sh\n"
                      << "echo started >> '" << mark << "'\n"
                      << "trap 'echo stopped >> \"" << mark
                      << "\"; exit 0' TERM\n"
                      // never outlives a test that forgot to stop it by more than a minute
                      << "i=0; while [ $i -lt 1200 ]; do sleep 0.05; i=$((i+1)); done\n";
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return mark;
}

LogFile markOf(const std::filesystem::path& program) {
  return LogFile(program.string() + ".mark");
}

int membersCount(const Message& m) {
  return static_cast<int>(decodeMemberList(m.payload, ByteOrder::kLittle)->announced);
}

TEST(EngineDaemon, SecondEngineOnTheSameAddressExitsWithZeroAndTheFirstServesOn) {
  auto address = freshAddress();
  EngineProcess first(address);
  ASSERT_TRUE(first.waitReady());

  EngineProcess second(address);
  ASSERT_TRUE(second.process().waitForExit(kDeadlineMs));
  EXPECT_EQ(second.process().exitCode(), 0);
  EXPECT_TRUE(second.err.contains("Engine: can't bind daemon socket\n"));

  Peer manager = Peer::manager(address);
  ASSERT_TRUE(manager.send(LOCAL_GET_MEMBERS));
  auto reply = manager.waitFor(CTL_MEMBERS);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->payload.size(), 36u);
  EXPECT_EQ(membersCount(*reply), 0);
}

TEST(EngineDaemon, RestartedEngineBindsWhileOldConnectionsLinger) {
  auto address = freshAddress();
  Peer lingering;
  {
    EngineProcess first(address);
    ASSERT_TRUE(first.waitReady());
    lingering = Peer::manager(address);
    ASSERT_TRUE(lingering.send(LOCAL_GET_MEMBERS));
    ASSERT_TRUE(lingering.waitFor(CTL_MEMBERS));
  }  // killed with the connection open: its end lingers in TIME_WAIT
  EngineProcess restarted(address);
  ASSERT_TRUE(restarted.waitReady());
  EXPECT_FALSE(restarted.err.contains("can't bind"));
}

// Connections whose first message has not arrived are gathered side by side: a silent one
// holds up nobody, and is closed when its own deadline passes.
TEST(EngineDaemon, ASilentConnectionHoldsUpNoOtherAndIsClosedAfterItsDeadline) {
  auto address = freshAddress();
  EngineProcess engine(address);
  ASSERT_TRUE(engine.waitReady());

  Peer silent = Peer::connect(address);
  ASSERT_TRUE(engine.out.waitFor("Accepted\n"));
  Peer manager = Peer::manager(address);
  ASSERT_TRUE(manager.send(LOCAL_GET_MEMBERS));
  EXPECT_TRUE(manager.waitFor(CTL_MEMBERS, 500));
  EXPECT_EQ(engine.out.count("Accepted\n"), 2);
  EXPECT_TRUE(silent.waitClosed(2000));
  EXPECT_TRUE(engine.err.contains("Engine: new connection silent -- closed\n"));
}

TEST(EngineDaemon, LosingTheManagerClosesEveryConnectionButANewManagerCanAttach) {
  auto address = freshAddress();
  EngineProcess engine(address);
  ASSERT_TRUE(engine.waitReady());
  Peer manager = Peer::manager(address);
  ASSERT_TRUE(manager.send(LOCAL_CREATE));
  Peer app = Peer::application(address, 12567);
  ASSERT_TRUE(app.waitFor(CTL_LOCAL_MEMBER));
  ASSERT_TRUE(manager.waitFor(CTL_ADD_MEMBER));  // nothing unread: the close is orderly

  manager.close();
  EXPECT_TRUE(app.waitClosed());
  EXPECT_TRUE(engine.out.waitFor("Engine: local connection broken -- exiting...\n"));
  EXPECT_TRUE(engine.err.contains("Engine: connection broken\n"));

  Peer next = Peer::manager(address);
  ASSERT_TRUE(next.send(LOCAL_GET_MEMBERS));
  auto reply = next.waitFor(CTL_MEMBERS);
  ASSERT_TRUE(reply);
  EXPECT_EQ(membersCount(*reply), 0) << "the session ended with the old manager";
}

TEST(EngineDaemon, UnknownTagsAreLoggedAndTheChannelStaysInStep) {
  auto address = freshAddress();
  EngineProcess engine(address);
  ASSERT_TRUE(engine.waitReady());
  Peer manager = Peer::manager(address);
  std::vector<std::uint8_t> junk(10, 0xAB);
  ASSERT_TRUE(manager.send(99, junk));
  ASSERT_TRUE(manager.send(LOCAL_GET_MEMBERS));
  EXPECT_TRUE(manager.waitFor(CTL_MEMBERS));
  EXPECT_TRUE(engine.err.waitFor("Engine: Unknown local tag\n"));

  Peer stranger = Peer::connect(address);
  ASSERT_TRUE(stranger.send(70));
  EXPECT_TRUE(stranger.waitClosed());
  EXPECT_TRUE(engine.err.waitFor("Engine: Unknown new tag\n"));
}

TEST(EngineDaemon, OversizedPayloadClosesOnlyThatChannel) {
  auto address = freshAddress();
  EngineProcess engine(address);
  ASSERT_TRUE(engine.waitReady());
  Peer manager = Peer::manager(address);
  Peer app = Peer::application(address, 12567);
  ASSERT_TRUE(manager.send(LOCAL_GET_MEMBERS));
  ASSERT_TRUE(manager.waitFor(CTL_MEMBERS));

  MessageHeader h;
  h.tag = APP_DATA;
  h.length = 0x7FFFFFFF;
  ASSERT_TRUE(app.sendRaw(encodeHeader(h)));
  EXPECT_TRUE(app.waitClosed());
  EXPECT_TRUE(engine.err.waitFor("too long"));

  ASSERT_TRUE(manager.send(LOCAL_GET_MEMBERS));
  EXPECT_TRUE(manager.waitFor(CTL_MEMBERS)) << "the manager is still served";
}

TEST(EngineDaemon, RecorderStartsOnceAndThePlayerWaitsForIt) {
  auto tree = freshDirectory("tree");
  auto recorder = tree / "ZEPrecord" / "ZEPrecord";
  auto player = tree / "ZEPretrieve" / "ZEPretrieve";
  writeStandIn(recorder);
  writeStandIn(player);
  auto address = freshAddress();
  EngineOptions options;
  options.zepPath = tree;
  EngineProcess engine(address, options);
  ASSERT_TRUE(engine.waitReady());
  Peer manager = Peer::manager(address);
  Peer app = Peer::application(address, 34999);

  ASSERT_TRUE(manager.send(LOCAL_SAVE_INIT));
  ASSERT_TRUE(manager.send(LOCAL_SAVE_INIT));
  ASSERT_TRUE(manager.send(LOCAL_RESTORE_INIT));
  ASSERT_TRUE(app.waitFor(CTL_DATABASE_START));
  ASSERT_TRUE(engine.out.waitFor("Engine: local session restore init\n"));
  ASSERT_TRUE(markOf(recorder).waitFor("started"));
  EXPECT_EQ(engine.out.count("Process " + recorder.string() + " created\n"), 1);
  EXPECT_FALSE(engine.out.contains(player.string()));

  // An application attaching while the recorder runs is told at once.
  Peer late = Peer::application(address, 12567);
  EXPECT_TRUE(late.waitFor(CTL_DATABASE_START));

  ASSERT_TRUE(manager.send(LOCAL_SAVE_CLOSE));
  EXPECT_TRUE(app.waitFor(CTL_DATABASE_STOP));
  EXPECT_TRUE(markOf(recorder).waitFor("stopped"));

  ASSERT_TRUE(manager.send(LOCAL_RESTORE_INIT));
  EXPECT_TRUE(markOf(player).waitFor("started"));
  ASSERT_TRUE(manager.send(LOCAL_RESTORE_CLOSE));
  EXPECT_TRUE(markOf(player).waitFor("stopped"));
  EXPECT_EQ(markOf(recorder).count("started"), 1);
}

TEST(EngineDaemon, MissingRecorderIsReportedAndItsStopIsHarmless) {
  auto tree = freshDirectory("empty-tree");
  auto address = freshAddress();
  EngineOptions options;
  options.zepPath = tree;
  EngineProcess engine(address, options);
  ASSERT_TRUE(engine.waitReady());
  Peer manager = Peer::manager(address);
  ASSERT_TRUE(manager.send(LOCAL_SAVE_INIT));
  ASSERT_TRUE(manager.send(LOCAL_SAVE_CLOSE));
  ASSERT_TRUE(manager.send(LOCAL_RESTORE_INIT));
  ASSERT_TRUE(engine.out.waitFor("ZEPretrieve created\n"));
  EXPECT_TRUE(engine.err.contains("Create process error"));
  EXPECT_TRUE(
      engine.out.contains("Process " + (tree / "ZEPrecord/ZEPrecord").string() + " created\n"));
  EXPECT_TRUE(engine.err.waitFor("Engine: recorder ended (exit code -1) -- recording stopped\n"));
  EXPECT_TRUE(engine.err.waitFor("Engine: player ended (exit code -1) -- replay stopped\n"));
}

// A recorder that exits at once (no recording file, say) must not leave the engine and its
// applications believing the session is being recorded.
TEST(EngineDaemon, RecorderThatEndsAtOnceIsReportedAndTheEngineIsIdleAgain) {
  auto tree = freshDirectory("failing-tree");
  auto recorder = tree / "ZEPrecord" / "ZEPrecord";
  auto player = tree / "ZEPretrieve" / "ZEPretrieve";
  std::filesystem::create_directories(recorder.parent_path());
  std::ofstream(recorder) << "#!/bin/sh\necho started >> '" << recorder.string()
                          << ".mark'\nexit 3\n";
  std::filesystem::permissions(recorder, std::filesystem::perms::owner_all);
  std::filesystem::create_directories(player.parent_path());
  std::ofstream(player) << "#!/bin/sh\nexit 255\n";
  std::filesystem::permissions(player, std::filesystem::perms::owner_all);
  auto address = freshAddress();
  EngineOptions options;
  options.zepPath = tree;
  EngineProcess engine(address, options);
  ASSERT_TRUE(engine.waitReady());
  Peer manager = Peer::manager(address);
  Peer app = Peer::application(address, 34999);
  // The recorder ends at once: the application must be attached before it starts.
  ASSERT_TRUE(engine.out.waitFor("attached\n"));

  ASSERT_TRUE(manager.send(LOCAL_SAVE_INIT));
  ASSERT_TRUE(app.waitFor(CTL_DATABASE_START));
  EXPECT_TRUE(app.waitFor(CTL_DATABASE_STOP));
  EXPECT_TRUE(engine.err.waitFor("Engine: recorder ended (exit code 3) -- recording stopped\n"));
  // Idle again: the next request starts it anew, and the player may run.
  ASSERT_TRUE(manager.send(LOCAL_SAVE_INIT));
  EXPECT_TRUE(markOf(recorder).waitForCount("started", 2));
  ASSERT_TRUE(engine.err.waitForCount("recording stopped", 2));
  ASSERT_TRUE(manager.send(LOCAL_RESTORE_INIT));
  EXPECT_TRUE(engine.out.waitFor("Engine: replay finished\n"));
}

TEST(EngineDaemon, SecondBuildWithoutZepPathRecordsInItsOwnTree) {
  auto address = freshAddress();
  EngineOptions options;
  options.program = installTree() / "Standalone" / "KSengine";
  options.zepPath = "-";  // unset
  EngineProcess engine(address, options);
  ASSERT_TRUE(engine.waitReady());
  EXPECT_TRUE(engine.err.contains("Engine: ZEP_PATH is not set; using installation directory " +
                                  installTree().string() + "\n"));
}

TEST(EngineDaemon, SecondBuildFindsTheRecorderInItsOwnDirectory) {
  auto dir = freshDirectory("standalone");
  auto recorder = dir / "ROduduzedi";
  writeStandIn(recorder);
  auto address = freshAddress();
  // A command line starting with a quoted path.
  EngineOptions options;
  options.program = installTree() / "Standalone" / "KSengine";
  options.argv0 = "\"" + (dir / "KSengine").string();
  EngineProcess engine(address, options);
  ASSERT_TRUE(engine.waitReady());
  Peer manager = Peer::manager(address);
  ASSERT_TRUE(manager.send(LOCAL_SAVE_INIT));
  EXPECT_TRUE(markOf(recorder).waitFor("started"));
  ASSERT_TRUE(manager.send(LOCAL_SAVE_CLOSE));
  EXPECT_TRUE(markOf(recorder).waitFor("stopped"));
}

TEST(EngineDaemon, SecondBuildWithoutADirectoryUsesTheBareName) {
  auto dir = freshDirectory("bare");
  auto recorder = dir / "ROduduzedi";
  writeStandIn(recorder);
  auto address = freshAddress();
  EngineOptions options;
  options.program = installTree() / "Standalone" / "KSengine";
  options.argv0 = "KSengine";
  options.workingDirectory = dir;
  EngineProcess engine(address, options);
  ASSERT_TRUE(engine.waitReady());
  Peer manager = Peer::manager(address);
  ASSERT_TRUE(manager.send(LOCAL_SAVE_INIT));
  EXPECT_TRUE(engine.out.waitFor("Process ROduduzedi created\n"));
  EXPECT_TRUE(markOf(recorder).waitFor("started"));
  ASSERT_TRUE(manager.send(LOCAL_SAVE_CLOSE));
  EXPECT_TRUE(markOf(recorder).waitFor("stopped"));
}

}  // namespace
}  // namespace zep::testing
