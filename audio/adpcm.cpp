#include "audio/adpcm.h"

#include <algorithm>
#include <array>

namespace zep::audio {

namespace {

constexpr std::array<std::int32_t, 89> kStepTable = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

constexpr std::array<std::int32_t, 16> kIndexAdjust = {-1, -1, -1, -1, 2, 4, 6, 8,
                                                       -1, -1, -1, -1, 2, 4, 6, 8};

inline std::int32_t clampSample(std::int32_t v) {
  return std::clamp(v, -32768, 32767);
}
inline std::int32_t clampIndex(std::int32_t i) {
  return std::clamp(i, 0, 88);
}

inline std::uint8_t encodeOne(std::int32_t x, std::int32_t& p, std::int32_t& i) {
  const std::int32_t s = kStepTable[static_cast<std::size_t>(i)];
  std::int32_t d = x - p;
  std::uint8_t sign = 0;
  if (d < 0) {
    sign = 8;
    d = -d;
  }
  std::uint8_t code = 0;
  std::int32_t v = s >> 3;
  if (d >= s) {
    code |= 4;
    d -= s;
    v += s;
  }
  if (d >= s >> 1) {
    code |= 2;
    d -= s >> 1;
    v += s >> 1;
  }
  if (d >= s >> 2) {
    code |= 1;
    v += s >> 2;
  }
  p = clampSample(sign ? p - v : p + v);
  code |= sign;
  i = clampIndex(i + kIndexAdjust[code]);
  return code;
}

inline std::int16_t decodeOne(std::uint8_t k, std::int32_t& p, std::int32_t& i) {
  const std::int32_t s = kStepTable[static_cast<std::size_t>(i)];
  i = clampIndex(i + kIndexAdjust[k]);
  std::int32_t v = s >> 3;
  if (k & 4) v += s;
  if (k & 2) v += s >> 1;
  if (k & 1) v += s >> 2;
  p = clampSample(k & 8 ? p - v : p + v);
  return static_cast<std::int16_t>(p);
}

}  // namespace

void adpcm_encode(std::span<const std::int16_t> samples, std::span<std::uint8_t> codes,
                  AdpcmState& state) {
  std::int32_t p = state.predicted, i = state.index;
  const std::size_t n = samples.size();
  std::size_t k = 0;
  for (; k + 1 < n; k += 2) {
    std::uint8_t high = encodeOne(samples[k], p, i);
    std::uint8_t low = encodeOne(samples[k + 1], p, i);
    codes[k / 2] = static_cast<std::uint8_t>(high << 4 | low);
  }
  if (k < n) codes[k / 2] = static_cast<std::uint8_t>(encodeOne(samples[k], p, i) << 4);
  state.predicted = static_cast<std::int16_t>(p);
  state.index = static_cast<std::uint8_t>(i);
}

void adpcm_decode(std::span<const std::uint8_t> codes, std::span<std::int16_t> samples,
                  AdpcmState& state) {
  std::int32_t p = state.predicted, i = state.index;
  const std::size_t n = std::min(samples.size(), codes.size() * 2);
  for (std::size_t k = 0; k < n; ++k) {
    std::uint8_t byte = codes[k / 2];
    std::uint8_t code = (k & 1) ? byte & 0x0F : byte >> 4;
    samples[k] = decodeOne(code, p, i);
  }
  state.predicted = static_cast<std::int16_t>(p);
  state.index = static_cast<std::uint8_t>(i);
}

}  // namespace zep::audio
