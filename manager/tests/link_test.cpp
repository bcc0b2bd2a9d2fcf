// The manager's engine link and server link against real engines, the stand-in user server,
// and raw peers playing a misbehaving engine or server.
#include "manager/link.h"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <thread>

#include "tests/driver/driver.h"

namespace zep::manager {
namespace {

using namespace engine;
using testing::dotted;
using testing::freshAddress;
using testing::freshDirectory;
using testing::kDeadlineMs;
using testing::waitUntil;

// A link with its listener thread, recording traces and callbacks.
struct ManagerUnderTest {
  ManagerUnderTest(net::Ipv4 address, const std::string& user, std::string installDirectory = "") {
    LinkOptions o;
    o.host.address = o.host.bindAddress = address;
    o.host.userName = user;
    o.installDirectory =
        installDirectory.empty() ? freshDirectory("install").string() : installDirectory;
    o.trace = [this](const std::string& t) {
      std::lock_guard lock(mutex);
      traces += t;
    };
    o.exit = [this](int code) { exitCode = code; };
    o.serverTimeoutMs = 500;
    link = std::make_unique<EngineLink>(o);
  }
  ~ManagerUnderTest() { stopListening(); }
  void listen() {
    for (int tag : {13, 14, 15, 17, 18, 20, 21, 22, 103})
      link->setControlCallback(tag, [this](const ControlEvent& e) {
        std::lock_guard lock(mutex);
        events.push_back({e.tag, e.member, {e.payload.begin(), e.payload.end()}});
      });
    listener = std::jthread([this](std::stop_token stop) {
      while (!stop.stop_requested() && exitCode < 0) link->pollLink(50);
    });
  }
  void stopListening() {
    if (listener.joinable()) {
      listener.request_stop();
      listener.join();
    }
  }
  struct Event {
    int tag;
    MemberName member;
    std::vector<std::uint8_t> payload;
  };
  std::optional<Event> waitEvent(int tag) {
    std::optional<Event> found;
    waitUntil([&] {
      std::lock_guard lock(mutex);
      for (auto& e : events)
        if (e.tag == tag) found = e;
      return found.has_value();
    });
    return found;
  }
  bool traced(const std::string& text) {
    std::lock_guard lock(mutex);
    return traces.find(text) != std::string::npos;
  }

  std::unique_ptr<EngineLink> link;
  std::mutex mutex;
  std::string traces;
  std::vector<Event> events;
  std::atomic<int> exitCode{-1};
  std::jthread listener;
};

TEST(ServerUsersWire, CountsEntriesAndLimits) {
  std::vector<MemberName> users = {{"alice", "host-a"}, {"bob", "10.0.0.2"}};
  auto bytes = encodeServerUsers(users);
  ASSERT_EQ(bytes.size(), 4 + 2 * kMemberNameSize);
  EXPECT_EQ(*decodeServerUsers(bytes), users);
  bytes[3] = 9;  // promises nine
  EXPECT_EQ(decodeServerUsers(bytes)->size(), 2u) << "only the entries present";
  for (std::size_t n = 0; n < 4; ++n) EXPECT_FALSE(decodeServerUsers(std::span(bytes).first(n)));
  std::vector<MemberName> many(150, {"u", "h"});
  EXPECT_EQ(decodeServerUsers(encodeServerUsers(many))->size(), 100u);
}

TEST(EngineLink, InvitesAndAcceptsBetweenTwoRealEngines) {
  auto a = freshAddress(), b = freshAddress();
  testing::EngineOptions optionsA, optionsB;
  optionsA.user = "alice";
  optionsB.user = "bob";
  testing::EngineProcess engineA(a, optionsA), engineB(b, optionsB);
  ASSERT_TRUE(engineA.waitReady() && engineB.waitReady());
  ManagerUnderTest alice(a, "alice"), bob(b, "bob");
  ASSERT_EQ(alice.link->linkStart(), 1);
  ASSERT_EQ(bob.link->linkStart(), 1);
  alice.listen();
  bob.listen();

  alice.link->sessionCreate();
  auto added = alice.waitEvent(CTL_ADD_MEMBER);
  ASSERT_TRUE(added);
  EXPECT_EQ(added->member.text(), "alice@" + hostNameOf(a));
  EXPECT_TRUE(alice.link->present(0));

  alice.link->inviteMember("bob", dotted(b));
  auto invitation = bob.waitEvent(CTL_INVITATION);
  ASSERT_TRUE(invitation);
  EXPECT_EQ(invitation->member.user, "alice");
  EXPECT_TRUE(alice.waitEvent(CTL_INVITATION_DELIVERED));
  bob.link->joinSession(invitation->member);
  auto accepted = alice.waitEvent(CTL_ACCEPTED);
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->member.user, "bob");
  EXPECT_TRUE(waitUntil([&] { return bob.link->present(0) && bob.link->present(1); }));

