// The integrated client's media header, told apart from the media tools', and its sending.
#include "applink/rtp.h"

#include <gtest/gtest.h>

#include "applink/link.h"

namespace zep::applink {
namespace {

TEST(RtpDatagram, HeaderFieldsBigEndianThenTheData) {
  RtpHeader h;
  h.payloadType = 13;
  h.sequence = 0x1234;
  h.timestamp = 0x01020304;
  h.source = 7;
  std::vector<std::uint8_t> data = {9, 8, 7};
  auto bytes = encodeRtpDatagram(h, data);
  EXPECT_EQ(bytes,
            (std::vector<std::uint8_t>{0x80, 13, 0x12, 0x34, 1, 2, 3, 4, 0, 0, 0, 7, 9, 8, 7}));
  auto back = decodeRtpDatagram(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->header.sequence, 0x1234);
  EXPECT_EQ(back->header.source, 7u);
  EXPECT_EQ(back->data.size(), 3u);
  EXPECT_EQ(classifyMediaDatagram(bytes), MediaHeader::kRtp);
}

TEST(RtpDatagram, ShortOtherVersionsFlagsAndFarSourcesAreRefused) {
  RtpHeader h;
  h.source = 99;
  auto good = encodeRtpDatagram(h, {});
  ASSERT_TRUE(decodeRtpDatagram(good));
  for (std::size_t n = 0; n < kRtpHeaderSize; ++n)
    EXPECT_FALSE(decodeRtpDatagram(std::span(good).first(n))) << n;
  for (std::uint8_t first : {0x00, 0x40, 0xC0, 0xA0, 0x90, 0x81}) {
    auto bad = good;
    bad[0] = first;
    EXPECT_FALSE(decodeRtpDatagram(bad)) << int(first);
  }
  auto marked = good;
  marked[1] |= 0x80;
  EXPECT_FALSE(decodeRtpDatagram(marked));
  auto far = good;
  far[11] = 100;
  EXPECT_FALSE(decodeRtpDatagram(far));
  // A media tool's datagram starts with the zero high byte of its type.
  std::vector<std::uint8_t> block(400);
  EXPECT_EQ(classifyMediaDatagram(encodeMediaDatagram(13, 1, block)), MediaHeader::kMediaTool);
  EXPECT_EQ(classifyMediaDatagram({}), MediaHeader::kUnknown);
}

TEST(RtpSender, EveryDatagramTakesTheNextSequenceNumberAndTheToolsAddressing) {
  const char* step = "";
  auto out = net::openUdp(net::dottedAddress("127.0.0.1"), 0, &step);
  auto in = net::openUdp(net::dottedAddress("127.0.0.1"), 0, &step);
  std::uint16_t port = net::localPort(in.fd());
  engine::MemberTable members;
  engine::MemberRecord r;
  for (int n : {0, 2, 3}) {
    r.number = static_cast<std::uint8_t>(n);
    r.address = net::dottedAddress("127.0.0.1");
    members.put(r);
  }
  clock::SimulatedClock clock(5000);
  RtpSender sender(clock);
  std::vector<std::uint8_t> data(100, 1);
  ASSERT_TRUE(sender.send(out, port, -1, 14, data, members, 2));  // to 0 and 3
  EXPECT_FALSE(sender.send(out, port, -1, 14, std::vector<std::uint8_t>(60000), members, 2));
  std::vector<std::uint8_t> buffer(70000);
  for (std::uint16_t expected : {0, 1}) {
    long n = net::receiveFrom(in, buffer);
    ASSERT_EQ(n, 112);
    auto d = decodeRtpDatagram(std::span(buffer).first(static_cast<std::size_t>(n)));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->header.sequence, expected);
    EXPECT_EQ(d->header.source, 2u);
    EXPECT_EQ(d->header.timestamp, 5000u);
    EXPECT_EQ(d->header.payloadType, 14);
  }
}

}  // namespace
}  // namespace zep::applink
