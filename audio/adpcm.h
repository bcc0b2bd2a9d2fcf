// IMA (DVI) ADPCM at 4 bits per sample: the audio tool's default coding of a 100 ms block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zep::audio {

// The predictor state of one ADPCM stream.
struct AdpcmState {
  std::int16_t predicted = 0;
  std::uint8_t index = 0;  // 0..88
};

inline constexpr std::size_t kBlockSamples = 800;
inline constexpr std::size_t kAdpcmBlockBytes = kBlockSamples / 2;

// Codes samples into codes.size() bytes (two codes a byte, the earlier in the high nibble; an
// odd count leaves the last low nibble 0). codes must hold (samples + 1) / 2 bytes.
void adpcm_encode(std::span<const std::int16_t> samples, std::span<std::uint8_t> codes,
                  AdpcmState& state);
// Decodes samples.size() codes from codes.
void adpcm_decode(std::span<const std::uint8_t> codes, std::span<std::int16_t> samples,
                  AdpcmState& state);
inline void adpcm_reset(AdpcmState& state) {
  state = {};
}

}  // namespace zep::audio