  // Run on one side reaches the other manager with the plug-in's port.
  alice.link->startApplication(12567);
  auto start = bob.waitEvent(CTL_START_APP);
  ASSERT_TRUE(start);
  EXPECT_EQ(decodeNumber(start->payload, ByteOrder::kLittle), 12567);

  // An unknown host is not invited.
  alice.link->inviteMember("carol", "no-such-host.invalid");
  EXPECT_TRUE(waitUntil([&] { return alice.traced("Manager: wrong host name\n"); }));

  // The engine going away ends the manager with code 0.
  engineB.kill();
  EXPECT_TRUE(waitUntil([&] { return bob.exitCode == 0; }));
  EXPECT_TRUE(bob.traced("Manager: engine killed, exitting...\n"));
  auto deleted = alice.waitEvent(CTL_DELETE_MEMBER);
  ASSERT_TRUE(deleted);
  EXPECT_EQ(deleted->member.user, "bob") << "named from the stored record";
}

TEST(EngineLink, NoEngineEndsTheProcessQuietly) {
  ManagerUnderTest m(freshAddress(), "alice");
  EXPECT_EQ(m.link->linkStart(), 0);
  EXPECT_EQ(m.exitCode, 0);
  EXPECT_TRUE(m.traced("Manager: can not connect to engine\n"));
}

TEST(EngineLink, NotificationsFromARawEngine) {
  auto address = freshAddress();
  const char* step = "";
  auto listener = net::listenTcp(address, kEnginePort, 5, &step);
  ASSERT_TRUE(listener);
  ManagerUnderTest m(address, "alice");
  std::thread starter([&] { m.link->linkStart(); });
  net::Ipv4 peer;
  net::Socket channel = net::acceptTcp(listener, &peer);
  starter.join();
  Message init;
  ASSERT_EQ(receiveMessage(channel.fd(), &init), ReadStatus::kOk);
  EXPECT_EQ(init.header.tag, NEW_LOCAL_INIT);
  EXPECT_EQ(init.header.sender.name, "alice");
  m.listen();

  MessageHeader h;
  h.tag = CTL_MEMBERS;
  sendMessage(channel.fd(), h, encodeMemberList({}, ByteOrder::kLittle));
  h.tag = CTL_LOCAL_MEMBER;
  sendMessage(channel.fd(), h, encodeNumber(7, ByteOrder::kLittle));
  EXPECT_TRUE(waitUntil([&] { return m.link->localHandle() == 7; }));
  EXPECT_FALSE(m.traced("wrong message tag")) << "CTL_MEMBERS is ignored quietly";

  // An inviter whose address has no name is shown, and answered, in dotted form.
  auto inviter = freshAddress();
  h.tag = CTL_INVITATION;
  sendMessage(channel.fd(), h, encodeMemberRecord({0, "mallory", inviter}));
  auto invitation = m.waitEvent(CTL_INVITATION);
  ASSERT_TRUE(invitation);
  EXPECT_EQ(invitation->member.host, dotted(inviter));
  m.link->joinSession(invitation->member);
  Message join;
  ASSERT_EQ(receiveMessage(channel.fd(), &join), ReadStatus::kOk);
  EXPECT_EQ(join.header.tag, LOCAL_JOIN);
  EXPECT_EQ(decodeMemberRecord(join.payload)->address, inviter);

  h.tag = 77;
  sendMessage(channel.fd(), h, {});
  EXPECT_TRUE(waitUntil([&] { return m.traced("Manager: wrong message tag 77\n"); }));
  h.tag = CTL_ADD_MEMBER;
  sendMessage(channel.fd(), h, encodeMemberRecord({25, "far", inviter}));
  h.tag = CTL_DELETE_MEMBER;
  sendMessage(channel.fd(), h, encodeNumber(25, ByteOrder::kLittle));
  h.tag = 77;
  sendMessage(channel.fd(), h, {});
  EXPECT_TRUE(waitUntil([&] {
    std::lock_guard lock(m.mutex);
    std::size_t n = 0;
    for (auto p = m.traces.find("wrong message tag 77"); p != std::string::npos;
         p = m.traces.find("wrong message tag 77", p + 1))
      ++n;
    return n == 2;
  }));
  std::lock_guard lock(m.mutex);
  for (auto& e : m.events) EXPECT_NE(e.tag, CTL_ADD_MEMBER) << "member 25 does not exist";
}

TEST(EngineLink, AnOverLongHeaderEndsTheChannelInsteadOfReadingOnOutOfStep) {
  auto address = freshAddress();
  const char* step = "";
  auto listener = net::listenTcp(address, kEnginePort, 5, &step);
  ASSERT_TRUE(listener);
  ManagerUnderTest m(address, "alice");
  ASSERT_EQ(m.link->linkStart(), 1);
  net::Ipv4 peer;
  net::Socket channel = net::acceptTcp(listener, &peer);
  m.listen();

  MessageHeader tooLong;
  tooLong.tag = CTL_START_APP;
  tooLong.length = static_cast<std::int32_t>(kMaxPayload + 1);
  auto stream = encodeHeader(tooLong);
  // The bytes after the announced length, read out of step, would pass for a message.
  MessageHeader local;
  local.tag = CTL_LOCAL_MEMBER;
  local.length = 4;
  auto inner = encodeHeader(local);
  auto number = encodeNumber(9, ByteOrder::kLittle);
  stream.insert(stream.end(), inner.begin(), inner.end());
  stream.insert(stream.end(), number.begin(), number.end());
  ASSERT_EQ(net::writeAll(channel.fd(), stream.data(), stream.size()), 1);

  EXPECT_TRUE(waitUntil([&] { return m.exitCode == 0; })) << "the channel ends, and the manager";
  m.stopListening();
  EXPECT_TRUE(m.traced("Manager: data reading error\n"));
  EXPECT_EQ(m.link->socket(), -1);
  EXPECT_NE(m.link->localHandle(), 9);
}

// A user server that answers each query with a prepared reply (or never).
struct FakeServer {
  explicit FakeServer(net::Ipv4 address) {
    const char* step = "";
    listener = net::listenTcp(address, kUserServerPort, 5, &step);
  }
  void answerNext(std::optional<std::pair<std::uint8_t, std::vector<std::uint8_t>>> reply) {
    worker = std::jthread([this, reply] {
      net::Ipv4 peer;
      net::Socket s = net::acceptTcp(listener, &peer);
      Message m;
      receiveMessage(s.fd(), &m);
      requests.push_back(m.header.tag);
      if (reply) {
        MessageHeader h;
        h.tag = reply->first;
        sendMessage(s.fd(), h, reply->second);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      }
    });
  }
  // The next connection gets the request read, then whatever `act` does with the socket.
  void serveNext(std::function<void(net::Socket&)> act) {
    worker = std::jthread([this, act] {
      net::Ipv4 peer;
      net::Socket s = net::acceptTcp(listener, &peer);
      Message m;
      receiveMessage(s.fd(), &m);
      requests.push_back(m.header.tag);
      act(s);
    });
  }
  net::Socket listener;
  std::vector<int> requests;
  std::jthread worker;
};

TEST(ServerLink, NoConfigurationMeansNoConnection) {
  auto address = freshAddress();
  FakeServer server(address);
  ManagerUnderTest m(address, "alice");
  EXPECT_EQ(m.link->readServerConfig(), 0u);
  m.link->queryServerUsers();
  net::ReadSet set;
  set.add(server.listener.fd());
  EXPECT_EQ(set.wait(100), 0) << "nobody connected to 4998";
}

TEST(ServerLink, RepliesReachTheDispatchTableAndASilentServerTimesOut) {
  auto address = freshAddress();
  auto install = freshDirectory("install");
  std::ofstream(install / "SERVERS.CFG") << dotted(address) << "\r\n";
  FakeServer server(address);
  ManagerUnderTest m(address, "alice", install.string());
  m.link->setControlCallback(SERVER_USERS, [&](const ControlEvent& e) {
    std::lock_guard lock(m.mutex);
    m.events.push_back({e.tag, {}, {e.payload.begin(), e.payload.end()}});
  });
  m.link->setControlCallback(CTL_INVITATION_DELIVERED, [&](const ControlEvent& e) {
    std::lock_guard lock(m.mutex);
    m.events.push_back({e.tag, e.member, {}});
  });
  ASSERT_EQ(m.link->readServerConfig(), address);

  server.answerNext({{SERVER_USERS, encodeServerUsers({})}});
  m.link->queryServerUsers();
  server.worker.join();
  ASSERT_EQ(m.events.size(), 1u);
  EXPECT_TRUE(decodeServerUsers(m.events[0].payload)->empty()) << "a count of 0 empties the table";

  // An engine notification from a user server would let it speak for the engine.
  server.answerNext({{CTL_INVITATION_DELIVERED, encodeMemberRecord({0, "x", address})}});
  EXPECT_EQ(m.link->queryServerUsers(), ServerStatus::kWrongReply);
  server.worker.join();
  EXPECT_EQ(m.events.size(), 1u) << "a user server's reply is no engine message";
  EXPECT_TRUE(m.traced("Manager: server reply with tag 22 ignored\n"));

  server.answerNext(std::nullopt);
  auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(m.link->queryServerUsers(), ServerStatus::kNoAnswer);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1400));
  EXPECT_TRUE(m.traced("Manager: server does not answer\n"));
  EXPECT_EQ(m.events.size(), 1u);
  EXPECT_EQ(server.requests, (std::vector<int>{102, 102, 102}));
}

