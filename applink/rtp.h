// The integrated client's media datagrams (the RTP-layout variant of the media header): a 12-byte
// header in the layout of the RTP fixed header (version 2, no padding, extension or contributing
// sources, marker 0, the media type as payload type, a 16-bit sequence counter of the program,
// milliseconds since the system started as the timestamp, the sender's member number as the
// source), big-endian, then the data. Sent to the media tools' ports with the addressing every
// media program uses.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/member_table.h"
#include "platform/clock.h"
#include "platform/net.h"

namespace zep::applink {

inline constexpr std::size_t kRtpHeaderSize = 12;
inline constexpr std::uint32_t kMaxSource = 100;  // member numbers and the tools' senders
inline constexpr std::size_t kMaxMediaDatagram = 60000;

struct RtpHeader {
  std::uint8_t payloadType = 0;  // 7 bits: the media type
  std::uint16_t sequence = 0;
  std::uint32_t timestamp = 0;
  std::uint32_t source = 0;  // the sender's member number
};

std::vector<std::uint8_t> encodeRtpDatagram(const RtpHeader& header,
                                            std::span<const std::uint8_t> data);

struct RtpDatagram {
  RtpHeader header;
  std::span<const std::uint8_t> data;
};
// Empty when shorter than the header, of another version, with padding, an extension,
// contributing sources or the marker set, or from a source of 100 or more.
std::optional<RtpDatagram> decodeRtpDatagram(std::span<const std::uint8_t> bytes);

// Which header a media datagram carries: the integrated client's has version 2 in the top
// bits of its first byte; the media tools' 32-bit big-endian type begins with a zero byte.
enum class MediaHeader { kRtp, kMediaTool, kUnknown };
MediaHeader classifyMediaDatagram(std::span<const std::uint8_t> bytes);

// Sends the program's media: one sequence counter for every datagram it sends.
class RtpSender {
 public:
  explicit RtpSender(clock::Clock& clock) : clock_(clock) {}
  // One datagram to each target of the destination (see MemberTable::mediaTargets) on the
  // socket, to the given port. False when the data is too large to be received.
  bool send(const net::Socket& socket, std::uint16_t port, int destination, int type,
            std::span<const std::uint8_t> data, const engine::MemberTable& members,
            int localMember);

 private:
  clock::Clock& clock_;
  std::atomic<std::uint16_t> sequence_{0};
};

}  // namespace zep::applink
