// The framing of every engine connection: the 56-byte header, the payload layouts and the tag
// tables of the four kinds of channel. The engine, the manager's engine link, the application
// link and the integrated client all build and parse messages with these definitions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/bytes.h"
#include "platform/net.h"

namespace zep::engine {

inline constexpr std::uint16_t kEnginePort = 5000;
inline constexpr int kMaxMembers = 20;
inline constexpr int kMaxApplications = 20;

inline constexpr std::size_t kHeaderSize = 56;
inline constexpr std::size_t kMemberRecordSize = 28;
inline constexpr std::size_t kHeaderNameWidth = 20;
inline constexpr std::size_t kRecordNameWidth = 23;
// Names travel in 20-byte header fields, so every name is cut to 19 characters.
inline constexpr std::size_t kMaxNameLength = 19;
inline constexpr std::size_t kMemberListPrefix = 8;
inline constexpr std::size_t kAppMessagePrefix = 14;
// Larger than any message the suite sends; a header announcing more ends the channel.
inline constexpr std::uint32_t kMaxPayload = 64 * 1024;

// First message on an accepted connection.
inline constexpr std::uint8_t NEW_LOCAL_INIT = 60;
inline constexpr std::uint8_t NEW_REMOTE_CONNECT = 61;
inline constexpr std::uint8_t NEW_REMOTE_INVITED = 62;
inline constexpr std::uint8_t NEW_APP_ATTACH = 63;

// Application channel, application to engine.
inline constexpr std::uint8_t APP_DETACH = 50;
inline constexpr std::uint8_t APP_DATA = 51;

// Local channel, manager to engine.
inline constexpr std::uint8_t LOCAL_CREATE = 0;
inline constexpr std::uint8_t LOCAL_QUIT = 1;
inline constexpr std::uint8_t LOCAL_ADD_MEMBER = 2;
inline constexpr std::uint8_t LOCAL_JOIN = 3;
inline constexpr std::uint8_t LOCAL_DELETE_INVITATION = 4;
inline constexpr std::uint8_t LOCAL_GET_MEMBERS = 5;
inline constexpr std::uint8_t LOCAL_SEND_TO_APP = 6;
inline constexpr std::uint8_t LOCAL_START_APP = 7;
inline constexpr std::uint8_t LOCAL_LEAVE = 8;
inline constexpr std::uint8_t LOCAL_SAVE_INIT = 9;
inline constexpr std::uint8_t LOCAL_SAVE_CLOSE = 10;
inline constexpr std::uint8_t LOCAL_RESTORE_INIT = 11;
inline constexpr std::uint8_t LOCAL_RESTORE_CLOSE = 12;

// Engine to manager (local channel) and engine to application (application channel).
inline constexpr std::uint8_t CTL_INVITATION = 13;
inline constexpr std::uint8_t CTL_ACCEPTED = 14;
inline constexpr std::uint8_t CTL_REJECTED = 15;
inline constexpr std::uint8_t CTL_MEMBERS = 16;
inline constexpr std::uint8_t CTL_ADD_MEMBER = 17;
inline constexpr std::uint8_t CTL_DELETE_MEMBER = 18;
inline constexpr std::uint8_t CTL_LOCAL_MEMBER = 19;
inline constexpr std::uint8_t CTL_START_APP = 20;
inline constexpr std::uint8_t CTL_INVITATION_TIMEOUT = 21;
inline constexpr std::uint8_t CTL_INVITATION_DELIVERED = 22;
inline constexpr std::uint8_t CTL_QUIT = 23;
inline constexpr std::uint8_t CTL_DATABASE_START = 24;
inline constexpr std::uint8_t CTL_DATABASE_STOP = 25;
inline constexpr std::uint8_t CTL_PRIORITY_DATA = 52;

// Member channel, engine to engine.
inline constexpr std::uint8_t MEMBER_ACCEPT = 0;
inline constexpr std::uint8_t MEMBER_QUIT = 1;
inline constexpr std::uint8_t MEMBER_REJECT = 2;
inline constexpr std::uint8_t MEMBER_ADD_MEMBER = 3;
inline constexpr std::uint8_t MEMBER_ADD_REST = 4;
inline constexpr std::uint8_t MEMBER_SEND_TO_APP = 5;
inline constexpr std::uint8_t MEMBER_APPS_DATA = 6;
inline constexpr std::uint8_t MEMBER_START_APP = 7;

// One member of a session: number, user name and host address (network order).
struct MemberRecord {
  std::uint8_t number = 0;
  std::string name;
  net::Ipv4 address = 0;

