#include "video/protocol.h"

#include <algorithm>

namespace zep::video {

std::vector<std::uint8_t> encodeCodedFrame(std::uint8_t counter,
                                           std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> payload(data.size() + kCodedFrameOverhead, 0);
  payload[0] = counter;
  std::copy(data.begin(), data.end(), payload.begin() + kCodedFramePrefix);
  return payload;
}

std::optional<CodedFrame> decodeCodedFrame(std::span<const std::uint8_t> payload) {
  if (payload.size() < kCodedFrameOverhead) return std::nullopt;
  return CodedFrame{payload[0],
                    payload.subspan(kCodedFramePrefix, payload.size() - kCodedFrameOverhead)};
}

bool FrameOrder::accept(int member, std::uint8_t number) {
  if (member < 0 || member >= kMembers) return false;
  int last = last_[member];
  if (number < last && last - number < 100) return false;
  last_[member] = number;
  return true;
}

void FrameOrder::reset(int member) {
  if (member >= 0 && member < kMembers) last_[member] = 0;
}

}  // namespace zep::video
