// Audio payloads as the integrated client receives them: the ADPCM packets with their state
// ahead (or the media tools' plain blocks), GSM, PCM.
#include "fuzz/audio_decode.h"
#include "kestrel/adpcm_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fuzzAudioPayload<zep::kestrel::AdpcmPacketCodec>(data, size);
}
