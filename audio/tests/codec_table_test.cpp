// The audio codecs behind the one codec interface: looked up by type, every output bound
// checked, short blocks refused.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "audio/codecs.h"

namespace zep::audio {
namespace {

std::vector<std::uint8_t> toneBlock() {
  std::vector<std::int16_t> s(kBlockSamples);
  for (std::size_t i = 0; i < s.size(); ++i)
    s[i] = static_cast<std::int16_t>(8000 * std::sin(2 * 3.14159265 * 440 * i / 8000.0));
  std::vector<std::uint8_t> bytes(kBlockBytes);
  std::memcpy(bytes.data(), s.data(), kBlockBytes);
  return bytes;
}

TEST(AudioCodecTable, EachCodecByTypeWithItsBlockSize) {
  codec::CodecTable table;
  addAudioCodecs(table);
  EXPECT_EQ(table.find(99), nullptr);
  const std::pair<std::uint32_t, std::size_t> sizes[] = {
      {AUDIO_ADPCM, 400}, {AUDIO_GSM, 165}, {AUDIO_PCM, 1600}};
  for (auto [type, coded] : sizes) {
    auto* c = table.find(static_cast<int>(type));
    ASSERT_NE(c, nullptr) << type;
    EXPECT_EQ(c->type(), static_cast<int>(type));
    auto block = toneBlock();
    std::vector<std::uint8_t> out(2000, 0xAA);
    // One byte too few: refused, nothing written.
    auto tooSmall = c->encode(block, std::span(out).first(coded - 1), false);
    EXPECT_EQ(tooSmall.status, codec::CodecStatus::kOutputTooSmall) << type;
    EXPECT_EQ(out[0], 0xAA);
    auto r = c->encode(block, out, false);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.bytes, coded) << type;
    EXPECT_EQ(out[coded], 0xAA) << "nothing past the coded block";
    std::vector<std::uint8_t> decoded(kBlockBytes);
    EXPECT_EQ(c->decode(0, std::span(out).first(coded - 1), decoded), codec::CodecStatus::kDamaged);
    EXPECT_EQ(c->decode(kMaxSenders, std::span(out).first(coded), decoded),
              codec::CodecStatus::kInputSize);
    EXPECT_EQ(c->decode(0, std::span(out).first(coded), decoded), codec::CodecStatus::kOk);
    EXPECT_EQ(c->encode(std::span(block).first(100), out, false).status,
              codec::CodecStatus::kInputSize);
  }
}

TEST(AudioCodecTable, PcmIsBigEndianOnTheWireAndComesBackExactly) {
  PcmCodec pcm;
  auto block = toneBlock();
  std::vector<std::uint8_t> wire(kBlockBytes), back(kBlockBytes);
  ASSERT_TRUE(pcm.encode(block, wire, false).ok());
  EXPECT_EQ(wire[2], block[3]) << "high byte first";
  EXPECT_EQ(wire[3], block[2]);
  ASSERT_EQ(pcm.decode(5, wire, back), codec::CodecStatus::kOk);
  EXPECT_EQ(back, block);
}

TEST(AudioCodecTable, AdpcmDecodersOfSendersAreApartAndResetAlone) {
  AdpcmCodec adpcm;
  auto block = toneBlock();
  std::vector<std::uint8_t> coded(kAdpcmBlockBytes), a(kBlockBytes), b(kBlockBytes);
  ASSERT_TRUE(adpcm.encode(block, coded, false).ok());
  ASSERT_TRUE(adpcm.encode(block, coded, false).ok());  // a second block: state carried over
  adpcm.decode(1, coded, a);                            // sender 1 saw the first block too
  adpcm.resetSender(1);
  adpcm.decode(1, coded, a);
  adpcm.decode(2, coded, b);  // sender 2 fresh
  EXPECT_EQ(a, b) << "a reset sender decodes like a fresh one";
}

// An integrated client's ADPCM packet carries the state its block starts from: a receiver
// that missed everything before decodes it as one that heard it all.
TEST(AudioCodecTable, AdpcmWithTheStateAheadStartsFromThatState) {
  auto first = toneBlock(), second = toneBlock();
  AdpcmState coder;
  std::vector<std::uint8_t> codes1(kAdpcmBlockBytes), codes2(kAdpcmBlockBytes);
  std::vector<std::int16_t> s1(kBlockSamples), s2(kBlockSamples);
  std::memcpy(s1.data(), first.data(), kBlockBytes);
  std::memcpy(s2.data(), second.data(), kBlockBytes);
  adpcm_encode(s1, codes1, coder);
  AdpcmState before = coder;
  adpcm_encode(s2, codes2, coder);
  std::vector<std::uint8_t> packet = {
      static_cast<std::uint8_t>(std::uint16_t(before.predicted) >> 8),
      static_cast<std::uint8_t>(before.predicted & 0xFF), before.index};
  packet.insert(packet.end(), codes2.begin(), codes2.end());

  AdpcmCodec heardAll, heardLast;
  std::vector<std::uint8_t> a(kBlockBytes), b(kBlockBytes);
  heardAll.decode(1, codes1, a);
  heardAll.decode(1, codes2, a);
  ASSERT_EQ(heardLast.decode(1, packet, b), codec::CodecStatus::kOk);
  EXPECT_EQ(a, b);
  packet[2] = 89;
  EXPECT_EQ(heardLast.decode(1, packet, b), codec::CodecStatus::kDamaged) << "no such step";
}

// libgsm's decoder carries a stream's history from frame to frame: two members who speak in
// turn must each be decoded as libgsm decodes that member alone, however the blocks interleave.
TEST(AudioCodecTable, TwoGsmTalkersInTurnEachDecodeAsLibgsmDecodesThemAlone) {
  auto voice = [](double hz, std::size_t block) {
    std::vector<std::int16_t> s(kBlockSamples);
    for (std::size_t i = 0; i < s.size(); ++i) {
      double t = double(block * kBlockSamples + i) / 8000;
      s[i] = static_cast<std::int16_t>(6000 * std::sin(2 * 3.14159265 * hz * t) +
                                       2500 * std::sin(2 * 3.14159265 * 3.1 * hz * t));
    }
    return s;
  };
  GsmCodec annaCoder, bertCoder, annaAlone, bertAlone;
  GsmBlockCodec receiver;
  // Turns of three blocks each: anna, bert, anna, bert.
  std::size_t annaBlock = 0, bertBlock = 0;
  for (int turn = 0; turn < 4; ++turn) {
    const bool anna = turn % 2 == 0;
    for (int k = 0; k < 3; ++k) {
      const std::size_t block = anna ? annaBlock++ : bertBlock++;
      std::vector<std::uint8_t> coded(kGsmBlockBytes);
      (anna ? annaCoder : bertCoder).encodeBlock(voice(anna ? 300 : 520, block), coded);
      std::vector<std::int16_t> alone(kBlockSamples);
      (anna ? annaAlone : bertAlone).decodeBlock(coded, alone);
      std::vector<std::uint8_t> heard(kBlockBytes);
      ASSERT_EQ(receiver.decode(anna ? 1 : 2, coded, heard), codec::CodecStatus::kOk);
      ASSERT_EQ(std::memcmp(heard.data(), alone.data(), kBlockBytes), 0)
          << (anna ? "anna" : "bert") << " block " << block << " of turn " << turn;
    }
  }
  // A sender forgotten (it left) starts afresh, as a new stream does.
  receiver.resetSender(1);
  GsmCodec fresh;
  std::vector<std::uint8_t> coded(kGsmBlockBytes), heard(kBlockBytes);
  annaCoder.encodeBlock(voice(300, annaBlock), coded);
  std::vector<std::int16_t> alone(kBlockSamples);
  fresh.decodeBlock(coded, alone);
  ASSERT_EQ(receiver.decode(1, coded, heard), codec::CodecStatus::kOk);
  EXPECT_EQ(std::memcmp(heard.data(), alone.data(), kBlockBytes), 0);

  // The reset handshake restarts the coder too, so the receivers' fresh decoders match it.
  GsmBlockCodec sender;
  GsmCodec freshCoder;
  auto samples = voice(300, 0);
  std::vector<std::uint8_t> input(kBlockBytes), sent(kGsmBlockBytes), expected(kGsmBlockBytes);
  std::memcpy(input.data(), samples.data(), kBlockBytes);
  ASSERT_TRUE(sender.encode(input, sent, false).ok());
  sender.resetEncoder();
  ASSERT_TRUE(sender.encode(input, sent, false).ok());
  freshCoder.encodeBlock(samples, expected);
  EXPECT_EQ(sent, expected);
}

}  // namespace
}  // namespace zep::audio