std::vector<std::uint8_t> wireOf(std::uint8_t tag, const std::vector<std::uint8_t>& payload,
                                 std::uint32_t announced) {
  MessageHeader h;
  h.tag = tag;
  h.length = static_cast<std::int32_t>(announced);
  auto bytes = encodeHeader(h);
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return bytes;
}

TEST(ServerLink, AHalfSentOrTricklingReplyEndsByTheDeadlineWithItsStatus) {
  auto address = freshAddress();
  auto install = freshDirectory("install");
  std::ofstream(install / "SERVERS.CFG") << dotted(address) << "\n";
  FakeServer server(address);
  ManagerUnderTest m(address, "alice", install.string());  // deadlines of 500 ms
  ASSERT_EQ(m.link->readServerConfig(), address);
  int lists = 0;
  m.link->setControlCallback(SERVER_USERS, [&](const ControlEvent&) { ++lists; });
  const auto list = encodeServerUsers({{"bob", "pc1"}});
  const auto whole = wireOf(SERVER_USERS, list, static_cast<std::uint32_t>(list.size()));
  auto sendBytes = [](net::Socket& s, std::span<const std::uint8_t> bytes) {
    net::writeAll(s.fd(), bytes.data(), bytes.size());
  };
  auto holdOpen = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };

  struct Case {
    const char* what;
    std::function<void(net::Socket&)> act;
    ServerStatus expected;
    const char* trace;
  };
  const std::vector<Case> cases = {
      {"half a header, then silence",
       [&](net::Socket& s) {
         sendBytes(s, std::span(whole).first(kHeaderSize / 2));
         holdOpen(700);
       },
       ServerStatus::kCutShort, "Manager: server reply cut short\n"},
      {"the header and half the list, then silence",
       [&](net::Socket& s) {
         sendBytes(s, std::span(whole).first(kHeaderSize + 30));
         holdOpen(700);
       },
       ServerStatus::kCutShort, "Manager: server reply cut short\n"},
      {"a byte every 50 ms",
       [&](net::Socket& s) {
         for (std::size_t i = 0; i < whole.size(); ++i) {
           if (net::writeAllWithin(s.fd(), &whole[i], 1, 100) != 1) break;
           holdOpen(50);
         }
       },
       ServerStatus::kCutShort, "Manager: server reply cut short\n"},
      {"closed inside the header",
       [&](net::Socket& s) { sendBytes(s, std::span(whole).first(10)); }, ServerStatus::kClosed,
       "Mananger: server connection broken\n"},
      {"closed inside the list",
       [&](net::Socket& s) { sendBytes(s, std::span(whole).first(kHeaderSize + 4)); },
       ServerStatus::kClosedInPayload, "Manager: server connection broken\n"},
      {"a header announcing more than any message",
       [&](net::Socket& s) {
         sendBytes(s, wireOf(SERVER_USERS, {}, 1u << 30));
         holdOpen(700);
       },
       ServerStatus::kReadError, "Manager: data reading error\n"},
  };
  for (const auto& c : cases) {
    server.serveNext(c.act);
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(m.link->queryServerUsers(), c.expected) << c.what;
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(900)) << c.what;
    EXPECT_TRUE(m.traced(c.trace)) << c.what;
    EXPECT_FALSE(serverStatusText(c.expected).empty()) << c.what;
    server.worker.join();
  }
  EXPECT_EQ(lists, 0) << "no part of a list is taken";
  server.serveNext([&](net::Socket& s) { sendBytes(s, whole); });
  EXPECT_EQ(m.link->queryServerUsers(), ServerStatus::kDone) << "the next query is served";
  EXPECT_EQ(lists, 1);
  server.worker.join();
}

