// The directory end to end: the stand-in Directory Server and three headless directory
// browsers on loopback hosts of their own.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/driver/directory.h"
#include "tests/driver/kestrel.h"

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

// A kernel figure of a process's memory, in KiB ("VmRSS", "VmHWM"); -1 when unknown.
long memoryKiB(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

// How many windows titled title were open at once, at most, by the lines a browser printed.
int mostOpenAtOnce(const std::string& output, const std::string& title) {
  std::istringstream lines(output);
  std::string line;
  int open = 0, most = 0;
  while (std::getline(lines, line)) {
    if (line == title + ": opened") most = std::max(most, ++open);
    if (line == title + ": closed") --open;
  }
  return most;
}

// Servers that try to break the browser.
class HostileDirectoryServer : public ::testing::Test {
 protected:
  void start(const std::string& mode) {
    server = std::make_unique<DirServerProcess>(freshAddress(),
                                                std::vector<std::string>{"--hostile", mode});
    ASSERT_TRUE(server->waitReady()) << server->out.text();
  }
  std::unique_ptr<DirClientProcess> browser(const std::string& user) {
    return std::make_unique<DirClientProcess>(freshAddress(), server->address, user, user + "@x");
  }
  // The browser still answers a typed command at once.
  void expectAlive(DirClientProcess& c) {
    ASSERT_TRUE(c.process().running()) << c.err.text();
    int tabs = c.out.count("Directory Server: Conferences page shown");
    c.command("click Active Users");
    c.command("click Conferences");
    EXPECT_TRUE(c.out.waitForCount("Directory Server: Conferences page shown", tabs + 1, 2000));
    EXPECT_FALSE(c.err.contains("AddressSanitizer")) << c.err.text();
  }
  std::unique_ptr<DirServerProcess> server;
};

TEST_F(HostileDirectoryServer, ABurstOfPasswordQuestionsNestsDialogsUntilTheBrowserDies) {
  start("passwords,3000");
  auto bob = browser("bob");
  ASSERT_TRUE(server->out.waitFor("Server: 3000 passwords sent")) << server->out.text();
  ASSERT_TRUE(bob->out.waitFor("Protected Conference: opened")) << bob->out.text();
  // Every question the queue kept is asked in turn; the ones beyond it are said to be dropped.
  int asked = 0;
  while (bob->out.waitForCount("Protected Conference: opened", asked + 1, 2000)) {
    ++asked;
    ASSERT_LE(asked, 100) << "the questions were not bounded";
    bob->command("click Cancel");
    ASSERT_TRUE(bob->out.waitForCount("Protected Conference: closed", asked)) << bob->out.text();
  }
  std::printf("questions asked: %d; memory %ld KiB, at most %ld KiB\n", asked,
              memoryKiB(bob->process().pid(), "VmRSS"), memoryKiB(bob->process().pid(), "VmHWM"));
  EXPECT_GE(asked, 2);
  EXPECT_EQ(1, mostOpenAtOnce(bob->out.text(), "Protected Conference")) << "one at a time";
  EXPECT_TRUE(bob->out.waitFor("some were dropped"));
  EXPECT_LT(memoryKiB(bob->process().pid(), "VmHWM"), 128 * 1024);
  expectAlive(*bob);
}

TEST_F(HostileDirectoryServer, ABurstOfNoticesNestsMessageBoxes) {
  start("notices,3000");
  auto bob = browser("bob");
  ASSERT_TRUE(server->out.waitFor("Server: 3000 notices sent")) << server->out.text();
  ASSERT_TRUE(bob->out.waitFor("some were dropped")) << bob->out.text();
  int shown = bob->out.count("message box \"Directory Server\" (information): Notice ");
  std::printf("notices shown: %d; memory %ld KiB, at most %ld KiB\n", shown,
              memoryKiB(bob->process().pid(), "VmRSS"), memoryKiB(bob->process().pid(), "VmHWM"));
  EXPECT_GE(shown, 1);
  EXPECT_EQ(1, bob->out.count("Notice 1\n")) << bob->out.text();
  EXPECT_LT(memoryKiB(bob->process().pid(), "VmHWM"), 128 * 1024);
  expectAlive(*bob);
}

// The conference the browser shows is deleted, with strangers joining it before and after,
// while the browser's password dialog for it is open.
TEST_F(HostileDirectoryServer, DeletingTheSelectedConferenceWhileABoxIsOpenUsesFreedMemory) {
  start("delete-while-asking");
  auto alice = browser("alice");
  auto bob = browser("bob");
  ASSERT_TRUE(bob->out.waitFor("User list + alice | alice@x")) << bob->out.text();
  alice->command("click Conferences");
  alice->command("click New");
  alice->command("type Topic = Doomed");
  alice->command("click OK");
  bob->command("click Conferences");
  ASSERT_TRUE(bob->out.waitFor("Conference list + Doomed")) << bob->out.text();
  bob->command("select Conference list = Doomed");
  ASSERT_TRUE(bob->out.waitFor("Participants + alice | alice@x")) << bob->out.text();
  bob->command("click Join");
  ASSERT_TRUE(bob->out.waitFor("Protected Conference: opened")) << bob->out.text();
  ASSERT_TRUE(bob->out.waitFor("Conference list - Doomed")) << "deleted while the box is open";
  EXPECT_EQ(0, bob->out.count("Participant not found")) << "nothing opens inside the dialog";
  bob->command("type Password = late");
  bob->command("click OK");
  ASSERT_TRUE(bob->out.waitFor("Protected Conference: closed"));
  // What went wrong meanwhile is said after, one box after the other.
  EXPECT_TRUE(bob->out.waitFor("(error): Participant not found")) << bob->out.text();
  EXPECT_TRUE(bob->out.waitFor("(error): Conference not found")) << bob->out.text();
  EXPECT_EQ(1, mostOpenAtOnce(bob->out.text(), "Protected Conference"));
  expectAlive(*bob);
  expectAlive(*alice);
}

TEST_F(HostileDirectoryServer, KestrelEndingWhileTheServerStillSendsUsesItsDestroyedWindow) {
  start("chatter");
  KestrelProcess kim(freshAddress(), "kim", 440, dotted(server->address));
  ASSERT_TRUE(kim.out.waitFor("Directory Server: opened")) << kim.out.text();
  ASSERT_TRUE(kim.out.waitForCount("User list + chatter", 50)) << kim.out.text();
  kim.command("click File/Exit");
  ASSERT_TRUE(kim.process_.waitForExit(kDeadlineMs)) << kim.out.text();
  EXPECT_EQ(0, kim.process_.exitCode());
  LogFile errors(kim.dir / "errors.txt");
  EXPECT_FALSE(errors.contains("AddressSanitizer")) << errors.text();
  EXPECT_FALSE(errors.contains("runtime error")) << errors.text();
}

}  // namespace
}  // namespace zep::testing
