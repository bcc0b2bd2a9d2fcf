// The picture codecs through libavcodec: quality, intra and predicted pictures, the output
// bound, per-sender references, and damaged data from the network.
#include "codecs/h26x.h"

#include <gtest/gtest.h>

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
