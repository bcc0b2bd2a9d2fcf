// Media datagrams as the integrated client receives them: either header kind.
#include <cstdint>
#include <span>

#include "applink/link.h"
#include "applink/rtp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zep;
  std::span<const std::uint8_t> bytes(data, size);
  switch (applink::classifyMediaDatagram(bytes)) {
    case applink::MediaHeader::kRtp:
      if (auto d = applink::decodeRtpDatagram(bytes))
        applink::encodeRtpDatagram(d->header, d->data);
      break;
    case applink::MediaHeader::kMediaTool:
      applink::decodeMediaDatagram(bytes);
      break;
    case applink::MediaHeader::kUnknown:
      break;
  }
  return 0;
}
