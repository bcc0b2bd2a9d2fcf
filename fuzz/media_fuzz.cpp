// Media datagrams, recording-file records and user-server replies on arbitrary bytes.
#include <cstdint>
#include <cstdio>
#include <span>

#include "applink/link.h"
#include "archive/recording.h"
#include "manager/link.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zep;
  std::span<const std::uint8_t> bytes(data, size);
  applink::decodeMediaDatagram(bytes);
  archive::decodeRecordHeader(bytes);
  manager::decodeServerUsers(bytes);
  // The recording file reader on the same bytes as a file.
  if (size > 0) {
    if (std::FILE* f = fmemopen(const_cast<std::uint8_t*>(data), size, "rb")) {
      archive::DatagramRecord r;
      std::string why;
      while (archive::readRecord(f, &r, &why) == archive::ReadResult::kRecord) {
      }
      std::fclose(f);
    }
  }
  return 0;
}
