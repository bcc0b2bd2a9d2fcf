// The picture codecs through libavcodec: quality, intra and predicted pictures, the output
// bound, per-sender references, and damaged data from the network.
#include "codecs/h26x.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "codecs/picture.h"

namespace zep::picture {
namespace {

// A smooth moving picture: gradients and a bright square that moves with n.
VideoFrame420 movingPicture(int n) {
  VideoFrame420 f;
  for (int r = 0; r < kHeight; ++r)
    for (int c = 0; c < kWidth; ++c) {
      bool square = r >= 40 && r < 80 && c >= 20 + 3 * n && c < 60 + 3 * n;
      f.y()[r * kWidth + c] = static_cast<std::uint8_t>(square ? 220 : 40 + (r + c + n) % 120);
    }
  for (std::size_t i = 0; i < kChromaSize; ++i) {
    f.cb()[i] = static_cast<std::uint8_t>(100 + i % 40);
    f.cr()[i] = static_cast<std::uint8_t>(150 - i % 30);
  }
  return f;
}

double psnr(const VideoFrame420& a, std::span<const std::uint8_t> b) {
  double sum = 0;
  for (std::size_t i = 0; i < kLumaSize; ++i) {
    double d = double(a.bytes[i]) - double(b[i]);
    sum += d * d;
  }
  double mse = sum / kLumaSize;
  return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

struct Coded {
  codec::EncodeResult result;
  std::vector<std::uint8_t> bytes;
};

Coded code(H26xCodec& codec, const VideoFrame420& f, bool intra) {
  Coded c;
  c.bytes.resize(kCodedFrameCapacity);
  c.result = codec.encode(f.bytes, c.bytes, intra);
  c.bytes.resize(c.result.bytes);
  return c;
}

class Codecs : public ::testing::TestWithParam<H26xCodec::Standard> {
 protected:
  void SetUp() override {
    std::string error;
    codec_ = H26xCodec::create(GetParam(), &error);
    ASSERT_TRUE(codec_) << error;
  }
  std::unique_ptr<H26xCodec> codec_;
};

TEST_P(Codecs, IntraThenPredictedPicturesComeBackClearly) {
  std::vector<std::uint8_t> out(kFrame420Size);
  std::size_t intraBytes = 0, predictedBytes = 0;
  for (int n = 0; n < 10; ++n) {
    auto picture = movingPicture(n);
    auto coded = code(*codec_, picture, n == 0);
    ASSERT_TRUE(coded.result.ok()) << n;
    (n == 0 ? intraBytes : predictedBytes) += coded.bytes.size();
    ASSERT_EQ(codec_->decode(3, coded.bytes, out), codec::CodecStatus::kOk) << n;
    EXPECT_GT(psnr(picture, out), 30.0) << "picture " << n;
  }
  EXPECT_LT(predictedBytes / 9, intraBytes / 2) << "predicted pictures are smaller";
}

TEST_P(Codecs, IntraOnlyCodesEveryPictureWithoutReference) {
  codec_->setIntraOnly(true);
  auto first = code(*codec_, movingPicture(0), true);
  auto second = code(*codec_, movingPicture(1), false);
  ASSERT_TRUE(second.result.ok());
  // A decoder that never saw the first picture decodes the second.
  std::vector<std::uint8_t> out(kFrame420Size);
  EXPECT_EQ(codec_->decode(5, second.bytes, out), codec::CodecStatus::kOk);
  EXPECT_GT(psnr(movingPicture(1), out), 30.0);
}

TEST_P(Codecs, APictureThatDoesNotFitIsRefusedAndCountedNeverCut) {
  std::vector<std::uint8_t> small(64, 0xEE);
  auto picture = movingPicture(0);
  auto result = codec_->encode(picture.bytes, small, true);
  EXPECT_EQ(result.status, codec::CodecStatus::kOutputTooSmall);
  EXPECT_EQ(codec_->refused(), 1u);
  EXPECT_EQ(small[0], 0xEE) << "nothing written";
  EXPECT_EQ(codec_->encode(std::span(picture.bytes).first(100), small, true).status,
            codec::CodecStatus::kInputSize);
}

TEST_P(Codecs, EachSenderKeepsItsOwnReferencePictures) {
  std::string error;
  auto other = H26xCodec::create(GetParam(), &error);
  std::vector<std::uint8_t> out(kFrame420Size);
  // Two senders with different pictures, their streams interleaved at one receiver.
  for (int n = 0; n < 6; ++n) {
    auto a = code(*codec_, movingPicture(n), n == 0);
    auto b = code(*other, movingPicture(20 - n), n == 0);
    ASSERT_EQ(codec_->decode(0, a.bytes, out), codec::CodecStatus::kOk);
    EXPECT_GT(psnr(movingPicture(n), out), 30.0);
    ASSERT_EQ(codec_->decode(1, b.bytes, out), codec::CodecStatus::kOk);
    EXPECT_GT(psnr(movingPicture(20 - n), out), 30.0);
  }
  EXPECT_EQ(codec_->decode(20, std::vector<std::uint8_t>(10), out), codec::CodecStatus::kInputSize);
}

TEST_P(Codecs, DamagedDataGivesNoPictureAndTheNextIntraPictureShowsAgain) {
  const unsigned seed = 77;
  std::mt19937 random(seed);
  std::vector<std::uint8_t> out(kFrame420Size);
  auto intra = code(*codec_, movingPicture(0), true);
  ASSERT_TRUE(intra.result.ok());
  std::vector<std::vector<std::uint8_t>> damaged;
  for (int i = 0; i < 40; ++i) {
    std::vector<std::uint8_t> bytes(1 + random() % 3000);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    damaged.push_back(bytes);
  }
  for (std::size_t cut = 0; cut < intra.bytes.size(); cut += 97)
    damaged.emplace_back(intra.bytes.begin(), intra.bytes.begin() + cut);
  for (int i = 0; i < 40; ++i) {
    auto flipped = intra.bytes;
    flipped[random() % flipped.size()] ^= static_cast<std::uint8_t>(1 << (random() % 8));
    damaged.push_back(flipped);
  }
  for (const auto& d : damaged) {
    std::fill(out.begin(), out.end(), 0);
    auto status = codec_->decode(2, d, out);
    // A flipped bit may still decode to a picture; random bytes and cut data must not crash.
    EXPECT_TRUE(status == codec::CodecStatus::kOk || status == codec::CodecStatus::kDamaged);
  }
  EXPECT_EQ(codec_->decode(2, {}, out), codec::CodecStatus::kDamaged);
  auto again = code(*codec_, movingPicture(4), true);
  ASSERT_EQ(codec_->decode(2, again.bytes, out), codec::CodecStatus::kOk) << "seed " << seed;
  EXPECT_GT(psnr(movingPicture(4), out), 30.0);
  EXPECT_GT(codec_->damaged(), 0u);
}

// Without anybody resetting the sender: after one cut picture, the next whole intra picture
// shows again (a decoder that kept the damaged picture back would refuse everything after).
TEST_P(Codecs, OneCutPictureDoesNotBlockTheSendersNextIntraPicture) {
  std::vector<std::uint8_t> out(kFrame420Size);
  for (std::size_t cut : {10, 100, 700}) {
    auto intra = code(*codec_, movingPicture(1), true);
    ASSERT_GT(intra.bytes.size(), cut);
    codec_->decode(6, std::span(intra.bytes).first(cut), out);
    auto next = code(*codec_, movingPicture(2), true);
    ASSERT_EQ(codec_->decode(6, next.bytes, out), codec::CodecStatus::kOk) << "cut at " << cut;
    EXPECT_GT(psnr(movingPicture(2), out), 30.0);
    auto predicted = code(*codec_, movingPicture(3), false);
    EXPECT_EQ(codec_->decode(6, predicted.bytes, out), codec::CodecStatus::kOk);
  }
}

// Predicted pictures that arrive before any intra picture (or after a damaged one) used to
// decode against an empty reference and show as near-black pictures.
TEST_P(Codecs, PredictedPicturesWithoutAGoodReferenceGiveNoPicture) {
  std::vector<std::uint8_t> out(kFrame420Size, 0x55);
  code(*codec_, movingPicture(0), true);  // the intra picture that never arrives
  for (int n = 1; n <= 4; ++n) {
    auto predicted = code(*codec_, movingPicture(n), false);
    EXPECT_EQ(codec_->decode(7, predicted.bytes, out), codec::CodecStatus::kNoReference) << n;
  }
  EXPECT_EQ(std::count(out.begin(), out.end(), 0x55), static_cast<long>(out.size()))
      << "nothing written";
  EXPECT_EQ(codec_->unreferenced(), 4u);
  auto decodes = [&](int n, bool intra) {
    auto coded = code(*codec_, movingPicture(n), intra);
    return codec_->decode(7, coded.bytes, out) == codec::CodecStatus::kOk &&
           psnr(movingPicture(n), out) > 30.0;
  };
  EXPECT_TRUE(decodes(5, true));
  EXPECT_TRUE(decodes(6, false)) << "predicted from the intra picture";

  // A damaged picture leaves no reference until the next intra picture.
  auto damaged = code(*codec_, movingPicture(7), false);
  EXPECT_EQ(codec_->decode(7, std::span(damaged.bytes).first(3), out),
            codec::CodecStatus::kDamaged);
  auto after = code(*codec_, movingPicture(8), false);
  EXPECT_EQ(codec_->decode(7, after.bytes, out), codec::CodecStatus::kNoReference);
  EXPECT_TRUE(decodes(9, true));
  EXPECT_TRUE(decodes(10, false));
  // So does a reset, and another sender's stream is not affected by either.
  EXPECT_EQ(codec_->decode(8, after.bytes, out), codec::CodecStatus::kNoReference);
  codec_->resetSender(7);
  auto next = code(*codec_, movingPicture(11), false);
  EXPECT_EQ(codec_->decode(7, next.bytes, out), codec::CodecStatus::kNoReference);
}

TEST_P(Codecs, PictureHeadersTellIntraFromPredictedAndCutHeadersAreUnreadable) {
  auto kind = GetParam() == H26xCodec::Standard::kH263 ? h263PictureKind : h261PictureKind;
  const std::size_t headerBytes = GetParam() == H26xCodec::Standard::kH263 ? 5 : 4;
  auto intra = code(*codec_, movingPicture(0), true);
  auto predicted = code(*codec_, movingPicture(1), false);
  codec_->setIntraOnly(true);
  auto intraOnly = code(*codec_, movingPicture(2), false);
  EXPECT_EQ(kind(intra.bytes), PictureKind::kIntra);
  EXPECT_EQ(kind(predicted.bytes), PictureKind::kPredicted);
  EXPECT_EQ(kind(intraOnly.bytes), PictureKind::kIntra);
  for (std::size_t cut = 0; cut < 8; ++cut)
    EXPECT_EQ(kind(std::span(intra.bytes).first(cut)),
              cut < headerBytes ? PictureKind::kUnreadable : PictureKind::kIntra)
        << "cut at " << cut;
  auto shifted = intra.bytes;
  shifted.insert(shifted.begin(), 0xFF);
  EXPECT_EQ(kind(shifted), PictureKind::kUnreadable) << "no start code at the start";
}

// Bits most significant first, for headers made by hand.
std::vector<std::uint8_t> bitsOf(const std::vector<std::pair<unsigned, int>>& fields) {
  std::vector<std::uint8_t> out;
  std::size_t at = 0;
  for (auto [value, n] : fields)
    for (int i = n - 1; i >= 0; --i, ++at) {
      if (at / 8 >= out.size()) out.push_back(0);
      if ((value >> i) & 1) out[at / 8] |= static_cast<std::uint8_t>(0x80 >> (at % 8));
    }
  return out;
}

TEST(H263Header, ExtendedPictureTypeGivesTheTypeCode) {
  // Start code, temporal reference, "1 0", three flags, format 7, update flag, then with the
  // update flag 1 the 18 optional bits, then the type code and the rest of MPPTYPE.
  auto header = [](unsigned update, unsigned type) {
    std::vector<std::pair<unsigned, int>> f{{0x20, 22}, {5, 8}, {2, 2},
                                            {0, 3},     {7, 3}, {update, 3}};
    if (update == 1) f.push_back({0x2A, 18});
    f.push_back({type, 3});
    f.push_back({1, 6});
    return bitsOf(f);
  };
  EXPECT_EQ(h263PictureKind(header(1, 0)), PictureKind::kIntra);
  EXPECT_EQ(h263PictureKind(header(0, 0)), PictureKind::kIntra);
  EXPECT_EQ(h263PictureKind(header(1, 1)), PictureKind::kPredicted);
  EXPECT_EQ(h263PictureKind(header(0, 3)), PictureKind::kPredicted) << "B picture";
  auto cut = header(1, 0);
  cut.resize(6);
  EXPECT_EQ(h263PictureKind(cut), PictureKind::kUnreadable) << "type code missing";
  EXPECT_EQ(h263PictureKind(bitsOf({{0x20, 22}, {5, 8}, {2, 2}, {0, 3}, {0, 3}, {0, 1}})),
            PictureKind::kUnreadable)
      << "format 0 is forbidden";
}

INSTANTIATE_TEST_SUITE_P(H263AndH261, Codecs,
                         ::testing::Values(H26xCodec::Standard::kH263, H26xCodec::Standard::kH261),
                         [](const auto& p) {
                           return p.param == H26xCodec::Standard::kH263 ? "H263" : "H261";
                         });

TEST(Yuv9Codec, CropsOnSendingAndExpandsOnReceiving) {
  Yuv9Codec yuv9(240, 180);
  std::vector<std::uint8_t> capture(yuv9.inputSize());
  for (std::size_t i = 0; i < capture.size(); ++i) capture[i] = static_cast<std::uint8_t>(i * 7);
  std::vector<std::uint8_t> sent(kCodedFrameCapacity);
  EXPECT_EQ(yuv9.encode(capture, sent, false).status, codec::CodecStatus::kOutputTooSmall);
  sent.resize(kYvu9FrameSize);
  auto result = yuv9.encode(capture, sent, false);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.bytes, kYvu9FrameSize);
  sent.resize(result.bytes);
  std::vector<std::uint8_t> shown(kFrame420Size);
  ASSERT_EQ(yuv9.decode(0, sent, shown), codec::CodecStatus::kOk);
  VideoFrame420 direct;
  yvu9ToFrame420(capture, 240, 180, &direct);
  EXPECT_TRUE(std::equal(shown.begin(), shown.end(), direct.bytes.begin()));
  sent.pop_back();
  EXPECT_EQ(yuv9.decode(0, sent, shown), codec::CodecStatus::kDamaged) << "not 28512 bytes";
}

}  // namespace
}  // namespace zep::picture
