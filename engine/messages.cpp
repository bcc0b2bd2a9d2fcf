#include "engine/messages.h"

#include <algorithm>

namespace zep::engine {

namespace {

void writeSqueezedRecord(ByteWriter& w, const MemberRecord& record) {
  w.u8(record.number);
  w.text(record.name, kHeaderNameWidth);
  w.raw32(record.address);
}

MemberRecord readSqueezedRecord(ByteReader& r) {
  MemberRecord record;
  record.number = r.u8();
  record.name = r.text(kHeaderNameWidth, kMaxNameLength);
  record.address = r.raw32();
  return record;
}

}  // namespace

std::vector<std::uint8_t> encodeHeader(const MessageHeader& header) {
  ByteWriter w;
  w.data().reserve(kHeaderSize);
  w.u8(header.tag);
  w.u8(header.session);
  writeSqueezedRecord(w, header.sender);
  writeSqueezedRecord(w, header.target);
  w.i32(header.length, ByteOrder::kBig);
  return w.take();
}

std::optional<MessageHeader> decodeHeader(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kHeaderSize) return std::nullopt;
  ByteReader r(bytes);
  MessageHeader h;
  h.tag = r.u8();
  h.session = r.u8();
  h.sender = readSqueezedRecord(r);
  h.target = readSqueezedRecord(r);
  h.length = r.i32(ByteOrder::kBig);
  return h;
}

void writeMemberRecord(ByteWriter& w, const MemberRecord& record) {
  w.u8(record.number);
  w.text(record.name.substr(0, kMaxNameLength), kRecordNameWidth);
  w.raw32(record.address);
}

MemberRecord readMemberRecord(ByteReader& r) {
  MemberRecord record;
  record.number = r.u8();
  record.name = r.text(kRecordNameWidth, kMaxNameLength);
  record.address = r.raw32();
  return record;
}

std::vector<std::uint8_t> encodeMemberRecord(const MemberRecord& record) {
  ByteWriter w;
  writeMemberRecord(w, record);
  return w.take();
}

std::optional<MemberRecord> decodeMemberRecord(std::span<const std::uint8_t> bytes) {
  ByteReader r(bytes);
  MemberRecord record = readMemberRecord(r);
  if (!r.ok()) return std::nullopt;
  return record;
}

std::vector<std::uint8_t> encodeMemberList(const MemberList& list, ByteOrder countOrder) {
  ByteWriter w;
  w.i32(list.word0, ByteOrder::kBig);
  w.u32(static_cast<std::uint32_t>(list.records.size()), countOrder);
  for (const auto& record : list.records) writeMemberRecord(w, record);
  if (list.records.empty()) w.zeros(kMemberRecordSize);
  return w.take();
}

std::optional<DecodedMemberList> decodeMemberList(std::span<const std::uint8_t> bytes,
                                                  ByteOrder countOrder) {
  ByteReader r(bytes);
  DecodedMemberList out;
  out.list.word0 = r.i32(ByteOrder::kBig);
  out.announced = r.u32(countOrder);
  if (!r.ok()) return std::nullopt;
  std::size_t present = r.remaining() / kMemberRecordSize;
  std::size_t n = std::min<std::size_t>(present, out.announced);
  out.truncated = n < out.announced;
  for (std::size_t i = 0; i < n; ++i) out.list.records.push_back(readMemberRecord(r));
  return out;
}

std::vector<std::uint8_t> encodeAppMessage(const AppMessage& message, AppMessageOrder order) {
  ByteWriter w;
  w.raw32(message.firstWord);
  w.i32(message.destination, order.destination);
  w.i32(message.port, order.port);
  w.u16(message.tag, order.tag);
  // Exactly the data: a message forwarded from one channel to the next keeps its length.
  w.bytes(message.data);
  w.u8(0);  // pad
  return w.take();
}

std::optional<AppMessage> decodeAppMessage(std::span<const std::uint8_t> bytes,
                                           AppMessageOrder order) {
  if (bytes.size() < kAppMessagePrefix + 1) return std::nullopt;
  ByteReader r(bytes);
  AppMessage m;
  m.firstWord = r.raw32();
  m.destination = r.i32(order.destination);
  m.port = r.i32(order.port);
  m.tag = r.u16(order.tag);
  auto data = r.bytes(bytes.size() - kAppMessagePrefix - 1);
  m.data.assign(data.begin(), data.end());
  return m;
}

std::vector<std::uint8_t> encodeNumber(std::int32_t value, ByteOrder order) {
  ByteWriter w;
  w.i32(value, order);
  return w.take();
}

std::optional<std::int32_t> decodeNumber(std::span<const std::uint8_t> bytes, ByteOrder order) {
  ByteReader r(bytes);
  std::int32_t v = r.i32(order);
  if (!r.ok()) return std::nullopt;
  return v;
}

int sendMessage(int fd, MessageHeader header, std::span<const std::uint8_t> payload,
                int timeoutMs) {
  if (fd < 0) return 0;
  header.length = static_cast<std::int32_t>(payload.size());
  // One buffer, one send: the bytes on the wire are the header followed by the payload.
  std::vector<std::uint8_t> bytes = encodeHeader(header);
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  if (timeoutMs >= 0) return net::writeAllWithin(fd, bytes.data(), bytes.size(), timeoutMs);
  return net::writeAll(fd, bytes.data(), bytes.size());
}

ReadStatus receiveMessage(int fd, Message* message, std::uint32_t maxPayload) {
  std::uint8_t raw[kHeaderSize];
  int rc = net::readAll(fd, raw, sizeof raw);
  if (rc == 0) return ReadStatus::kHeaderClosed;
  if (rc < 0) return ReadStatus::kHeaderError;
  message->header = *decodeHeader(raw);
  auto length = static_cast<std::uint32_t>(message->header.length);
  if (length > maxPayload) return ReadStatus::kTooLong;
  message->payload.resize(length);
  if (length > 0) {
    rc = net::readAll(fd, message->payload.data(), length);
    if (rc == 0) return ReadStatus::kPayloadClosed;
    if (rc < 0) return ReadStatus::kPayloadError;
  }
  return ReadStatus::kOk;
}

}  // namespace zep::engine
