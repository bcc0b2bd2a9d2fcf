#include "engine/messages.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>

#include "platform/net.h"

namespace zep::engine {
namespace {

MessageHeader sampleHeader() {
  MessageHeader h;
  h.tag = LOCAL_ADD_MEMBER;
  h.session = 0x42;
  h.sender = {3, "nineteen-characters", net::dottedAddress("10.1.2.3")};
  h.target = {7, "bob", net::dottedAddress("192.168.4.5")};
  return h;
}

TEST(Header, LayoutIsFiftySixBytesWithTheRecordsSqueezed) {
  auto bytes = encodeHeader(sampleHeader());
  ASSERT_EQ(bytes.size(), kHeaderSize);
  EXPECT_EQ(bytes[0], LOCAL_ADD_MEMBER);
  EXPECT_EQ(bytes[1], 0x42);
  EXPECT_EQ(bytes[2], 3);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&bytes[3])), "nineteen-characters");
  EXPECT_EQ(bytes[22], 0);  // the terminator of a 19-character name
  EXPECT_EQ((std::vector<std::uint8_t>(bytes.begin() + 23, bytes.begin() + 27)),
            (std::vector<std::uint8_t>{10, 1, 2, 3}));
  EXPECT_EQ(bytes[27], 7);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&bytes[28])), "bob");
  EXPECT_EQ((std::vector<std::uint8_t>(bytes.begin() + 48, bytes.begin() + 52)),
            (std::vector<std::uint8_t>{192, 168, 4, 5}));
  EXPECT_EQ((std::vector<std::uint8_t>(bytes.begin() + 52, bytes.end())),
            (std::vector<std::uint8_t>{0, 0, 0, 0}));
}

TEST(Header, RoundTripKeepsANineteenCharacterNameAndCutsLongerOnes) {
  MessageHeader h = sampleHeader();
  h.length = 0x01020304;
  auto back = decodeHeader(encodeHeader(h));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->sender, h.sender);
  EXPECT_EQ(back->target, h.target);
  EXPECT_EQ(back->length, 0x01020304);
  EXPECT_EQ(encodeHeader(h)[55], 0x04) << "length is big-endian";

  h.sender.name = "a-name-much-longer-than-the-field";
  auto bytes = encodeHeader(h);
  EXPECT_EQ(bytes.size(), kHeaderSize);
  EXPECT_EQ(decodeHeader(bytes)->sender.name, "a-name-much-longer-");
  EXPECT_EQ(decodeHeader(bytes)->sender.address, h.sender.address) << "no overflow into it";
}

TEST(Header, NameWithoutTerminatorDecodesToATerminatedName) {
  std::vector<std::uint8_t> bytes(kHeaderSize, 'x');
  bytes[52] = bytes[53] = bytes[54] = bytes[55] = 0;
  auto h = decodeHeader(bytes);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->sender.name, std::string(kMaxNameLength, 'x'));
  EXPECT_EQ(h->target.name, std::string(kMaxNameLength, 'x'));
}

TEST(Header, EveryShortCutIsRefused) {
  auto bytes = encodeHeader(sampleHeader());
  for (std::size_t n = 0; n < kHeaderSize; ++n)
    EXPECT_FALSE(decodeHeader(std::span(bytes).first(n))) << "cut at " << n;
}

TEST(MemberRecordWire, RoundTripAndCuts) {
  MemberRecord r{19, "carol", net::dottedAddress("127.0.0.9")};
  auto bytes = encodeMemberRecord(r);
  ASSERT_EQ(bytes.size(), kMemberRecordSize);
  EXPECT_EQ(bytes[0], 19);
  EXPECT_EQ(bytes[24], 127);
  EXPECT_EQ(bytes[27], 9);
  EXPECT_EQ(*decodeMemberRecord(bytes), r);
  for (std::size_t n = 0; n < kMemberRecordSize; ++n)
    EXPECT_FALSE(decodeMemberRecord(std::span(bytes).first(n)));
}

