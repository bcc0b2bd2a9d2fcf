// Headless zepmanager processes on loopback hosts, driven by typed commands.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "tests/driver/driver.h"

namespace zep::testing {
namespace {

TEST(ManagerProcess, InviteAndAcceptByTypedCommands) {
  ManagerProcess alice(freshAddress(), "alice"), bob(freshAddress(), "bob");
  ASSERT_TRUE(alice.out.waitFor("Status = Conferencing panel ready to use"));
  ASSERT_TRUE(bob.out.waitFor("Status = Conferencing panel ready to use"));
  alice.command("click Member/Add member");
  alice.command("type User = bob@" + dotted(bob.address));
  alice.command("click Add ->");
  alice.command("click OK");
  ASSERT_TRUE(bob.out.waitFor("Status = RECEIVED INVITATION from alice@" + dotted(alice.address)));
  EXPECT_TRUE(bob.out.waitFor("Accept enabled"));
  bob.command("click Accept");
  EXPECT_TRUE(alice.out.waitFor("Status = bob@" + dotted(bob.address) + " accepted invitation"));
  EXPECT_TRUE(bob.out.waitForCount("Members + ", 2));
  alice.command("click File/Exit");
  ASSERT_TRUE(alice.process().waitForExit(10000));
  EXPECT_EQ(alice.process().exitCode(), 0);
  EXPECT_TRUE(bob.out.waitFor("Status = alice@" + dotted(alice.address) + " left"));
}

TEST(ManagerProcess, EngineClosingTheChannelEndsTheManagerWithCodeZero) {
  ManagerProcess alice(freshAddress(), "alice");
  ASSERT_TRUE(alice.out.waitFor("Status = Conferencing panel ready to use"));
  ASSERT_TRUE(alice.engineLog.waitFor("Daemon initialized"));
  // The engine is the manager's child in a session of its own; end it by its address.
  Peer stranger = Peer::manager(alice.address);  // a second manager takes the channel over
  ASSERT_TRUE(alice.process().waitForExit(kDeadlineMs));
  EXPECT_EQ(alice.process().exitCode(), 0);
  EXPECT_TRUE(alice.err.text().empty()) << "no message box, no error: " << alice.err.text();
}

// A tree of the test's own whose zepmanager reads SERVERS.CFG naming `server`.
std::filesystem::path treeWithUserServer(net::Ipv4 server) {
  auto tree = freshDirectory("manager-tree");
  std::error_code linked;
  // The program finds its files beside itself: a link of the file itself, not a symbolic one.
  std::filesystem::create_hard_link(installTree() / "zepmanager", tree / "zepmanager", linked);
  if (linked) std::filesystem::copy_file(installTree() / "zepmanager", tree / "zepmanager");
  for (const char* shared : {"Core", "PLUGINS.CFG", "RINGIN.WAV"})
    std::filesystem::create_symlink(installTree() / shared, tree / shared);
  std::ofstream(tree / "SERVERS.CFG") << dotted(server) << "\n";
  return tree;
}

TEST(ManagerProcess, AUserServerThatSendsHalfAHeaderNeverFreezesTheWindow) {
  // A user server that answers each query with half a header, then stays silent.
  UserServerProcess server(freshAddress(), {"--half-reply"});
  ASSERT_TRUE(server.waitReady());
  ManagerProcess alice(freshAddress(), "alice", {}, {},
                       treeWithUserServer(server.address) / "zepmanager");
  ASSERT_TRUE(alice.out.waitFor("Status = Conferencing panel ready to use"));
  // The window must answer a typed command within 100 ms the whole time the query runs: the
  // Add Users dialog (open at once) adds each typed name to its Invite list.
  int answered = 0;
  double slowestMs = 0;
  auto probe = [&](const std::string& typed, const std::string& answer) {
    auto sent = std::chrono::steady_clock::now();
    for (const auto& line : {typed, std::string("click Add ->")}) alice.command(line);
    bool ok = waitUntil([&] { return alice.out.contains(answer); }, 100);
    double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count();
    if (ok) ++answered, slowestMs = std::max(slowestMs, ms);
    return ok;
  };
  alice.command("click Add");
  ASSERT_TRUE(alice.out.waitFor("Add Users: opened", 1000)) << "the dialog opens at once";
  const std::string cutShort =
      "Status = User server reply cut short: the last list of active users is shown";
  while (!alice.out.contains(cutShort)) {
    std::string name = "probe" + std::to_string(answered);
    ASSERT_TRUE(probe("type User = " + name, "Add Users: Invite + " + name))
        << "the window froze after " << answered << " answers";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_LT(answered, 1000) << "the query never ended";
  }
  std::printf("%d commands answered while the query ran, the slowest in %.1f ms\n", answered,
              slowestMs);
  EXPECT_GT(answered, 20) << "the query took its deadline";
  EXPECT_EQ(server.out.count("Server: half a reply sent"), 1);
  alice.command("click Cancel");
  ASSERT_TRUE(alice.out.waitFor("Add Users: closed"));
  alice.command("click Help/Overview");
  EXPECT_TRUE(alice.out.waitFor("message box \"Overview\"", 100)) << "the window still answers";
  alice.command("click File/Exit");
  ASSERT_TRUE(alice.process().waitForExit(10000));
  EXPECT_EQ(alice.process().exitCode(), 0);
}

}  // namespace
}  // namespace zep::testing
