// Pictures as the video paths pass them, and the conversions between the camera's formats,
// the coders' planar 4:2:0 form and the RGB the display paints.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace zep::picture {

inline constexpr int kWidth = 176;  // QCIF
inline constexpr int kHeight = 144;
inline constexpr std::size_t kLumaSize = kWidth * kHeight;                       // 25344
inline constexpr std::size_t kChromaSize = (kWidth / 2) * (kHeight / 2);         // 6336
inline constexpr std::size_t kFrame420Size = kLumaSize + 2 * kChromaSize;        // 38016
inline constexpr std::size_t kYvu9FrameSize = kLumaSize + 2 * (kLumaSize / 16);  // 28512
inline constexpr std::size_t kRgbSize = kLumaSize * 3;                           // 76032

// One QCIF picture: luminance 176 x 144, then Cb and Cr 88 x 72, rows top to bottom.
struct VideoFrame420 {
  std::array<std::uint8_t, kFrame420Size> bytes{};
  std::uint8_t* y() { return bytes.data(); }
  std::uint8_t* cb() { return bytes.data() + kLumaSize; }
  std::uint8_t* cr() { return bytes.data() + kLumaSize + kChromaSize; }
  const std::uint8_t* y() const { return bytes.data(); }
  const std::uint8_t* cb() const { return bytes.data() + kLumaSize; }
  const std::uint8_t* cr() const { return bytes.data() + kLumaSize + kChromaSize; }
};

// The top-left 176 x 144 of an RGB24 picture (blue green red, rows bottom to top) of
// width x height, at least 176 x 144. Chrominance comes from the pixel at the odd row and odd
// column of each 2 x 2 block, unaveraged.
void rgb24ToFrame420(std::span<const std::uint8_t> rgb, int width, int height, VideoFrame420* out);

// A planar YVU9 picture of width x height (luminance, then V, then U at one sample per 4 x 4
// pixels) to 4:2:0: the top-left 176 x 144, every chrominance sample repeated 2 x 2.
void yvu9ToFrame420(std::span<const std::uint8_t> yvu9, int width, int height, VideoFrame420* out);

// The top-left 176 x 144 of a YVU9 picture as a YVU9 picture of its own (28512 bytes).
void cropYvu9(std::span<const std::uint8_t> yvu9, int width, int height,
              std::span<std::uint8_t> out);

// 4:2:0 to RGB24 (blue green red, rows bottom to top, 76032 bytes), BT.601 in 16.16 fixed
// point.
void frame420ToRgb24(const VideoFrame420& frame, std::span<std::uint8_t> rgb);

}  // namespace zep::picture