  // Two records denote the same member when address and name are equal.
  bool sameMember(const MemberRecord& other) const {
    return address == other.address && name == other.name;
  }
  bool operator==(const MemberRecord&) const = default;
};

struct MessageHeader {
  std::uint8_t tag = 0;
  std::uint8_t session = 0;
  MemberRecord sender;
  MemberRecord target;
  std::int32_t length = 0;  // payload bytes that follow
};

struct Message {
  MessageHeader header;
  std::vector<std::uint8_t> payload;
};

// Header: the two records squeezed to 25 bytes each, the length big-endian.
std::vector<std::uint8_t> encodeHeader(const MessageHeader& header);
// Empty when fewer than 56 bytes are given.
std::optional<MessageHeader> decodeHeader(std::span<const std::uint8_t> bytes);

void writeMemberRecord(ByteWriter& w, const MemberRecord& record);
MemberRecord readMemberRecord(ByteReader& r);
std::vector<std::uint8_t> encodeMemberRecord(const MemberRecord& record);
std::optional<MemberRecord> decodeMemberRecord(std::span<const std::uint8_t> bytes);

struct MemberList {
  std::int32_t word0 = 0;  // the inviter's number in an invitation; big-endian
  std::vector<MemberRecord> records;
};

// count × 28 + 8 bytes, and 36 when there are no records (room for one, zero-filled).
std::vector<std::uint8_t> encodeMemberList(const MemberList& list, ByteOrder countOrder);

struct DecodedMemberList {
  MemberList list;
  std::uint32_t announced = 0;  // count as the sender wrote it
  bool truncated = false;       // the payload holds fewer records than announced
};
// Reads the records that are actually present. Empty when the payload is shorter than the
// 8-byte prefix.
std::optional<DecodedMemberList> decodeMemberList(std::span<const std::uint8_t> bytes,
                                                  ByteOrder countOrder);

// The byte order of the three numbers of an AppMessage differs by channel.
struct AppMessageOrder {
  ByteOrder destination;
  ByteOrder port;
  ByteOrder tag;
};
inline constexpr AppMessageOrder kLocalOrder{ByteOrder::kLittle, ByteOrder::kLittle,
                                             ByteOrder::kLittle};
inline constexpr AppMessageOrder kMemberOrder{ByteOrder::kBig, ByteOrder::kBig, ByteOrder::kBig};
// APP_DATA as an application sends it: port in network order, the rest in host order.
inline constexpr AppMessageOrder kAppDataOrder{ByteOrder::kLittle, ByteOrder::kBig,
                                               ByteOrder::kLittle};

struct AppMessage {
  std::uint32_t firstWord = 0;  // application-defined, carried untouched
  std::int32_t destination = 0;
  std::int32_t port = 0;
  std::uint16_t tag = 0;
  std::vector<std::uint8_t> data;
};

// Prefix, data and one pad byte (15 bytes without data).
std::vector<std::uint8_t> encodeAppMessage(const AppMessage& message, AppMessageOrder order);
// Data is the payload less its 14-byte prefix and pad byte. Empty when shorter than 15 bytes.
std::optional<AppMessage> decodeAppMessage(std::span<const std::uint8_t> bytes,
                                           AppMessageOrder order);

// Four-byte numbers of CTL_DELETE_MEMBER, CTL_LOCAL_MEMBER, LOCAL_START_APP and the like.
std::vector<std::uint8_t> encodeNumber(std::int32_t value, ByteOrder order);
std::optional<std::int32_t> decodeNumber(std::span<const std::uint8_t> bytes, ByteOrder order);

// Sends header and payload, the header's length set from the payload. Results as writeAll:
// 1 sent, 0 nothing could be sent (or the handle is invalid), -1 error.
// With timeoutMs >= 0 the whole message must be taken within that time, else -1 with errno
// ETIMEDOUT (the stream is then out of step).
int sendMessage(int fd, MessageHeader header, std::span<const std::uint8_t> payload,
                int timeoutMs = -1);

enum class ReadStatus {
  kOk,
  kHeaderClosed,   // the peer closed before a whole header arrived
  kHeaderError,    // socket error while reading the header
  kPayloadClosed,  // the peer closed inside the payload
  kPayloadError,   // socket error while reading the payload
  kTooLong,        // the header announced more than maxPayload bytes; nothing more was read
};
// Reads one message: header, then exactly the payload it announces.
ReadStatus receiveMessage(int fd, Message* message, std::uint32_t maxPayload = kMaxPayload);

}  // namespace zep::engine
