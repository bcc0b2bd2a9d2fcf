// The Y4M picture file: a text header line "YUV4MPEG2 W.. H.. F..:.. [I.] [A..] [C..] [X..]",
// then frames, each a "FRAME[ params]" line and the planar samples (luminance, then Cb, Cr).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace zep::y4m {

// The largest picture side and header line we take; larger is refused, not guessed.
inline constexpr int kMaxSide = 8192;
inline constexpr std::size_t kMaxLine = 4096;

enum class Chroma {
  k420,   // 420jpeg, 420paldv, 420mpeg2, 420 (the default)
  k422,   // 422
  k444,   // 444
  kMono,  // mono: luminance only
};

struct Header {
  int width = 0;
  int height = 0;
  std::uint32_t rateNumerator = 0;  // frames per second = numerator / denominator
  std::uint32_t rateDenominator = 0;
  Chroma chroma = Chroma::k420;
  std::size_t headerBytes = 0;  // the header line with its line end
  std::size_t frameBytes = 0;   // the samples of one frame, without its FRAME line
  int chromaWidth() const;      // of each chrominance plane; 0 for mono
  int chromaHeight() const;
};

// Parses the header line at the start of `data`; nullopt with *error saying what is wrong
// (also when the line end is not within `data` or kMaxLine).
std::optional<Header> parseHeader(std::span<const std::uint8_t> data, std::string* error);
// The length of the "FRAME..." line at the start of `data`, line end included; nullopt with
// *error when it is not one or is incomplete.
std::optional<std::size_t> parseFrameLine(std::span<const std::uint8_t> data, std::string* error);

}  // namespace zep::y4m
