// A picture decoder on damaged pictures: random bytes, or a real picture with bytes changed,
// cut or both (the first byte says which), for one sender in turn.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "codecs/h26x.h"
#include "codecs/picture.h"

template <zep::picture::H26xCodec::Standard kStandard>
int fuzzPictureDecoder(const std::uint8_t* data, std::size_t size) {
  using namespace zep::picture;
  static std::string error;
  static auto codec = H26xCodec::create(kStandard, &error);
  static std::vector<std::uint8_t> real = [] {
    auto coder = H26xCodec::create(kStandard, &error);
    VideoFrame420 f;
    for (std::size_t i = 0; i < f.bytes.size(); ++i)
      f.bytes[i] = static_cast<std::uint8_t>(i * 7 % 251);
    std::vector<std::uint8_t> out(kCodedFrameCapacity);
    out.resize(coder->encode(f.bytes, out, true).bytes);
    return out;
  }();
  static std::vector<std::uint8_t> picture(kFrame420Size);
  if (size == 0) return 0;
  std::vector<std::uint8_t> input;
  if (data[0] % 2 == 0) {
    input.assign(data + 1, data + size);
  } else {
    // A real picture, with bytes of the input written over it from an offset it gives.
    input = real;
    std::size_t at = size > 1 ? data[1] * input.size() / 256 : 0;
    for (std::size_t i = 2; i < size && at < input.size(); ++i) input[at++] ^= data[i];
    if (data[0] % 4 == 3) input.resize(input.size() * (size % 100) / 100);
  }
  int sender = data[0] % 20;
  codec->decode(sender, input, picture);
  if (data[0] % 8 == 7) codec->resetSender(sender);
  return 0;
}