TEST(MemberListWire, EmptySessionIsThirtySixBytesWithCountZero) {
  auto bytes = encodeMemberList({}, ByteOrder::kLittle);
  ASSERT_EQ(bytes.size(), 36u);
  auto list = decodeMemberList(bytes, ByteOrder::kLittle);
  ASSERT_TRUE(list);
  EXPECT_EQ(list->announced, 0u);
  EXPECT_TRUE(list->list.records.empty());
  EXPECT_FALSE(list->truncated);
}

TEST(MemberListWire, CountByteOrderAndWordZero) {
  MemberList list;
  list.word0 = 2;
  list.records = {{0, "a", net::dottedAddress("127.0.0.1")},
                  {2, "b", net::dottedAddress("127.0.0.2")}};
  auto big = encodeMemberList(list, ByteOrder::kBig);
  ASSERT_EQ(big.size(), 8 + 2 * kMemberRecordSize);
  EXPECT_EQ((std::vector<std::uint8_t>(big.begin(), big.begin() + 8)),
            (std::vector<std::uint8_t>{0, 0, 0, 2, 0, 0, 0, 2}));
  auto little = encodeMemberList(list, ByteOrder::kLittle);
  EXPECT_EQ(little[4], 2);
  EXPECT_EQ(little[7], 0);
  auto back = decodeMemberList(big, ByteOrder::kBig);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->list.word0, 2);
  EXPECT_EQ(back->list.records, list.records);
}

TEST(MemberListWire, ACountPromisingMoreThanThePayloadUsesOnlyTheRecordsPresent) {
  MemberList list;
  list.records = {{0, "a", 1}, {1, "b", 2}, {2, "c", 3}};
  auto bytes = encodeMemberList(list, ByteOrder::kBig);
  bytes[7] = 200;
  for (std::size_t n = 0; n <= bytes.size(); ++n) {
    auto cut = decodeMemberList(std::span(bytes).first(n), ByteOrder::kBig);
    if (n < 8) {
      EXPECT_FALSE(cut);
      continue;
    }
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->list.records.size(), (n - 8) / kMemberRecordSize) << "cut at " << n;
    EXPECT_TRUE(cut->truncated);
  }
}

TEST(AppMessageWire, AMessageWithoutDataIsForwardedWithoutData) {
  // Fifteen bytes decode to no data and encode to fifteen bytes again; sixteen (one zero data
  // byte, the form a manager sends) stay sixteen.
  for (std::size_t length : {15u, 16u}) {
    std::vector<std::uint8_t> bytes(length, 0);
    bytes[8] = 0x17;
    bytes[9] = 0x31;
    auto back = decodeAppMessage(bytes, kLocalOrder);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->port, 12567);
    EXPECT_EQ(back->data.size(), length - 15);
    EXPECT_EQ(encodeAppMessage(*back, kMemberOrder).size(), length);
    EXPECT_EQ(encodeAppMessage(*back, kLocalOrder), bytes);
  }
}

TEST(AppMessageWire, ByteOrderOfEachChannel) {
  AppMessage m{0xA1B2C3D4, -1, 12567, 0x0102, {9, 8, 7}};
  auto local = encodeAppMessage(m, kLocalOrder);
  auto member = encodeAppMessage(m, kMemberOrder);
  auto appData = encodeAppMessage(m, kAppDataOrder);
  ASSERT_EQ(local.size(), 3u + 15u);
  // first word untouched in all three
  EXPECT_EQ((std::vector<std::uint8_t>(local.begin(), local.begin() + 4)),
            (std::vector<std::uint8_t>(member.begin(), member.begin() + 4)));
  EXPECT_EQ(local[8], 0x17);  // 12567 = 0x3117, little-endian
  EXPECT_EQ(member[8], 0x00);
  EXPECT_EQ(member[11], 0x17);
  EXPECT_EQ(appData[11], 0x17) << "application port travels in network order";
  EXPECT_EQ(appData[12], 0x02) << "application tag travels in host order";
  EXPECT_EQ(member[12], 0x01);
  for (auto order : {kLocalOrder, kMemberOrder, kAppDataOrder}) {
    auto back = decodeAppMessage(encodeAppMessage(m, order), order);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->firstWord, m.firstWord);
    EXPECT_EQ(back->destination, -1);
    EXPECT_EQ(back->port, 12567);
    EXPECT_EQ(back->tag, 0x0102);
    EXPECT_EQ(back->data, m.data);
  }
}

