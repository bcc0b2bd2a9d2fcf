// The video message set, the coded-frame payload and the order check of arriving frames.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codecs/h26x.h"

namespace zep::video {

inline constexpr std::uint16_t kVideoPort = 34999;

using picture::VIDEO_H261;
using picture::VIDEO_H263;
using picture::VIDEO_YUV9;
inline constexpr int VIDEO_START = 3;
inline constexpr int VIDEO_START_ACK = 4;
inline constexpr int VIDEO_STOP = 5;
inline constexpr int VIDEO_HELLO = 9;

inline constexpr int kMembers = 20;
inline constexpr int kMirrorSlot = 20;
inline constexpr int kSlots = 21;

// Frame counter, eleven zeros, the frame data, three zeros: n + 15 bytes.
inline constexpr std::size_t kCodedFramePrefix = 12;
inline constexpr std::size_t kCodedFrameOverhead = 15;
std::vector<std::uint8_t> encodeCodedFrame(std::uint8_t counter,
                                           std::span<const std::uint8_t> data);

struct CodedFrame {
  std::uint8_t counter = 0;
  std::span<const std::uint8_t> data;  // payload length - 15 bytes from offset 12
};
// Empty when the payload is shorter than 15 bytes.
std::optional<CodedFrame> decodeCodedFrame(std::span<const std::uint8_t> payload);

// The last frame number seen from each member. A frame is late, and dropped, when its number
// is below the last and less than 100 behind it; any other number is taken (a counter that
// wrapped round is far behind).
class FrameOrder {
 public:
  bool accept(int member, std::uint8_t number);
  void reset(int member);
  int last(int member) const { return last_[member]; }

 private:
  std::array<std::atomic<int>, kMembers> last_{};
};

}  // namespace zep::video
