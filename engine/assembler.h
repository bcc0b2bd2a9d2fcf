// Gathers the bytes of one engine connection, as they arrive, into whole messages, so that no
// read ever has to wait for the rest of a message.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/messages.h"

namespace zep::engine {

enum class AssembleStatus {
  kMessage,   // a whole message was taken out
  kNeedMore,  // what is buffered is not a whole message yet
  kTooLong,   // the buffered header announces more than the limit; the stream is unusable
};

class MessageAssembler {
 public:
  MessageAssembler() = default;
  explicit MessageAssembler(std::uint32_t maxPayload) : maxPayload_(maxPayload) {}

  void append(std::span<const std::uint8_t> bytes);
  // Takes the first whole message out of the buffer. With kTooLong, message->header holds the
  // header that announced the length.
  AssembleStatus next(Message* message);
  // True when next() would not answer kNeedMore.
  bool hasMessage() const;

  bool empty() const { return buffered() == 0; }
  bool headerComplete() const { return buffered() >= kHeaderSize; }
  std::size_t buffered() const { return bytes_.size() - start_; }
  std::span<const std::uint8_t> bufferedBytes() const { return std::span(bytes_).subspan(start_); }

 private:
  std::uint32_t announcedLength() const;

  std::uint32_t maxPayload_ = kMaxPayload;
  std::vector<std::uint8_t> bytes_;
  std::size_t start_ = 0;  // where the first unconsumed byte is
};

}  // namespace zep::engine