TEST(AppMessageWire, EveryCutIsSafe) {
  AppMessage m{1, 2, 3, 4, std::vector<std::uint8_t>(20, 5)};
  auto bytes = encodeAppMessage(m, kMemberOrder);
  for (std::size_t n = 0; n <= bytes.size(); ++n) {
    auto cut = decodeAppMessage(std::span(bytes).first(n), kMemberOrder);
    if (n < 15) {
      EXPECT_FALSE(cut) << n;
    } else {
      ASSERT_TRUE(cut);
      EXPECT_EQ(cut->data.size(), n - 15);
    }
  }
}

TEST(AppMessageWire, RandomBytesNeverReadPastTheEnd) {
  unsigned seed = 20261207;
  std::mt19937 random(seed);
  for (int i = 0; i < 2000; ++i) {
    std::vector<std::uint8_t> bytes(random() % 200);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    // exact-size copies let the address sanitizer catch a read past the end
    decodeAppMessage(bytes, kMemberOrder);
    decodeMemberList(bytes, ByteOrder::kBig);
    decodeMemberRecord(bytes);
    decodeHeader(bytes);
  }
  SUCCEED() << "seed " << seed;
}

class SocketPair : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0); }
  void TearDown() override {
    if (fds_[0] >= 0) ::close(fds_[0]);
    if (fds_[1] >= 0) ::close(fds_[1]);
  }
  void closeWriter() {
    ::close(fds_[0]);
    fds_[0] = -1;
  }
  int fds_[2] = {-1, -1};
};

TEST_F(SocketPair, PayloadlessMessageIsExactlyTheHeader) {
  ASSERT_EQ(sendMessage(fds_[0], sampleHeader(), {}), 1);
  closeWriter();
  std::uint8_t buffer[100];
  EXPECT_EQ(::recv(fds_[1], buffer, sizeof buffer, MSG_WAITALL), 56);
}

TEST_F(SocketPair, MessageRoundTripThroughASocket) {
  std::vector<std::uint8_t> payload = {1, 2, 3, 4, 5};
  ASSERT_EQ(sendMessage(fds_[0], sampleHeader(), payload), 1);
  Message m;
  ASSERT_EQ(receiveMessage(fds_[1], &m), ReadStatus::kOk);
  EXPECT_EQ(m.header.length, 5);
  EXPECT_EQ(m.payload, payload);
  EXPECT_EQ(m.header.sender, sampleHeader().sender);
}

TEST_F(SocketPair, LossInHeaderOrPayloadIsToldApart) {
  auto header = encodeHeader(sampleHeader());
  ASSERT_EQ(net::writeAll(fds_[0], header.data(), 30), 1);
  closeWriter();
  Message m;
  EXPECT_EQ(receiveMessage(fds_[1], &m), ReadStatus::kHeaderClosed);
}

TEST_F(SocketPair, ClosedInsideThePayload) {
  MessageHeader h = sampleHeader();
  h.length = 10;
  auto header = encodeHeader(h);
  ASSERT_EQ(net::writeAll(fds_[0], header.data(), header.size()), 1);
  ASSERT_EQ(net::writeAll(fds_[0], "abc", 3), 1);
  closeWriter();
  Message m;
  EXPECT_EQ(receiveMessage(fds_[1], &m), ReadStatus::kPayloadClosed);
}

TEST_F(SocketPair, AnnouncedLengthAboveTheBoundIsRefusedBeforeAllocating) {
  MessageHeader h = sampleHeader();
  h.length = -1;  // 4 GiB less one, as an unsigned wire value
  auto header = encodeHeader(h);
  ASSERT_EQ(net::writeAll(fds_[0], header.data(), header.size()), 1);
  Message m;
  EXPECT_EQ(receiveMessage(fds_[1], &m), ReadStatus::kTooLong);
  EXPECT_TRUE(m.payload.empty());
}

TEST(SendMessage, InvalidHandleSendsNothing) {
  EXPECT_EQ(sendMessage(-1, {}, {}), 0);
}

}  // namespace
}  // namespace zep::engine
