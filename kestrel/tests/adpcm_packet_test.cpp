// The integrated client's ADPCM packets: each decodes on its own, and the media tools'
// stateless blocks decode in step with their sender.
#include "kestrel/adpcm_packet.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "audio/codecs.h"

namespace zep::kestrel {
namespace {

std::vector<std::uint8_t> tone(int block) {
  std::vector<std::int16_t> s(audio::kBlockSamples);
  for (std::size_t i = 0; i < s.size(); ++i)
    s[i] = static_cast<std::int16_t>(9000 * std::sin(0.07 * double(i + block * s.size())));
  std::vector<std::uint8_t> b(s.size() * 2);
  std::memcpy(b.data(), s.data(), b.size());
  return b;
}

TEST(AdpcmPacket, TheStateTravelsAheadSoALostPacketCostsNothingAfterIt) {
  AdpcmPacketCodec sender, inOrder, afterLoss;
  std::vector<std::vector<std::uint8_t>> packets;
  for (int b = 0; b < 3; ++b) {
    std::vector<std::uint8_t> out(kAdpcmPacketBytes);
    ASSERT_TRUE(sender.encode(tone(b), out, false).ok());
    packets.push_back(out);
  }
  EXPECT_EQ(packets[0][0], 0);
  EXPECT_EQ(packets[0][2], 0) << "the first block starts from the coder's start state";
  std::vector<std::uint8_t> a(1600), b(1600);
  for (const auto& p : packets) inOrder.decode(1, p, a);
  afterLoss.decode(1, packets[2], b);  // the first two were lost
  EXPECT_EQ(a, b);
  auto bad = packets[1];
  bad[2] = 89;
  EXPECT_EQ(afterLoss.decode(1, bad, b), codec::CodecStatus::kDamaged);
  EXPECT_EQ(afterLoss.decode(1, std::span(bad).first(401), b), codec::CodecStatus::kDamaged);
}

TEST(AdpcmPacket, AMediaToolsBlocksDecodeLikeTheToolsOwnDecoder) {
  audio::AdpcmCodec tool, toolReceiver;
  AdpcmPacketCodec client;
  for (int blk = 0; blk < 3; ++blk) {
    std::vector<std::uint8_t> coded(audio::kAdpcmBlockBytes), ours(1600), theirs(1600);
    ASSERT_TRUE(tool.encode(tone(blk), coded, false).ok());
    ASSERT_EQ(client.decode(4, coded, ours), codec::CodecStatus::kOk);
    ASSERT_EQ(toolReceiver.decode(4, coded, theirs), codec::CodecStatus::kOk);
    EXPECT_EQ(ours, theirs) << "block " << blk;
  }
}

}  // namespace
}  // namespace zep::kestrel
