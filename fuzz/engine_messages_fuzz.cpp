// Every engine message parser on arbitrary bytes.
#include <cstdint>
#include <span>

#include "engine/messages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zep;
  using namespace zep::engine;
  std::span<const std::uint8_t> bytes(data, size);
  decodeHeader(bytes);
  decodeMemberRecord(bytes);
  decodeMemberList(bytes, ByteOrder::kBig);
  decodeMemberList(bytes, ByteOrder::kLittle);
  for (auto order : {kLocalOrder, kMemberOrder, kAppDataOrder}) {
    if (auto m = decodeAppMessage(bytes, order)) encodeAppMessage(*m, order);
  }
  decodeNumber(bytes, ByteOrder::kLittle);
  return 0;
}
