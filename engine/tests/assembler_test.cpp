// Gathering a byte stream into whole messages, however the bytes are cut on arrival.
#include "engine/assembler.h"

#include <gtest/gtest.h>

namespace zep::engine {
namespace {

std::vector<std::uint8_t> wire(std::uint8_t tag, std::size_t payloadSize) {
  MessageHeader h;
  h.tag = tag;
  h.sender.name = "alice";
  h.length = static_cast<std::int32_t>(payloadSize);
  auto bytes = encodeHeader(h);
  for (std::size_t i = 0; i < payloadSize; ++i) bytes.push_back(static_cast<std::uint8_t>(i));
  return bytes;
}

TEST(MessageAssembler, MessagesCutAtEveryPointComeOutWholeAndInOrder) {
  auto stream = wire(LOCAL_CREATE, 0);
  auto second = wire(LOCAL_ADD_MEMBER, 28);
  stream.insert(stream.end(), second.begin(), second.end());
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    MessageAssembler a;
    Message m;
    a.append(std::span(stream).first(cut));
    std::vector<std::uint8_t> tags;
    while (a.next(&m) == AssembleStatus::kMessage) tags.push_back(m.header.tag);
    EXPECT_EQ(a.headerComplete(), a.buffered() >= kHeaderSize) << "cut " << cut;
    a.append(std::span(stream).subspan(cut));
    while (a.next(&m) == AssembleStatus::kMessage) tags.push_back(m.header.tag);
    EXPECT_EQ(tags, (std::vector<std::uint8_t>{LOCAL_CREATE, LOCAL_ADD_MEMBER})) << "cut " << cut;
    EXPECT_EQ(m.payload.size(), 28u);
    EXPECT_EQ(m.payload[27], 27);
    EXPECT_TRUE(a.empty());
  }
}

TEST(MessageAssembler, OneByteAtATime) {
  auto stream = wire(APP_DATA, 300);
  MessageAssembler a;
  Message m;
  for (std::size_t i = 0; i + 1 < stream.size(); ++i) {
    a.append(std::span(stream).subspan(i, 1));
    ASSERT_FALSE(a.hasMessage());
    ASSERT_EQ(a.next(&m), AssembleStatus::kNeedMore);
  }
  a.append(std::span(stream).last(1));
  ASSERT_TRUE(a.hasMessage());
  ASSERT_EQ(a.next(&m), AssembleStatus::kMessage);
  EXPECT_EQ(m.payload.size(), 300u);
}

TEST(MessageAssembler, AnnouncedLengthAboveTheLimitOrNegativeIsRefusedAtTheHeader) {
  for (std::int32_t length : {65537, -1, -56}) {
    MessageHeader h;
    h.tag = APP_DATA;
    h.length = length;
    MessageAssembler a;
    a.append(encodeHeader(h));
    Message m;
    EXPECT_TRUE(a.hasMessage());
    EXPECT_EQ(a.next(&m), AssembleStatus::kTooLong) << length;
    EXPECT_EQ(m.header.length, length);
  }
  MessageAssembler small(16);
  small.append(wire(APP_DATA, 16));
  Message m;
  EXPECT_EQ(small.next(&m), AssembleStatus::kMessage);
  small.append(wire(APP_DATA, 17));
  EXPECT_EQ(small.next(&m), AssembleStatus::kTooLong);
}

}  // namespace
}  // namespace zep::engine
