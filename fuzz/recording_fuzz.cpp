// A recording file of any content: its record headers alone, and the reader over the bytes as
// a whole file.
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "archive/recording.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zep;
  archive::decodeRecordHeader(std::span(data, size));
  if (size == 0) return 0;
  if (std::FILE* f = fmemopen(const_cast<std::uint8_t*>(data), size, "rb")) {
    archive::DatagramRecord r;
    std::string why;
    while (archive::readRecord(f, &r, &why) == archive::ReadResult::kRecord) {
    }
    std::fclose(f);
  }
  return 0;
}
