// Audio payloads for every type and any sender, through a table of the three audio codecs
// whose ADPCM codec is the one a program receives with.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "audio/codecs.h"

template <typename AdpcmCodec>
int fuzzAudioPayload(const std::uint8_t* data, std::size_t size) {
  using namespace zep;
  static codec::CodecTable table = [] {
    codec::CodecTable t;
    t.add(std::make_unique<AdpcmCodec>());
    t.add(std::make_unique<audio::GsmBlockCodec>());
    t.add(std::make_unique<audio::PcmCodec>());
    return t;
  }();
  static std::vector<std::uint8_t> block(audio::kBlockBytes);
  if (size < 2) return 0;
  // The first byte picks the type, the second the sender (some outside 0..99).
  if (auto* c = table.find(13 + data[0] % 3))
    c->decode(data[1] % 110, std::span(data + 2, size - 2), block);
  return 0;
}
