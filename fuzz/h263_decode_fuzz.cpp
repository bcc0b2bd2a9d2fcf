// The H.263 decoder on damaged pictures.
#include "fuzz/picture_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return fuzzPictureDecoder<zep::picture::H26xCodec::Standard::kH263>(data, size);
}
