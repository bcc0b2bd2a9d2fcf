// Media datagrams as the application link receives them.
#include <cstdint>
#include <span>

#include "applink/link.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (auto d = zep::applink::decodeMediaDatagram(std::span(data, size))) {
    if (d->data.size() > size) __builtin_trap();
  }
  return 0;
}
