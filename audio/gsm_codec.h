// GSM 06.10 full rate through libgsm: a 100 ms block is five 160-sample frames of 33 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

struct gsm_state;

namespace zep::audio {

inline constexpr std::size_t kGsmFrameSamples = 160;
inline constexpr std::size_t kGsmFrameBytes = 33;
inline constexpr std::size_t kGsmFramesPerBlock = 5;
inline constexpr std::size_t kGsmBlockBytes = kGsmFrameBytes * kGsmFramesPerBlock;  // 165

// One libgsm state with default options, for one stream in one direction: the coder's own, or
// one sender's decoder. A state is used by one thread at a time.
class GsmCodec {
 public:
  GsmCodec();
  ~GsmCodec();
  GsmCodec(const GsmCodec&) = delete;
  GsmCodec& operator=(const GsmCodec&) = delete;
  bool valid() const { return state_ != nullptr; }
  // A fresh state: the next frame is coded or decoded as a stream's first.
  void reset();

  // 800 samples to 165 bytes, frames in time order.
  void encodeBlock(std::span<const std::int16_t> samples, std::span<std::uint8_t> out);
  // 165 bytes to 800 samples. The output is cleared first, so a frame the library rejects
  // (no GSM signature) stays silent. Returns the number of frames rejected.
  int decodeBlock(std::span<const std::uint8_t> in, std::span<std::int16_t> samples);

 private:
  gsm_state* state_;
};

}  // namespace zep::audio
