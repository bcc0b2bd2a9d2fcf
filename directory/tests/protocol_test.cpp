#include <gtest/gtest.h>

#include "directory/messages.h"
#include "directory/tests/test_support.h"

namespace zep::directory {
namespace {

using testing::framed;
using testing::ip;
using testing::MemoryTransport;

std::vector<std::uint8_t> bytes(std::string_view s) {
  return {s.begin(), s.end()};
}

// Every message the stream holds, until the receiving loop would end.
std::vector<std::unique_ptr<DirMessage>> receiveAll(MemoryTransport& in) {
  PrototypeTable table;
  table.registerAll();
  std::vector<std::unique_ptr<DirMessage>> out;
  while (auto m = receiveNext(in, table)) out.push_back(std::move(m));
  return out;
}

// Keeps what execute delivers.
struct Recorder final : DirectoryModel {
  void onRegister(const Registration& r) override { registrations.push_back(r); }
  void onUnregister(net::Ipv4 id) override { unregistered.push_back(id); }
  void onNewConference(const NewConference& c) override { created.push_back(c); }
  void onConferenceEntry(const ConferenceEntry& c) override { entries.push_back(c); }
  void onDeleteConference(std::uint32_t) override {}
  void onJoin(const IdPair&) override {}
  void onLeave(const IdPair&) override {}
  void onNotice(const std::string& t) override { notices.push_back(t); }
  void onPasswordAsked(const PasswordText&) override {}
  void onAdmitAsked(const IdPair&) override {}
  std::vector<Registration> registrations;
  std::vector<net::Ipv4> unregistered;
  std::vector<NewConference> created;
  std::vector<ConferenceEntry> entries;
  std::vector<std::string> notices;
};

TEST(DirectoryWire, HeaderIsLengthBigEndianThenType) {
  auto h = encodeHeader({0x1234, 7});
  EXPECT_EQ((std::array<std::uint8_t, 3>{0x12, 0x34, 7}), h);
  auto back = decodeHeader(h);
  EXPECT_EQ(0x1234, back.length);
  EXPECT_EQ(7, back.type);
}

TEST(DirectoryWire, ClientRequestsAreLaidOutFieldByField) {
  MemoryTransport out;
  ServerLink link(&out);
  link.connect("", 0);
  ASSERT_EQ(0, link.requestUsers());
  ASSERT_EQ(0, link.requestConferences());
  ASSERT_EQ(0, link.registerUser("alice", "a@x"));
  ASSERT_EQ(0, link.createConference(kProtected, "Topic", "pw"));
  ASSERT_EQ(0, link.join(0x04030201));
  ASSERT_EQ(0, link.answerAdmission(0, ip("10.0.0.7")));
  std::vector<std::uint8_t> expected = {0, 0, 3,              // users
                                        0, 4, 7, 0, 0, 0, 0,  // conferences
                                        0, 15, 1, 0, 0, 0, 0, 'a', 'l', 'i', 'c', 'e', 0, 0, 'a',
                                        '@', 'x', 0,  // user id 0,
                                                      // name, "",
                                                      // e-mail
                                        0, 18, 6, 2, 0, 0, 0, 0, 0, 0, 0, 0, 'T', 'o', 'p', 'i',
                                        'c', 0, 'p', 'w', 0,              // kind, 8 id bytes, texts
                                        0, 8, 9, 1, 2, 3, 4, 0, 0, 0, 0,  // join (id, 0)
                                        0, 8, 13, 0, 0, 0, 0, 10, 0, 0, 7};  // reject
  EXPECT_EQ(expected, out.sent);
}

TEST(DirectoryWire, RequestsRefuseWhatDoesNotFit) {
  MemoryTransport out;
  ServerLink link(&out);
  EXPECT_EQ(-1, link.requestUsers()) << "nothing is registered before connecting";
  link.connect("", 0);
  EXPECT_EQ(-1, link.createConference(3, "t", ""));
  EXPECT_EQ(-1, link.registerUser(std::string(70000, 'n'), ""));
  EXPECT_TRUE(out.sent.empty());
}

TEST(DirectoryWire, PrototypeSlotsAreTakenOnce) {
  PrototypeTable table;
  EXPECT_EQ(0, table.add(std::make_unique<msgCJOIN>()));
  EXPECT_EQ(-1, table.add(std::make_unique<msgCJOIN>()));
  table.registerAll();  // again on a later connection: the free slots only
  table.registerAll();
  for (int t = 1; t <= 13; ++t) EXPECT_NE(nullptr, table.find(static_cast<std::uint8_t>(t)));
  EXPECT_EQ(nullptr, table.find(0));
  EXPECT_EQ(nullptr, table.find(14));
  EXPECT_EQ(nullptr, table.find(200));
}

TEST(DirectoryWire, TextsEndAtTheBodyWithoutANul) {
  auto r = parseRegistration(bytes(std::string("\x0a\x00\x00\x01", 4) + "bob"));
  ASSERT_TRUE(r);
  EXPECT_EQ(ip("10.0.0.1"), r->userId);
  EXPECT_EQ("bob", r->name);
  EXPECT_EQ("", r->email);
  EXPECT_EQ("cut", parseNotice(bytes("cut")));
  EXPECT_EQ("", parseNotice({}));
  EXPECT_FALSE(parseRegistration(bytes("abc")));
  EXPECT_FALSE(parseNewConference(bytes("12345678")));
  EXPECT_FALSE(parsePasswordText(bytes("123")));
}

TEST(DirectoryWire, ConferenceEntryParticipantsNeedFourWholeBytes) {
  std::vector<std::uint8_t> head = {0, 1, 0, 0, 0, 'T', 0};
  for (int extra = 0; extra <= 3; ++extra) {
    auto body = head;
    body.insert(body.end(), static_cast<std::size_t>(extra), 9);
    auto e = parseConferenceEntry(body);
    ASSERT_TRUE(e) << extra;
    EXPECT_EQ(1u, e->conferenceId);
    EXPECT_EQ("T", e->topic);
    EXPECT_TRUE(e->participants.empty()) << extra;
  }
  auto body = head;
  body.insert(body.end(), {10, 0, 0, 1, 10, 0, 0, 2, 7});
  auto e = parseConferenceEntry(body);
  ASSERT_TRUE(e);
  EXPECT_EQ((std::vector<net::Ipv4>{ip("10.0.0.1"), ip("10.0.0.2")}), e->participants);
}

TEST(DirectoryReceive, UndefinedAndUnregisteredTypesEndTheLoop) {
  for (int type : {0, 14, 200, 15, 255}) {
    auto stream = framed(static_cast<std::uint8_t>(type), {1, 2, 3, 4});
    auto more = framed(kNotice, bytes(std::string("after", 6)));
    stream.insert(stream.end(), more.begin(), more.end());
    MemoryTransport in(stream);
    EXPECT_TRUE(receiveAll(in).empty()) << type;
  }
}

TEST(DirectoryReceive, FixedSizesAreExact) {
  // msgCUNREG is 4 bytes: 8 ends the loop, as does a join of 4.
  for (auto [type, length] : {std::pair{kUnregister, 8},
                              {kUnregister, 0},
                              {kJoin, 4},
                              {kDeleteConference, 5},
                              {kAdmit, 9},
                              {kUserList, 2}}) {
    MemoryTransport in(framed(type, std::vector<std::uint8_t>(static_cast<std::size_t>(length))));
    EXPECT_TRUE(receiveAll(in).empty()) << int(type) << " of " << length;
  }
  MemoryTransport in(framed(kUnregister, {10, 0, 0, 9}));
  auto all = receiveAll(in);
  ASSERT_EQ(1u, all.size());
  Recorder r;
  all[0]->execute(r);
  EXPECT_EQ(std::vector<net::Ipv4>{ip("10.0.0.9")}, r.unregistered);
}

TEST(DirectoryReceive, EmptyNoticeTakesNoBodyAndTheLargestBodyIsRead) {
  auto stream = framed(kNotice, {});
  auto big = framed(kNotice, std::vector<std::uint8_t>(kMaxBody, 'x'));
  auto ignored = framed(kType4, {1, 2, 3, 4});
  auto reg = framed(kRegister, registrationBody({ip("10.0.0.3"), "carol", "", "c@x"}));
  for (auto* f : {&big, &ignored, &reg}) stream.insert(stream.end(), f->begin(), f->end());
  MemoryTransport in(stream);
  auto all = receiveAll(in);
  ASSERT_EQ(4u, all.size());
  Recorder r;
  for (auto& m : all)
    if (m->executes()) m->execute(r);
  EXPECT_FALSE(all[2]->executes()) << "type 4 is read and dropped";
  ASSERT_EQ(2u, r.notices.size());
  EXPECT_EQ("", r.notices[0]);
  EXPECT_EQ(std::string(kMaxBody, 'x'), r.notices[1]);
  ASSERT_EQ(1u, r.registrations.size());
  EXPECT_EQ("carol", r.registrations[0].name);
  EXPECT_EQ(in.position(), stream.size());
}

TEST(DirectoryReceive, EveryMessageCutAtEveryLengthEndsTheLoopCleanly) {
  std::vector<std::vector<std::uint8_t>> messages = {
      framed(kRegister, registrationBody({ip("10.0.0.3"), "carol", "x", "c@x"})),
      framed(kNewConference, newConferenceBody({kOpen, 5, ip("10.0.0.3"), "T", "p"})),
      framed(kConferenceList, conferenceEntryBody({0, 5, "T", {ip("10.0.0.3")}})),
      framed(kJoin, idPairBody({5, ip("10.0.0.3")})),
      framed(kPassword, passwordBody({5, "?"})),
      framed(kDeleteConference, wordBody(5)),
  };
  for (const auto& m : messages)
    for (std::size_t cut = 0; cut < m.size(); ++cut) {
      MemoryTransport in(std::vector<std::uint8_t>(m.begin(), m.begin() + static_cast<long>(cut)));
      EXPECT_TRUE(receiveAll(in).empty()) << "type " << int(m[2]) << " cut at " << cut;
    }
}

TEST(DirectoryReceive, BodiesTooShortForTheirFieldsEndTheLoop) {
  for (auto [type, length] :
       {std::pair{kRegister, 3}, {kNewConference, 8}, {kConferenceList, 4}, {kPassword, 3}}) {
    MemoryTransport in(
        framed(type, std::vector<std::uint8_t>(static_cast<std::size_t>(length), 1)));
    EXPECT_TRUE(receiveAll(in).empty()) << int(type);
  }
}

TEST(DirectoryServerSide, RequestsAreCheckedBeforeTheyAreTaken) {
  std::string why;
  EXPECT_TRUE(parseClientRequest(kUserList, {}, &why));
  EXPECT_FALSE(parseClientRequest(kUserList, bytes("x"), &why));
  EXPECT_TRUE(parseClientRequest(kConferenceList, wordBody(0), &why));
  EXPECT_FALSE(parseClientRequest(kConferenceList, {}, &why));
  EXPECT_FALSE(parseClientRequest(kRegister, registrationBody({0, "", "", "e"}), &why));
  EXPECT_FALSE(parseClientRequest(kNewConference, newConferenceBody({3, 0, 0, "t", ""}), &why));
  EXPECT_FALSE(parseClientRequest(kNewConference, newConferenceBody({0, 0, 0, "", ""}), &why));
  EXPECT_FALSE(parseClientRequest(kJoin, wordBody(1), &why));
  EXPECT_FALSE(parseClientRequest(kUnregister, wordBody(1), &why)) << "a server's message";
  EXPECT_EQ("unknown request type", why);
  auto join = parseClientRequest(kJoin, idPairBody({7, 0}), &why);
  ASSERT_TRUE(join);
  EXPECT_EQ(7u, std::get<JoinRequest>(*join).conferenceId);
}

}  // namespace
}  // namespace zep::directory
