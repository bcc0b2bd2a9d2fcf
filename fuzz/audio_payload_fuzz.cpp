// Audio payloads as the audio tool receives them: ADPCM blocks (plain, or with the integrated
// client's coder state ahead), GSM, PCM.
#include "fuzz/audio_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fuzzAudioPayload<zep::audio::AdpcmCodec>(data, size);
}
