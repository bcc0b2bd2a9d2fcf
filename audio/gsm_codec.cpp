#include "audio/gsm_codec.h"

#include <gsm.h>

#include <algorithm>

namespace zep::audio {

GsmCodec::GsmCodec() : state_(gsm_create()) {}

GsmCodec::~GsmCodec() {
  if (state_) gsm_destroy(state_);
}

void GsmCodec::reset() {
  if (state_) gsm_destroy(state_);
  state_ = gsm_create();
}

void GsmCodec::encodeBlock(std::span<const std::int16_t> samples, std::span<std::uint8_t> out) {
  gsm_signal frame[kGsmFrameSamples];
  for (std::size_t f = 0; f < kGsmFramesPerBlock; ++f) {
    std::copy_n(samples.begin() + static_cast<long>(f * kGsmFrameSamples), kGsmFrameSamples, frame);
    gsm_encode(state_, frame, out.data() + f * kGsmFrameBytes);
  }
}

int GsmCodec::decodeBlock(std::span<const std::uint8_t> in, std::span<std::int16_t> samples) {
  std::fill(samples.begin(), samples.end(), 0);
  int rejected = 0;
  auto* frames = const_cast<gsm_byte*>(in.data());
  for (std::size_t f = 0; f < kGsmFramesPerBlock; ++f) {
    if (gsm_decode(state_, frames + f * kGsmFrameBytes, samples.data() + f * kGsmFrameSamples) !=
        0) {
      std::fill_n(samples.begin() + static_cast<long>(f * kGsmFrameSamples), kGsmFrameSamples, 0);
      ++rejected;
    }
  }
  return rejected;
}

}  // namespace zep::audio
