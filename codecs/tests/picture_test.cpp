// The conversions against their formulas, bit for bit, on seeded random pictures.
#include "codecs/picture.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace zep::picture {
namespace {

constexpr unsigned kSeed = 5150;

std::vector<std::uint8_t> randomBytes(std::size_t n, std::mt19937& random) {
  std::vector<std::uint8_t> v(n);
  for (auto& b : v) b = static_cast<std::uint8_t>(random());
  return v;
}

TEST(PictureConversion, Rgb24CropMatchesTheFormulasBitForBit) {
  std::mt19937 random(kSeed);
  const int w = 240, h = 180;
  auto rgb = randomBytes(static_cast<std::size_t>(w) * h * 3, random);
  VideoFrame420 frame;
  rgb24ToFrame420(rgb, w, h, &frame);
  for (int row = 0; row < kHeight; ++row)
    for (int col = 0; col < kWidth; ++col) {
      // Row 0 of the picture is the last row stored.
      const std::uint8_t* p = &rgb[(static_cast<std::size_t>(h - 1 - row) * w + col) * 3];
      double b = p[0], g = p[1], r = p[2];
      int y = static_cast<int>(0.299 * r + 0.587 * g + 0.114 * b) * 219 / 255 + 16;
      ASSERT_EQ(frame.y()[row * kWidth + col], y) << row << "," << col << " seed " << kSeed;
      if (row % 2 == 1 && col % 2 == 1) {
        int cb = static_cast<int>(-0.16874 * r - 0.33126 * g + 0.5 * b) * 224 / 255 + 128;
        int cr = static_cast<int>(0.5 * r - 0.41869 * g - 0.08131 * b) * 224 / 255 + 128;
        std::size_t c = static_cast<std::size_t>(row / 2) * 88 + col / 2;
        ASSERT_EQ(frame.cb()[c], cb & 0xFF) << row << "," << col;
        ASSERT_EQ(frame.cr()[c], cr & 0xFF) << row << "," << col;
      }
    }
}

TEST(PictureConversion, KnownColoursLandInTheVideoRange) {
  const int w = 176, h = 144;
  auto solid = [&](std::uint8_t b, std::uint8_t g, std::uint8_t r) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(w) * h * 3);
    for (std::size_t i = 0; i < rgb.size(); i += 3) {
      rgb[i] = b;
      rgb[i + 1] = g;
      rgb[i + 2] = r;
    }
    VideoFrame420 f;
    rgb24ToFrame420(rgb, w, h, &f);
    return f;
  };
  auto white = solid(255, 255, 255), black = solid(0, 0, 0), blue = solid(255, 0, 0);
  EXPECT_EQ(white.y()[0], 235);
  EXPECT_EQ(black.y()[0], 16);
  EXPECT_EQ(black.cb()[0], 128);
  EXPECT_EQ(blue.cb()[0], 127 * 224 / 255 + 128);
}

TEST(PictureConversion, Yvu9ExpandsEachChromaSampleTwoByTwoAndCropsExactly) {
  std::mt19937 random(kSeed + 1);
  const int w = 240, h = 180;
  auto yvu9 = randomBytes(static_cast<std::size_t>(w) * h * 18 / 16, random);
  VideoFrame420 frame;
  yvu9ToFrame420(yvu9, w, h, &frame);
  for (int row = 0; row < kHeight; ++row)
    for (int col = 0; col < kWidth; ++col)
      ASSERT_EQ(frame.y()[row * kWidth + col], yvu9[static_cast<std::size_t>(row) * w + col]);
  const std::size_t vPlane = static_cast<std::size_t>(w) * h, uPlane = vPlane * 17 / 16;
  for (int row = 0; row < 72; ++row)
    for (int col = 0; col < 88; ++col) {
      std::size_t from = static_cast<std::size_t>(row / 2) * (w / 4) + col / 2;
      ASSERT_EQ(frame.cb()[row * 88 + col], yvu9[uPlane + from]);
      ASSERT_EQ(frame.cr()[row * 88 + col], yvu9[vPlane + from]);
    }

  std::vector<std::uint8_t> cropped(kYvu9FrameSize);
  cropYvu9(yvu9, w, h, cropped);
  EXPECT_EQ(cropped[176 * 143 + 175], yvu9[240 * 143 + 175]);
  EXPECT_EQ(cropped[25344], yvu9[vPlane]);  // V first
  EXPECT_EQ(cropped[25344 + 44 * 35 + 43], yvu9[vPlane + 60 * 35 + 43]);
  EXPECT_EQ(cropped[25344 + 1584], yvu9[uPlane]);  // then U
  // Cropped and expanded, or expanded straight from the capture: the same picture.
  VideoFrame420 again;
  yvu9ToFrame420(cropped, kWidth, kHeight, &again);
  EXPECT_EQ(again.bytes, frame.bytes);
}

TEST(PictureConversion, Frame420ToRgbMatchesTheFixedPointFormulas) {
  std::mt19937 random(kSeed + 2);
  VideoFrame420 frame;
  auto bytes = randomBytes(kFrame420Size, random);
  std::copy(bytes.begin(), bytes.end(), frame.bytes.begin());
  std::vector<std::uint8_t> rgb(kRgbSize);
  frame420ToRgb24(frame, rgb);
  auto clip = [](int v) { return v < 0 ? 0 : v > 255 ? 255 : v; };
  for (int row = 0; row < kHeight; ++row)
    for (int col = 0; col < kWidth; ++col) {
      int y = 76309 * (frame.y()[row * kWidth + col] - 16);
      std::size_t c = static_cast<std::size_t>(row / 2) * 88 + col / 2;
      int cb = frame.cb()[c] - 128, cr = frame.cr()[c] - 128;
      const std::uint8_t* p =
          &rgb[(static_cast<std::size_t>(kHeight - 1 - row) * kWidth + col) * 3];
      ASSERT_EQ(p[0], clip((y + 132201 * cb) >> 16)) << row << "," << col;
      ASSERT_EQ(p[1], clip((y - 25675 * cb - 53279 * cr) >> 16)) << row << "," << col;
      ASSERT_EQ(p[2], clip((y + 104597 * cr) >> 16)) << row << "," << col;
    }
}

TEST(PictureConversion, ShortInputsAreLeftAlone) {
  VideoFrame420 frame;
  frame.bytes.fill(7);
  std::vector<std::uint8_t> tooShort(100, 255);
  rgb24ToFrame420(tooShort, 240, 180, &frame);
  yvu9ToFrame420(tooShort, 240, 180, &frame);
  rgb24ToFrame420(std::vector<std::uint8_t>(100 * 100 * 3), 100, 100, &frame);
  EXPECT_EQ(frame.bytes[0], 7);
}

}  // namespace
}  // namespace zep::picture
