#include "audio/codecs.h"

#include <cstring>

namespace zep::audio {

namespace {

// Blocks travel through the interface as bytes; the coders work on samples.
std::array<std::int16_t, kBlockSamples> samplesOf(std::span<const std::uint8_t> bytes) {
  std::array<std::int16_t, kBlockSamples> s;
  std::memcpy(s.data(), bytes.data(), kBlockBytes);
  return s;
}

void storeSamples(const std::array<std::int16_t, kBlockSamples>& s, std::span<std::uint8_t> out) {
  std::memcpy(out.data(), s.data(), kBlockBytes);
}

bool validSender(int sender) {
  return sender >= 0 && sender < kMaxSenders;
}

}  // namespace

codec::EncodeResult AdpcmCodec::encode(std::span<const std::uint8_t> input,
                                       std::span<std::uint8_t> output, bool) {
  if (input.size() != kBlockBytes) return {codec::CodecStatus::kInputSize, 0};
  if (output.size() < kAdpcmBlockBytes) return {codec::CodecStatus::kOutputTooSmall, 0};
  auto samples = samplesOf(input);
  adpcm_encode(samples, output.first(kAdpcmBlockBytes), sending_);
  return {codec::CodecStatus::kOk, kAdpcmBlockBytes};
}

codec::CodecStatus AdpcmCodec::decode(int sender, std::span<const std::uint8_t> input,
                                      std::span<std::uint8_t> output) {
  if (!validSender(sender) || output.size() < kBlockBytes) return codec::CodecStatus::kInputSize;
  if (input.size() < kAdpcmBlockBytes) return codec::CodecStatus::kDamaged;  // never past its end
  auto& state = receiving_[static_cast<std::size_t>(sender)];
  // The integrated client's packets carry the coder state ahead of the codes (predicted
  // sample big-endian, step index): the block then starts from it.
  if (input.size() == kAdpcmBlockBytes + 3) {
    if (input[2] > 88) return codec::CodecStatus::kDamaged;
    state.predicted = static_cast<std::int16_t>(input[0] << 8 | input[1]);
    state.index = input[2];
    input = input.subspan(3);
  }
  std::array<std::int16_t, kBlockSamples> block;
  adpcm_decode(input.first(kAdpcmBlockBytes), block, state);
  storeSamples(block, output);
  return codec::CodecStatus::kOk;
}

void AdpcmCodec::resetSender(int sender) {
  if (validSender(sender)) adpcm_reset(receiving_[static_cast<std::size_t>(sender)]);
}

codec::EncodeResult GsmBlockCodec::encode(std::span<const std::uint8_t> input,
                                          std::span<std::uint8_t> output, bool) {
  if (input.size() != kBlockBytes) return {codec::CodecStatus::kInputSize, 0};
  if (output.size() < kGsmBlockBytes) return {codec::CodecStatus::kOutputTooSmall, 0};
  if (!encoder_.valid()) return {codec::CodecStatus::kFailed, 0};
  auto samples = samplesOf(input);
  encoder_.encodeBlock(samples, output.first(kGsmBlockBytes));
  return {codec::CodecStatus::kOk, kGsmBlockBytes};
}

codec::CodecStatus GsmBlockCodec::decode(int sender, std::span<const std::uint8_t> input,
                                         std::span<std::uint8_t> output) {
  if (!validSender(sender) || output.size() < kBlockBytes) return codec::CodecStatus::kInputSize;
  if (input.size() < kGsmBlockBytes) return codec::CodecStatus::kDamaged;
  auto& decoder = decoders_[static_cast<std::size_t>(sender)];
  if (!decoder) decoder = std::make_unique<GsmCodec>();
  if (!decoder->valid()) return codec::CodecStatus::kFailed;
  std::array<std::int16_t, kBlockSamples> block;
  decoder->decodeBlock(input.first(kGsmBlockBytes), block);
  storeSamples(block, output);
  return codec::CodecStatus::kOk;
}

void GsmBlockCodec::resetSender(int sender) {
  if (validSender(sender)) decoders_[static_cast<std::size_t>(sender)].reset();
}

codec::EncodeResult PcmCodec::encode(std::span<const std::uint8_t> input,
                                     std::span<std::uint8_t> output, bool) {
  if (input.size() != kBlockBytes) return {codec::CodecStatus::kInputSize, 0};
  if (output.size() < kBlockBytes) return {codec::CodecStatus::kOutputTooSmall, 0};
  auto samples = samplesOf(input);
  for (std::size_t i = 0; i < kBlockSamples; ++i) {
    auto v = static_cast<std::uint16_t>(samples[i]);
    output[2 * i] = static_cast<std::uint8_t>(v >> 8);
    output[2 * i + 1] = static_cast<std::uint8_t>(v & 0xFF);
  }
  return {codec::CodecStatus::kOk, kBlockBytes};
}

codec::CodecStatus PcmCodec::decode(int sender, std::span<const std::uint8_t> input,
                                    std::span<std::uint8_t> output) {
  if (!validSender(sender) || output.size() < kBlockBytes) return codec::CodecStatus::kInputSize;
  if (input.size() < kBlockBytes) return codec::CodecStatus::kDamaged;
  std::array<std::int16_t, kBlockSamples> block;
  for (std::size_t i = 0; i < kBlockSamples; ++i)
    block[i] = static_cast<std::int16_t>(input[2 * i] << 8 | input[2 * i + 1]);
  storeSamples(block, output);
  return codec::CodecStatus::kOk;
}

void addAudioCodecs(codec::CodecTable& table) {
  table.add(std::make_unique<AdpcmCodec>());
  table.add(std::make_unique<GsmBlockCodec>());
  table.add(std::make_unique<PcmCodec>());
}

}  // namespace zep::audio
