// The stream server's request parsing on arbitrary datagrams.
#include <cstdint>
#include <string>

#include "streamer/request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string why;
  auto clip = zep::streamer::parseStreamRequest({data, size}, &why);
  if (!clip) return 0;
  // Whatever is accepted is a plain file name that the client side can encode again.
  if (clip->find('/') != std::string::npos || *clip == ".." ||
      !zep::streamer::encodeStreamRequest(*clip))
    __builtin_trap();
  return 0;
}
