#include "applink/rtp.h"

#include "platform/bytes.h"

namespace zep::applink {

std::vector<std::uint8_t> encodeRtpDatagram(const RtpHeader& h,
                                            std::span<const std::uint8_t> data) {
  ByteWriter w;
  w.u8(0x80);  // version 2
  w.u8(h.payloadType & 0x7F);
  w.u16(h.sequence, ByteOrder::kBig);
  w.u32(h.timestamp, ByteOrder::kBig);
  w.u32(h.source, ByteOrder::kBig);
  w.bytes(data);
  return w.take();
}

std::optional<RtpDatagram> decodeRtpDatagram(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kRtpHeaderSize) return std::nullopt;
  ByteReader r(bytes);
  std::uint8_t first = r.u8(), second = r.u8();
  // Version 2 and nothing else in the first byte; no marker.
  if (first != 0x80 || (second & 0x80)) return std::nullopt;
  RtpDatagram d;
  d.header.payloadType = second;
  d.header.sequence = r.u16(ByteOrder::kBig);
  d.header.timestamp = r.u32(ByteOrder::kBig);
  d.header.source = r.u32(ByteOrder::kBig);
  if (!r.ok() || d.header.source >= kMaxSource) return std::nullopt;
  d.data = bytes.subspan(kRtpHeaderSize);
  return d;
}

MediaHeader classifyMediaDatagram(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return MediaHeader::kUnknown;
  if ((bytes[0] >> 6) == 2) return MediaHeader::kRtp;
  if (bytes[0] == 0) return MediaHeader::kMediaTool;
  return MediaHeader::kUnknown;
}

bool RtpSender::send(const net::Socket& socket, std::uint16_t port, int destination, int type,
                     std::span<const std::uint8_t> data, const engine::MemberTable& members,
                     int localMember) {
  if (data.size() + kRtpHeaderSize > kMaxMediaDatagram) return false;
  RtpHeader h;
  h.payloadType = static_cast<std::uint8_t>(type);
  h.timestamp = clock_.now();
  h.source = static_cast<std::uint32_t>(localMember < 0 ? 0 : localMember);
  for (const auto& target : members.mediaTargets(destination, localMember)) {
    h.sequence = sequence_++;
    net::sendTo(socket, target.address, port, encodeRtpDatagram(h, data));
  }
  return true;
}

}  // namespace zep::applink
