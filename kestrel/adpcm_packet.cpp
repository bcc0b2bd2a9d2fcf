#include "kestrel/adpcm_packet.h"

#include <cstring>

namespace zep::kestrel {

codec::EncodeResult AdpcmPacketCodec::encode(std::span<const std::uint8_t> input,
                                             std::span<std::uint8_t> output, bool) {
  if (input.size() != inputSize()) return {codec::CodecStatus::kInputSize, 0};
  if (output.size() < kAdpcmPacketBytes) return {codec::CodecStatus::kOutputTooSmall, 0};
  std::array<std::int16_t, audio::kBlockSamples> samples;
  std::memcpy(samples.data(), input.data(), input.size());
  auto predicted = static_cast<std::uint16_t>(sending_.predicted);
  output[0] = static_cast<std::uint8_t>(predicted >> 8);
  output[1] = static_cast<std::uint8_t>(predicted & 0xFF);
  output[2] = sending_.index;
  audio::adpcm_encode(samples, output.subspan(kAdpcmStateBytes, audio::kAdpcmBlockBytes), sending_);
  return {codec::CodecStatus::kOk, kAdpcmPacketBytes};
}

codec::CodecStatus AdpcmPacketCodec::decode(int sender, std::span<const std::uint8_t> input,
                                            std::span<std::uint8_t> output) {
  if (sender < 0 || sender >= kMaxAudioSenders || output.size() < inputSize())
    return codec::CodecStatus::kInputSize;
  auto& state = receiving_[static_cast<std::size_t>(sender)];
  std::span<const std::uint8_t> codes;
  if (input.size() == kAdpcmPacketBytes) {
    // The state travels with the block; a step index beyond the table is damage.
    if (input[2] > 88) return codec::CodecStatus::kDamaged;
    state.predicted = static_cast<std::int16_t>(input[0] << 8 | input[1]);
    state.index = input[2];
    codes = input.subspan(kAdpcmStateBytes);
  } else if (input.size() == audio::kAdpcmBlockBytes) {
    codes = input;
  } else {
    return codec::CodecStatus::kDamaged;
  }
  std::array<std::int16_t, audio::kBlockSamples> samples;
  audio::adpcm_decode(codes, samples, state);
  std::memcpy(output.data(), samples.data(), inputSize());
  return codec::CodecStatus::kOk;
}

void AdpcmPacketCodec::resetSender(int sender) {
  if (sender >= 0 && sender < kMaxAudioSenders)
    audio::adpcm_reset(receiving_[static_cast<std::size_t>(sender)]);
}

}  // namespace zep::kestrel
