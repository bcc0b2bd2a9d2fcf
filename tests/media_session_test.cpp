// Media programs attached through the application link to real engines on loopback hosts:
// the member table, quitting, datagrams between members, and a session recorded by the real
// recorder and replayed by the real player.
#include <gtest/gtest.h>

#include <fstream>

#include "archive/recording.h"
#include "platform/host.h"
#include "tests/driver/driver.h"

namespace zep::testing {
namespace {

using namespace engine;

// An installation tree of its own for one test, so recordings of parallel tests never meet.
std::filesystem::path privateTree() {
  auto tree = freshDirectory("tree");
  for (const char* program : {"ZEPrecord/ZEPrecord", "ZEPretrieve/ZEPretrieve"}) {
    std::filesystem::create_directories((tree / program).parent_path());
    std::filesystem::create_symlink(installTree() / program, tree / program);
  }
  return tree;
}

TEST(MediaLink, AttachingToASessionOfThreeListsMembersThenTheLocalOne) {
  SessionHost a("alice"), b("bob"), c("carol");
  ASSERT_TRUE(formSession({&a, &b, &c}));
  MediaTool tool(b.address, 12567);
  ASSERT_TRUE(tool.out.waitFor("local member 1"));
  auto text = tool.out.text();
  auto p0 = text.find("member added 0"), p1 = text.find("member added 1"),
       p2 = text.find("member added 2"), local = text.find("local member 1");
  ASSERT_NE(p2, std::string::npos);
  EXPECT_LT(p0, p1);
  EXPECT_LT(p1, p2);
  EXPECT_LT(p2, local);
}

TEST(MediaLink, QuitEndsTheProgramUnlessItHasAQuitCallback) {
  SessionHost a("alice");
  a.manager.send(LOCAL_CREATE);
  MediaTool plain(a.address, 12567);
  MediaTool patient(a.address, 34999, {"--quit-callback"});
  ASSERT_TRUE(plain.out.waitFor("local member 0"));
  ASSERT_TRUE(patient.out.waitFor("local member 0"));
  a.manager.send(LOCAL_LEAVE);  // the engine tells its applications to quit
  ASSERT_TRUE(plain.process().waitForExit(kDeadlineMs));
  EXPECT_EQ(plain.process().exitCode(), 0);
  EXPECT_TRUE(patient.out.waitFor("quit 23"));
  EXPECT_TRUE(patient.process().running());

  // Losing the engine reaches the callback without a tag.
  a.engine->kill();
  EXPECT_TRUE(patient.out.waitFor("quit 0"));
}

TEST(MediaLink, DatagramsReachEveryOtherMemberAndAddressedOnesOnlyTheirTarget) {
  SessionHost a("alice"), b("bob"), c("carol");
  ASSERT_TRUE(formSession({&a, &b, &c}));
  MediaTool ta(a.address, 12567), tb(b.address, 12567), tc(c.address, 12567);
  for (auto* t : {&ta, &tb, &tc}) ASSERT_TRUE(t->out.waitFor("local member"));

  ta.command("send -1 13 to everybody");
  EXPECT_TRUE(tb.out.waitFor("received type 13 from 0 length 12 to everybody"));
  EXPECT_TRUE(tc.out.waitFor("received type 13 from 0 length 12 to everybody"));
  tc.command("send 1 14 just bob");
  EXPECT_TRUE(tb.out.waitFor("received type 14 from 2 length 8 just bob"));
  tb.command("send -1 15");
  EXPECT_TRUE(ta.out.waitFor("received type 15 from 1 length 1 ."));
  // Member 0 sending to member 0 sends nothing.
  ta.command("send 0 16 self");
  ta.command("send 1 17 marker");
  ASSERT_TRUE(tb.out.waitFor("received type 17"));
  EXPECT_FALSE(ta.out.contains("received type 16"));
  EXPECT_FALSE(tb.out.contains("received type 16"));
  EXPECT_FALSE(ta.out.contains("to everybody")) << "no copy to oneself";
  // Too large for any receiver: refused.
  ta.command("fill -1 18 60000");
  EXPECT_TRUE(ta.out.waitFor("sent 0"));

  // Member information, for a present and an absent member.
  tb.command("info 2");
  EXPECT_TRUE(tb.out.waitFor("info 2 carol [" + host::lookupName(c.address) + "] 1"));
  tb.command("info 7");
  EXPECT_TRUE(tb.out.waitFor("info 7 unknown [] 0"));

  // Data through the engines arrives as it was sent: without data bytes (15 bytes) as no
  // data, with one zero byte (the manager's form) as that byte.
  Peer rawApp = Peer::application(a.address, 40000);
  rawApp.send(APP_DATA, encodeAppMessage({0, 1, 12567, 9, {}}, kAppDataOrder));
  EXPECT_TRUE(tb.out.waitFor("data tag 9 length 0 \n"));
  rawApp.send(APP_DATA, encodeAppMessage({0, 1, 12567, 10, {0}}, kAppDataOrder));
  EXPECT_TRUE(tb.out.waitFor("data tag 10 length 1 ."));

  // With member 0 gone, a send to member 0 goes to the lowest other member.
  a.manager.send(LOCAL_LEAVE);
  ASSERT_TRUE(tc.out.waitFor("member deleted 0"));
  tc.command("send 0 19 fallback");
  EXPECT_TRUE(tb.out.waitFor("received type 19 from 2 length 8 fallback"));
}

TEST(MediaLink, MalformedDatagramsDoNotHurtAReceiver) {
  SessionHost a("alice");
  a.manager.send(LOCAL_CREATE);
  MediaTool tool(a.address, 12567);
  ASSERT_TRUE(tool.out.waitFor("local member 0"));
  const char* step = "";
  // From this host, whose datagrams are taken unread (the player's replays): a stranger's
  // would not reach the program at all.
  auto s = net::openUdp(a.address, 0, &step);
  for (std::size_t n : {0, 1, 7, 10}) {
    std::vector<std::uint8_t> junk(n, 0xEE);
    net::sendTo(s, a.address, 12567, junk);
  }
  EXPECT_TRUE(tool.out.waitForCount("short datagram", 3));
  EXPECT_TRUE(tool.process().running());
}

TEST(MediaLink, ASessionIsRecordedAndReplayed) {
  auto tree = privateTree();
  EngineOptions options;
  options.zepPath = tree;
  SessionHost a("alice", freshAddress(), options), b("bob");
  ASSERT_TRUE(formSession({&a, &b}));
  MediaTool ta(a.address, 12567, {}, tree), tb(b.address, 12567);
  ASSERT_TRUE(ta.out.waitFor("local member 0"));
  ASSERT_TRUE(tb.out.waitFor("local member 1"));

  a.manager.send(LOCAL_SAVE_INIT);
  ASSERT_TRUE(ta.out.waitFor("database open"));
  ASSERT_TRUE(a.engine->out.waitFor("Recorder: recording to"));  // its socket is bound
  ta.command("send -1 13 first");
  ASSERT_TRUE(tb.out.waitFor("first"));
  clock::sleepMs(300);
  tb.command("send 0 13 second");
  ASSERT_TRUE(ta.out.waitFor("second"));
  ta.command("send 1 13 private");  // addressed sends are not copied
  ASSERT_TRUE(tb.out.waitFor("private"));
  auto recording = tree / archive::kRecordingName;
  ASSERT_TRUE(waitUntil([&] { return std::filesystem::file_size(recording) >= 2 * 20 + 2 * 16; }));
  a.manager.send(LOCAL_SAVE_CLOSE);
  ASSERT_TRUE(ta.out.waitFor("database closed"));

  std::FILE* f = std::fopen(recording.c_str(), "rb");
  ASSERT_TRUE(f);
  std::vector<archive::DatagramRecord> records;
  archive::DatagramRecord r;
  std::string why;
  while (archive::readRecord(f, &r, &why) == archive::ReadResult::kRecord) records.push_back(r);
  std::fclose(f);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].port, 12567);
  auto gap = archive::millisecondsBetween(records[1].time, records[0].time);
  EXPECT_GE(gap, 300);

