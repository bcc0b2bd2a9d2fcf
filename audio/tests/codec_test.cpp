#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "audio/adpcm.h"
#include "audio/gsm_codec.h"

namespace zep::audio {
namespace {

// The coder's own predictions, sample by sample, from a given start state.
std::vector<std::int16_t> predictions(const std::vector<std::int16_t>& in, AdpcmState state) {
  std::vector<std::int16_t> out;
  std::uint8_t code[1];
  for (auto s : in) {
    adpcm_encode(std::span(&s, 1), code, state);
    out.push_back(state.predicted);
  }
  return out;
}

std::vector<std::int16_t> speechLike(std::size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> noise(0, 300);
  std::vector<std::int16_t> v(n);
  for (std::size_t i = 0; i < n; ++i) {
    double t = static_cast<double>(i) / 8000;
    double envelope = 0.5 + 0.5 * std::sin(2 * M_PI * 3 * t);
    double x =
        envelope * (6000 * std::sin(2 * M_PI * 220 * t) + 3000 * std::sin(2 * M_PI * 660 * t)) +
        noise(random);
    v[i] = static_cast<std::int16_t>(std::clamp(x, -32768.0, 32767.0));
  }
  return v;
}

double snrDb(const std::vector<std::int16_t>& ref, std::span<const std::int16_t> got,
             std::size_t skip) {
  double signal = 0, error = 0;
  for (std::size_t i = skip; i < ref.size(); ++i) {
    signal += double(ref[i]) * ref[i];
    double e = double(ref[i]) - got[i];
    error += e * e;
  }
  return 10 * std::log10(signal / std::max(error, 1.0));
}

TEST(Adpcm, SilenceCodesToZerosAndTheIndexStaysAtZero) {
  std::vector<std::int16_t> zeros(kBlockSamples, 0);
  std::vector<std::uint8_t> codes(kAdpcmBlockBytes, 0xFF);
  AdpcmState state;
  adpcm_encode(zeros, codes, state);
  EXPECT_EQ(codes, std::vector<std::uint8_t>(kAdpcmBlockBytes, 0));
  EXPECT_EQ(state.index, 0);
  EXPECT_EQ(state.predicted, 0);
}

TEST(Adpcm, FullScaleStepSaturatesWithoutWrapping) {
  std::vector<std::int16_t> step(kBlockSamples, 32767);
  std::vector<std::uint8_t> codes(kAdpcmBlockBytes);
  AdpcmState state;
  adpcm_encode(step, codes, state);
  EXPECT_EQ(state.predicted, 32767);
  auto p = predictions(step, {});
  for (auto v : p) EXPECT_GE(v, 0) << "the prediction never wraps negative";
  std::vector<std::int16_t> down(kBlockSamples, -32768);
  adpcm_encode(down, codes, state);
  EXPECT_EQ(state.predicted, -32768);
}

TEST(Adpcm, DecodingReproducesTheCodersPredictionsExactly) {
  auto in = speechLike(8 * kBlockSamples, 11);
  AdpcmState start{1234, 17};
  auto expected = predictions(in, start);
  std::vector<std::uint8_t> codes(in.size() / 2);
  AdpcmState enc = start, dec = start;
  std::vector<std::int16_t> out(in.size());
  // Block by block, the state carrying over.
  for (std::size_t b = 0; b < in.size() / kBlockSamples; ++b) {
    auto samples = std::span(in).subspan(b * kBlockSamples, kBlockSamples);
    auto blockCodes = std::span(codes).subspan(b * kAdpcmBlockBytes, kAdpcmBlockBytes);
    adpcm_encode(samples, blockCodes, enc);
    adpcm_decode(blockCodes, std::span(out).subspan(b * kBlockSamples, kBlockSamples), dec);
  }
  EXPECT_EQ(out, expected);
  EXPECT_EQ(enc.predicted, dec.predicted);
  EXPECT_EQ(enc.index, dec.index);
  EXPECT_GT(snrDb(in, out, 200), 20.0);
}

TEST(Adpcm, OddCountLeavesTheLastLowNibbleZero) {
  std::vector<std::int16_t> in = {1000, -1000, 1000};
  std::vector<std::uint8_t> codes(2, 0xFF);
  AdpcmState state;
  adpcm_encode(in, codes, state);
  EXPECT_EQ(codes[1] & 0x0F, 0);
}

TEST(Adpcm, RandomInputKeepsTheStateInRange) {
  const unsigned seed = 424242;
  std::mt19937 random(seed);
  AdpcmState enc, dec;
  std::vector<std::int16_t> in(kBlockSamples), out(kBlockSamples);
  std::vector<std::uint8_t> codes(kAdpcmBlockBytes);
  for (int block = 0; block < 500; ++block) {
    for (auto& s : in) s = static_cast<std::int16_t>(random());
    adpcm_encode(in, codes, enc);
    for (auto& c : codes) c = static_cast<std::uint8_t>(random());  // garbage for the decoder
    adpcm_decode(codes, out, dec);
    ASSERT_LE(enc.index, 88) << "seed " << seed;
    ASSERT_LE(dec.index, 88) << "seed " << seed;
  }
}

TEST(Gsm, SpeechSurvivesABlockRoundTripAndACorruptFrameIsSilent) {
  GsmCodec encoder, decoder;
  ASSERT_TRUE(encoder.valid());
  auto in = speechLike(10 * kBlockSamples, 5);
  std::vector<std::int16_t> out(in.size());
  std::vector<std::uint8_t> block(kGsmBlockBytes);
  for (std::size_t b = 0; b < 10; ++b) {
    encoder.encodeBlock(std::span(in).subspan(b * kBlockSamples, kBlockSamples), block);
    EXPECT_EQ(decoder.decodeBlock(block, std::span(out).subspan(b * kBlockSamples, kBlockSamples)),
              0);
  }
  // GSM is not waveform-exact; compare energy within the speech band instead of samples.
  double inEnergy = 0, outEnergy = 0;
  for (std::size_t i = 1600; i < in.size(); ++i) {
    inEnergy += double(in[i]) * in[i];
    outEnergy += double(out[i]) * out[i];
  }
  EXPECT_NEAR(10 * std::log10(outEnergy / inEnergy), 0.0, 3.0);

  block[2 * kGsmFrameBytes] = 0x00;  // the third frame loses its signature
  std::vector<std::int16_t> damaged(kBlockSamples, 99);
  EXPECT_EQ(decoder.decodeBlock(block, damaged), 1);
  for (std::size_t i = 2 * kGsmFrameSamples; i < 3 * kGsmFrameSamples; ++i)
    ASSERT_EQ(damaged[i], 0) << i;
}

}  // namespace
}  // namespace zep::audio