TEST(ServerLink, BackgroundExchangesRunInOrderAndStopReportingOnceTheLinkStops) {
  auto address = freshAddress();
  auto install = freshDirectory("install");
  std::ofstream(install / "SERVERS.CFG") << dotted(address) << "\n";
  FakeServer server(address);
  ManagerUnderTest m(address, "alice", install.string());
  ASSERT_EQ(m.link->readServerConfig(), address);
  std::atomic<int> reports{0};
  std::atomic<ServerStatus> last{ServerStatus::kBusy};
  auto report = [&](ServerStatus s) {
    last = s;
    ++reports;
  };
  // Half a header: the caller goes on at once, the report comes by the deadline.
  server.serveNext([](net::Socket& s) {
    std::vector<std::uint8_t> half(kHeaderSize / 2, 0);
    net::writeAll(s.fd(), half.data(), half.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  });
  auto before = std::chrono::steady_clock::now();
  ASSERT_TRUE(m.link->serverInBackground(SERVER_QUERY_USERS, report));
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(50));
  ASSERT_TRUE(waitUntil([&] { return reports == 1; }));
  EXPECT_EQ(last, ServerStatus::kCutShort);
  server.worker.join();

  // A server that never answers while the link stops: the exchange is cut short, unreported.
  server.answerNext(std::nullopt);
  ASSERT_TRUE(m.link->serverInBackground(SERVER_QUERY_USERS, report));
  ASSERT_TRUE(waitUntil([&] {
    std::lock_guard lock(m.mutex);
    return m.traces.find("Manager: read server message\n") !=
           m.traces.rfind("Manager: read server message\n");
  }));
  m.link->linkStop();
  m.link.reset();  // joins the link's thread
  EXPECT_EQ(reports, 1);
}

TEST(ServerLink, TheStandInServerListsWhoSignedOn) {
  auto address = freshAddress();
  auto install = freshDirectory("install");
  std::ofstream(install / "SERVERS.CFG") << dotted(address) << "\n";
  testing::UserServerProcess server(address);
  ASSERT_TRUE(server.waitReady());

  ManagerUnderTest alice(freshAddress(), "alice", install.string());
  ManagerUnderTest bob(freshAddress(), "bob", install.string());
  for (auto* m : {&alice, &bob}) {
    ASSERT_NE(m->link->readServerConfig(), 0u);
    m->link->serverSignOn();
  }
  std::vector<MemberName> listed;
  alice.link->setControlCallback(SERVER_USERS, [&](const ControlEvent& e) {
    listed = decodeServerUsers(e.payload).value_or(std::vector<MemberName>{});
  });
  alice.link->queryServerUsers();
  ASSERT_EQ(listed.size(), 2u);
  bob.link->serverSignOff();
  alice.link->queryServerUsers();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].user, "alice");
}

}  // namespace
}  // namespace zep::manager