  a.manager.send(LOCAL_RESTORE_INIT);
  EXPECT_TRUE(ta.out.waitFor("received type 13 from 0 length 5 first"))
      << "replayed as if member 0 spoke again";
  EXPECT_TRUE(ta.out.waitForCount("received type 13 from 1 length 6 second", 2));
  EXPECT_EQ(ta.out.count("private"), 0);
}

}  // namespace
}  // namespace zep::testing

namespace zep::testing {
namespace {

struct ProgramRun {
  process::Process process;
  LogFile out, err;
};

ProgramRun runProgram(const std::string& relative, const std::filesystem::path& zepPath,
                      net::Ipv4 host) {
  auto dir = freshDirectory("program");
  ProgramRun run{{}, LogFile(dir / "out.txt"), LogFile(dir / "err.txt")};
  process::StartOptions o;
  o.stdoutPath = run.out.path();
  o.stderrPath = run.err.path();
  o.environment = {{"ZEP_PATH", zepPath.string()}, {"ZEP_HOST", dotted(host)}};
  std::string why;
  run.process = process::start((installTree() / relative).string(), o, &why);
  return run;
}

TEST(ArchivePrograms, ASecondRecordingEmptiesTheFirst) {
  auto tree = freshDirectory("recordings");
  auto host = freshAddress();
  auto recording = tree / archive::kRecordingName;
  {
    auto run = runProgram("ZEPrecord/ZEPrecord", tree, host);
    ASSERT_TRUE(run.out.waitFor("Recorder: recording to"));
    const char* step = "";
    auto s = net::openUdp(host, 12569, &step);
    std::vector<std::uint8_t> datagram(100, 1);
    net::sendTo(s, host, 55555, datagram);
    ASSERT_TRUE(waitUntil([&] { return std::filesystem::file_size(recording) == 120; }));
    run.process.terminate();
  }
  auto again = runProgram("Standalone/ROduduzedi", tree, host);
  ASSERT_TRUE(again.out.waitFor("Recorder: recording to"));
  EXPECT_EQ(std::filesystem::file_size(recording), 0u);
  again.process.terminate();
}

TEST(ArchivePrograms, MissingOrDamagedRecordingsAreReportedClearly) {
  auto tree = freshDirectory("no-recording");
  auto host = freshAddress();
  auto player = runProgram("ZEPretrieve/ZEPretrieve", tree, host);
  ASSERT_TRUE(player.process.waitForExit(kDeadlineMs));
  EXPECT_EQ(player.process.exitCode(), 1);
  EXPECT_TRUE(player.err.contains("Simulator: cannot open " + (tree / "recorder.data").string()));

  std::ofstream(tree / archive::kRecordingName) << "not a recording at all";
  auto damaged = runProgram("Standalone/RAdarozuror", tree, host);
  ASSERT_TRUE(damaged.process.waitForExit(kDeadlineMs));
  EXPECT_EQ(damaged.process.exitCode(), 1);
  EXPECT_TRUE(damaged.err.contains("is damaged"));

  std::filesystem::remove(tree / archive::kRecordingName);
  std::ofstream(tree / archive::kRecordingName).flush();  // empty: nothing to send
  auto empty = runProgram("ZEPretrieve/ZEPretrieve", tree, host);
  ASSERT_TRUE(empty.process.waitForExit(kDeadlineMs));
  EXPECT_EQ(empty.process.exitCode(), 255) << "the replay ran to the end";
  EXPECT_TRUE(empty.out.contains("Simulator: 0 datagrams replayed"));

  auto unreadable = freshDirectory("missing") / "no" / "such" / "dir";
  auto recorder = runProgram("ZEPrecord/ZEPrecord", unreadable, host);
  ASSERT_TRUE(recorder.process.waitForExit(kDeadlineMs));
  EXPECT_EQ(recorder.process.exitCode(), 1);
  EXPECT_TRUE(recorder.err.contains("Recorder: cannot create"));
}

}  // namespace
}  // namespace zep::testing
