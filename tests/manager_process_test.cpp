// Headless zepmanager processes on loopback hosts, driven by typed commands.
#include <gtest/gtest.h>
#include <signal.h>

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

}  // namespace
}  // namespace zep::testing
