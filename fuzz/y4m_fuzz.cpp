// The camera file's header and frame lines on arbitrary bytes, as they come and behind the
// magic words (so that random inputs reach the fields too).
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "platform/y4m.h"

namespace {

void parse(std::span<const std::uint8_t> bytes) {
  std::string error;
  if (auto h = zep::y4m::parseHeader(bytes, &error)) {
    if (h->headerBytes > bytes.size() || h->width < 1 || h->height < 1 ||
        h->width > zep::y4m::kMaxSide || h->height > zep::y4m::kMaxSide || h->rateNumerator == 0 ||
        h->rateDenominator == 0 ||
        h->frameBytes < static_cast<std::size_t>(h->width) * static_cast<std::size_t>(h->height))
      __builtin_trap();
    bytes = bytes.subspan(h->headerBytes);
  } else if (error.empty()) {
    __builtin_trap();
  }
  error.clear();
  auto n = zep::y4m::parseFrameLine(bytes, &error);
  if (n ? (*n == 0 || *n > bytes.size()) : error.empty()) __builtin_trap();
}

// `prefix` then the input, in a buffer of exactly that size.
void parseBehind(const char* prefix, const std::uint8_t* data, std::size_t size) {
  const std::size_t p = std::strlen(prefix);
  auto buffer = std::make_unique<std::uint8_t[]>(p + size);
  std::memcpy(buffer.get(), prefix, p);
  if (size) std::memcpy(buffer.get() + p, data, size);
  parse({buffer.get(), p + size});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  parse({data, size});
  parseBehind("YUV4MPEG2 W", data, size);
  parseBehind("FRAME", data, size);
  return 0;
}
