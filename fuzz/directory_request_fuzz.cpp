// The Directory Server stand-in's framing and request checks on arbitrary client bytes.
#include <cstdint>
#include <string>

#include "directory/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zep::directory;
  std::span<const std::uint8_t> rest(data, size);
  while (std::size_t n = completeFrameSize(rest)) {
    if (n > rest.size() || n < kHeaderSize) __builtin_trap();
    std::string why;
    auto request = parseClientRequest(rest[2], rest.subspan(kHeaderSize, n - kHeaderSize), &why);
    if (!request && why.empty()) __builtin_trap();
    // A new conference that is accepted has a kind and a topic the server can announce.
    if (request)
      if (auto* c = std::get_if<NewConference>(&*request))
        if (c->kind > kProtected || c->topic.empty() ||
            !frame(kNewConference, newConferenceBody(*c)))
          __builtin_trap();
    rest = rest.subspan(n);
  }
  return 0;
}
