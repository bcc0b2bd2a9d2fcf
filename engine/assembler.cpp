#include "engine/assembler.h"

#include <algorithm>

namespace zep::engine {

void MessageAssembler::append(std::span<const std::uint8_t> bytes) {
  // Drop what was consumed before growing, so the buffer stays at most one message long.
  if (start_ > 0) {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

std::uint32_t MessageAssembler::announcedLength() const {
  auto header = decodeHeader(std::span(bytes_).subspan(start_, kHeaderSize));
  return static_cast<std::uint32_t>(header->length);
}

bool MessageAssembler::hasMessage() const {
  if (!headerComplete()) return false;
  std::uint32_t length = announcedLength();
  return length > maxPayload_ || buffered() >= kHeaderSize + length;
}

AssembleStatus MessageAssembler::next(Message* message) {
  if (!headerComplete()) return AssembleStatus::kNeedMore;
  std::uint32_t length = announcedLength();
  if (length > maxPayload_) {
    message->header = *decodeHeader(std::span(bytes_).subspan(start_, kHeaderSize));
    return AssembleStatus::kTooLong;
  }
  if (buffered() < kHeaderSize + length) return AssembleStatus::kNeedMore;
  auto whole = std::span(bytes_).subspan(start_, kHeaderSize + length);
  message->header = *decodeHeader(whole);
  message->payload.assign(whole.begin() + kHeaderSize, whole.end());
  start_ += whole.size();
  if (start_ == bytes_.size()) {
    bytes_.clear();
    start_ = 0;
  }
  return AssembleStatus::kMessage;
}

}  // namespace zep::engine
