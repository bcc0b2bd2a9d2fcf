// The directory end to end: the stand-in Directory Server and three headless directory
// browsers on loopback hosts of their own.
#include <gtest/gtest.h>

#include "tests/driver/directory.h"

namespace zep::testing {
namespace {

class DirectorySession : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(serverReady) << server.out.text();
    for (auto* c : {&alice, &bob, &carol})
      for (auto* who : {"alice", "bob", "carol"})
        ASSERT_TRUE(c->out.waitFor(std::string("User list + ") + who + " | " + who + "@x"))
            << c->user << " sees " << who << "\n"
            << c->out.text();
  }
  // Opens the Conferences page and picks a conference.
  void pick(DirClientProcess& c, const std::string& topic) {
    c.command("click Conferences");
    ASSERT_TRUE(c.out.waitFor("Conference list + " + topic)) << c.out.text();
    c.command("select Conference list = " + topic);
  }
  void create(DirClientProcess& c, const std::string& topic, const char* kind,
              const char* password = nullptr) {
    c.command("click Conferences");
    c.command("click New");
    c.command("type Topic = " + topic);
    c.command(std::string("click ") + kind);
    if (password) {
      c.command(std::string("type Password = ") + password);
      c.command(std::string("type Confirm Password = ") + password);
      c.command("click OK");
    }
    c.command("click OK");
  }
  std::string id(const DirClientProcess& c) { return c.user + " " + dotted(c.address); }

  DirServerProcess server{freshAddress()};
  // Members start in this order: the browsers connect as they start, so only once it listens.
  bool serverReady = server.waitReady();
  DirClientProcess alice{freshAddress(), server.address, "alice", "alice@x"};
  DirClientProcess bob{freshAddress(), server.address, "bob", "bob@x"};
  DirClientProcess carol{freshAddress(), server.address, "carol", "carol@x"};
};

TEST_F(DirectorySession, ProtectedConferenceAdmitsOnTheRightPasswordOnly) {
  create(alice, "Secret", "Protected", "pw");
  ASSERT_TRUE(alice.out.waitFor("DSN_CONFENTERED 1 " + id(alice))) << alice.out.text();
  pick(bob, "Secret");
  const char* tries[] = {"wrong", "", "pw"};
  for (int i = 0; i < 3; ++i) {
    bob.command("click Join");
    ASSERT_TRUE(bob.out.waitForCount("Protected Conference: opened", i + 1)) << bob.out.text();
    bob.command(std::string("type Password = ") + tries[i]);
    bob.command("click OK");
    if (i == 0) {
      ASSERT_TRUE(bob.out.waitFor("Wrong password")) << bob.out.text();
    }
  }
  ASSERT_TRUE(
      bob.out.waitFor("DSN_CONFENTERED 2 " + id(alice) + "\nDSN_PARTICIPANTJOINED 0 " + id(bob)))
      << bob.out.text();
  ASSERT_TRUE(alice.out.waitFor("DSN_PARTICIPANTJOINED 0 " + id(bob))) << alice.out.text();
  EXPECT_EQ(1, bob.out.count("Wrong password")) << "the empty password sent nothing";
  EXPECT_EQ(0, carol.out.count("DSN_")) << "carol is in no conference";

  // Leaving; the last one out deletes the conference.
  bob.command("click Leave");
  ASSERT_TRUE(bob.out.waitFor("DSN_PARTICIPANTLEFT 0 " + id(bob) + "\nDSN_CONFLEFT 0"));
  ASSERT_TRUE(alice.out.waitFor("DSN_PARTICIPANTLEFT 0 " + id(bob)));
  pick(alice, "Secret");
  alice.command("click Leave");
  ASSERT_TRUE(alice.out.waitFor("DSN_CONFLEFT 0"));
  ASSERT_TRUE(carol.out.waitFor("Conference list - Secret")) << carol.out.text();
}

TEST_F(DirectorySession, RestrictedConferenceAsksTheCreatorAndKilledClientsAreUnregistered) {
  create(alice, "Closed", "Restricted");
  ASSERT_TRUE(alice.out.waitFor("DSN_CONFENTERED 1 " + id(alice)));
  pick(carol, "Closed");
  for (const char* answer : {"Reject", "Accept"}) {
    carol.command("click Join");
    ASSERT_TRUE(alice.out.waitForCount("New Participant: Name = carol", answer[0] == 'R' ? 1 : 2))
        << alice.out.text();
    alice.command(std::string("click ") + answer);
    if (answer[0] == 'R') {
      ASSERT_TRUE(carol.out.waitFor("You were not admitted")) << carol.out.text();
    }
  }
  ASSERT_TRUE(carol.out.waitFor("DSN_CONFENTERED 2 " + id(alice) + "\nDSN_PARTICIPANTJOINED 0 " +
                                id(carol)))
      << carol.out.text();
  ASSERT_TRUE(alice.out.waitFor("DSN_PARTICIPANTJOINED 0 " + id(carol)));
  // An open conference joins at once.
  create(bob, "Lobby", "Open");
  pick(carol, "Lobby");
  carol.command("click Join");
  ASSERT_TRUE(bob.out.waitFor("DSN_PARTICIPANTJOINED 0 " + id(carol))) << bob.out.text();

  carol.process().terminate(0);
  for (auto* c : {&alice, &bob})
    ASSERT_TRUE(c->out.waitFor("User list - carol | carol@x")) << c->out.text();
  ASSERT_TRUE(alice.out.waitFor("DSN_PARTICIPANTLEFT 0 " + id(carol)));
  ASSERT_TRUE(bob.out.waitFor("DSN_PARTICIPANTLEFT 0 " + id(carol)));
  EXPECT_EQ(0, alice.out.count("has been reset"));
}

}  // namespace
}  // namespace zep::testing
