// The integrated client's ADPCM packet: the coder state at the block's start (predicted
// sample, 16 bits big-endian; step index, 8 bits) ahead of the 400 bytes of codes, so each
// packet decodes on its own. A media tool's 400-byte block (no state) from a mixed session is
// decoded with that sender's running state.
#pragma once

#include <array>

#include "audio/adpcm.h"
#include "codecs/codec.h"

namespace zep::kestrel {

inline constexpr int kAdpcmType = 13;
inline constexpr std::size_t kAdpcmStateBytes = 3;
inline constexpr std::size_t kAdpcmPacketBytes = kAdpcmStateBytes + audio::kAdpcmBlockBytes;
inline constexpr int kMaxAudioSenders = 100;

class AdpcmPacketCodec final : public codec::Codec {
 public:
  int type() const override { return kAdpcmType; }
  std::size_t inputSize() const override { return audio::kBlockSamples * 2; }
  codec::EncodeResult encode(std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
                             bool intra) override;
  // 403 bytes: the packet's own state; 400 bytes: the sender's running state.
  codec::CodecStatus decode(int sender, std::span<const std::uint8_t> input,
                            std::span<std::uint8_t> output) override;
  void resetSender(int sender) override;
  void resetEncoder() override { audio::adpcm_reset(sending_); }

 private:
  audio::AdpcmState sending_;
  std::array<audio::AdpcmState, kMaxAudioSenders> receiving_{};
};

}  // namespace zep::kestrel
