// Media datagrams as the integrated client receives them: either header kind.
#include <cstdint>
#include <span>

#include "applink/link.h"
#include "kestrel/rtp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zep;
  std::span<const std::uint8_t> bytes(data, size);
  switch (kestrel::classifyMediaDatagram(bytes)) {
    case kestrel::MediaHeader::kRtp:
      if (auto d = kestrel::decodeRtpDatagram(bytes))
        kestrel::encodeRtpDatagram(d->header, d->data);
      break;
    case kestrel::MediaHeader::kMediaTool:
      applink::decodeMediaDatagram(bytes);
      break;
    case kestrel::MediaHeader::kUnknown:
      break;
  }
  return 0;
}
