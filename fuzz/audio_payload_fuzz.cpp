// Audio payloads as the audio tool receives them, for every type and any sender: ADPCM blocks
// (plain, or with the integrated client's coder state ahead), GSM, PCM.
#include <cstdint>
#include <span>
#include <vector>

#include "audio/codecs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zep;
  static codec::CodecTable table = [] {
    codec::CodecTable t;
    t.add(std::make_unique<audio::AdpcmCodec>());
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
