// The engine inside its client program, on loopback hosts: it forms sessions with engine
// daemons and with other in-process engines, tells its client directly, and carries the
// client's data (text chat) to every member.
#include "engine/in_process.h"

#include <gtest/gtest.h>

#include <mutex>

#include "tests/driver/driver.h"

namespace zep::testing {
namespace {

using namespace engine;

// A client that records what its engine tells it, and accepts invitations when asked to.
struct RecordingClient final : EngineClient {
  struct Event {
    int tag;
    MemberRecord member;
    std::string hostName;
  };
  struct Data {
    int sender, port, tag;
    std::string text;
  };
  void onEngineEvent(int tag, const MemberRecord& m, const std::string& hostName) override {
    std::lock_guard lock(mutex);
    events.push_back({tag, m, hostName});
    if (tag == CTL_INVITATION && autoAccept && engine) engine->accept();
  }
  void onApplicationData(int sender, int port, int tag,
                         std::span<const std::uint8_t> data) override {
    std::lock_guard lock(mutex);
    received.push_back({sender, port, tag, std::string(data.begin(), data.end())});
  }
  bool waitFor(int tag, const std::string& name, int timeoutMs = kDeadlineMs) {
    return waitUntil(
        [&] {
          std::lock_guard lock(mutex);
          for (const auto& e : events)
            if (e.tag == tag && e.member.name == name) return true;
          return false;
        },
        timeoutMs);
  }
  std::vector<int> tags() {
    std::lock_guard lock(mutex);
    std::vector<int> t;
    for (const auto& e : events) t.push_back(e.tag);
    return t;
  }
  std::mutex mutex;
  std::vector<Event> events;
  std::vector<Data> received;
  bool autoAccept = false;
  InProcessEngine* engine = nullptr;
};

struct InProcessHost {
  InProcessHost(const std::string& user, bool autoAccept = false)
      : address(freshAddress()), log(std::tmpfile()) {
    host::HostIdentity id;
    id.address = id.bindAddress = address;
    id.userName = user;
    client.autoAccept = autoAccept;
    engine = std::make_unique<InProcessEngine>(id, client, log);
    client.engine = engine.get();
    started = engine->start();
  }
  ~InProcessHost() {
    engine.reset();
    std::fclose(log);
  }
  MemberRecord record() const { return recordOf(engine->session().members[0].name, address); }
  net::Ipv4 address;
  std::FILE* log;
  RecordingClient client;
  std::unique_ptr<InProcessEngine> engine;
  bool started = false;
};

TEST(InProcessEngine, InvitingWithoutASessionCreatesOneAndAnEngineHostJoins) {
  InProcessHost kay("kay");
  ASSERT_TRUE(kay.started);
  SessionHost bob("bob");
  kay.engine->invite(bob.record());
  ASSERT_TRUE(kay.client.waitFor(CTL_ADD_MEMBER, "kay")) << "a session was created first";
  ASSERT_TRUE(kay.client.waitFor(CTL_INVITATION_DELIVERED, "bob"));
  ASSERT_TRUE(bob.manager.waitFor(CTL_INVITATION));
  ASSERT_TRUE(bob.manager.send(LOCAL_JOIN));
  ASSERT_TRUE(kay.client.waitFor(CTL_ACCEPTED, "bob"));
  ASSERT_TRUE(kay.client.waitFor(CTL_ADD_MEMBER, "bob"));
  auto members = membersOf(bob.manager);
  ASSERT_EQ(members.size(), 2u);
  EXPECT_EQ(members[0], recordOf("kay", kay.address, 0));
  EXPECT_EQ(members[1], bob.record(1));
  EXPECT_EQ(kay.engine->session().members.count(), 2);
  // The client is told host names, not addresses; a leaving member with its whole record.
  ASSERT_TRUE(bob.manager.send(LOCAL_LEAVE));
  ASSERT_TRUE(kay.client.waitFor(CTL_DELETE_MEMBER, "bob"));
  EXPECT_EQ(kay.engine->session().members.count(), 1);
}

TEST(InProcessEngine, AChatLineReachesEveryOtherClientAndApplication) {
  InProcessHost kay("kay"), lou("lou", true);
  SessionHost carl("carl");
  ASSERT_TRUE(kay.started && lou.started);
  kay.engine->create();
  kay.engine->invite(recordOf("lou", lou.address));
  ASSERT_TRUE(kay.client.waitFor(CTL_ACCEPTED, "lou"));
  kay.engine->invite(carl.record());
  ASSERT_TRUE(carl.manager.waitFor(CTL_INVITATION));
  carl.manager.send(LOCAL_JOIN);
  ASSERT_TRUE(kay.client.waitFor(CTL_ACCEPTED, "carl"));
  ASSERT_TRUE(lou.client.waitFor(CTL_ADD_MEMBER, "carl"));
  Peer chat = Peer::application(carl.address, 6666);
  ASSERT_TRUE(chat.waitFor(CTL_LOCAL_MEMBER));

  const char line[] = "hello everyone";
  kay.engine->sendToApplication(
      6666, 33, std::span(reinterpret_cast<const std::uint8_t*>(line), sizeof line));
  ASSERT_TRUE(waitUntil([&] {
    std::lock_guard lock(lou.client.mutex);
    return !lou.client.received.empty();
  }));
  {
    std::lock_guard lock(lou.client.mutex);
    const auto& got = lou.client.received[0];
    EXPECT_EQ(got.sender, 0);
    EXPECT_EQ(got.port, 6666);
    EXPECT_EQ(got.tag, 33);
    EXPECT_EQ(got.text, std::string(line, sizeof line)) << "the text with its NUL";
  }
  auto atCarl = chat.waitFor(33);
  ASSERT_TRUE(atCarl) << "an engine host's application on port 6666 gets tag 33";
  EXPECT_EQ(atCarl->payload.size(), sizeof line);
}

TEST(InProcessEngine, AnEngineAlreadyOnTheAddressMeansTheClientCannotStart) {
  auto address = freshAddress();
  EngineProcess daemon(address);
  ASSERT_TRUE(daemon.waitReady());
  host::HostIdentity id;
  id.address = id.bindAddress = address;
  RecordingClient client;
  std::FILE* log = std::tmpfile();
  {
    InProcessEngine engine(id, client, log);
    EXPECT_FALSE(engine.start());
  }
  std::fclose(log);
}

TEST(InProcessEngine, OffersNoManagerOrApplicationChannels) {
  InProcessHost kay("kay");
  kay.engine->create();
  for (std::uint8_t tag : {NEW_LOCAL_INIT, NEW_APP_ATTACH}) {
    Peer p = Peer::connect(kay.address);
    ByteWriter port;
    port.u16(12567, ByteOrder::kBig);
    p.send(tag, port.data());
    EXPECT_TRUE(p.waitClosed()) << int(tag);
  }
  EXPECT_EQ(kay.engine->session().members.count(), 1) << "the session goes on";
}

}  // namespace
}  // namespace zep::testing
