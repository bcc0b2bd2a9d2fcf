// Every engine message parser on arbitrary bytes.
#include <cstdint>
#include <span>

#include "engine/assembler.h"
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
  // A stream arriving in pieces: the first byte says where it is cut.
  if (size > 0) {
    MessageAssembler assembler;
    auto stream = bytes.subspan(1);
    std::size_t cut = data[0] % (stream.size() + 1);
    Message m;
    assembler.append(stream.first(cut));
    while (assembler.next(&m) == AssembleStatus::kMessage) {
    }
    assembler.append(stream.subspan(cut));
    while (assembler.next(&m) == AssembleStatus::kMessage) {
    }
  }
  return 0;
}
