// The user server's list of active users, as the manager receives it.
#include <cstdint>
#include <span>

#include "manager/link.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zep::manager::decodeServerUsers(std::span(data, size));
  return 0;
}
