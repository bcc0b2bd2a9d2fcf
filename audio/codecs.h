// The audio codecs behind the one codec interface: IMA ADPCM, GSM 06.10 and plain PCM, each
// coding one 100 ms block of 800 samples (passed as their 1600 bytes in host order).
#pragma once

#include <array>
#include <memory>

#include "audio/adpcm.h"
#include "audio/gsm_codec.h"
#include "codecs/codec.h"

namespace zep::audio {

inline constexpr std::uint32_t AUDIO_ADPCM = 13;
inline constexpr std::uint32_t AUDIO_GSM = 14;
inline constexpr std::uint32_t AUDIO_PCM = 15;
inline constexpr int kMaxSenders = 100;
inline constexpr std::size_t kBlockBytes = kBlockSamples * 2;

// IMA ADPCM: 400 bytes a block; one coder state, one decoder state per sender.
class AdpcmCodec final : public codec::Codec {
 public:
  int type() const override { return AUDIO_ADPCM; }
  std::size_t inputSize() const override { return kBlockBytes; }
  codec::EncodeResult encode(std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
                             bool intra) override;
  codec::CodecStatus decode(int sender, std::span<const std::uint8_t> input,
                            std::span<std::uint8_t> output) override;
  void resetSender(int sender) override;
  void resetEncoder() override { adpcm_reset(sending_); }

 private:
  AdpcmState sending_;
  std::array<AdpcmState, kMaxSenders> receiving_{};
};

// GSM 06.10 through libgsm: five 33-byte frames a block. libgsm's decoder carries a stream's
// history from frame to frame, so every sender has a decoder state of its own (made with its
// first block), and the coder has its own as well.
class GsmBlockCodec final : public codec::Codec {
 public:
  int type() const override { return AUDIO_GSM; }
  std::size_t inputSize() const override { return kBlockBytes; }
  codec::EncodeResult encode(std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
                             bool intra) override;
  codec::CodecStatus decode(int sender, std::span<const std::uint8_t> input,
                            std::span<std::uint8_t> output) override;
  void resetSender(int sender) override;
  void resetEncoder() override { encoder_.reset(); }

 private:
  GsmCodec encoder_;                                             // capture thread only
  std::array<std::unique_ptr<GsmCodec>, kMaxSenders> decoders_;  // receive thread only
};

// 16-bit samples, big-endian on the wire.
class PcmCodec final : public codec::Codec {
 public:
  int type() const override { return AUDIO_PCM; }
  std::size_t inputSize() const override { return kBlockBytes; }
  codec::EncodeResult encode(std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
                             bool intra) override;
  codec::CodecStatus decode(int sender, std::span<const std::uint8_t> input,
                            std::span<std::uint8_t> output) override;
};

// The table of the audio tool's three codecs.
void addAudioCodecs(codec::CodecTable& table);

}  // namespace zep::audio
