// The Directory Server's wire format: every message is a 3-byte header (body length, 2 bytes
// big-endian, not counting the header; type, 1 byte) and a body. Bodies are built and read
// here as plain functions over byte spans; nothing here touches a socket.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/net.h"

namespace zep::directory {

inline constexpr std::uint16_t kDirectoryPort = 4401;
inline constexpr std::size_t kHeaderSize = 3;
inline constexpr std::size_t kMaxBody = 0xFFFF;
// Type numbers 0 to 14 are known to the receiver; 1 to 13 are defined.
inline constexpr int kSlotCount = 15;

enum MessageType : std::uint8_t {
  kRegister = 1,          // msgCREGISTER
  kUnregister = 2,        // msgCUNREG
  kUserList = 3,          // msgCUSERLIST
  kType4 = 4,             // read and ignored
  kType5 = 5,             // read and ignored
  kNewConference = 6,     // msgCNEWCONF
  kConferenceList = 7,    // msgCCONFLIST
  kDeleteConference = 8,  // msgCDELCONF
  kJoin = 9,              // msgCJOIN
  kLeave = 10,            // msgCLEAVE
  kNotice = 11,           // msgCNOTICE
  kPassword = 12,         // msgCPASSWORD
  kAdmit = 13,            // msgCADMIT
};

enum ConferenceKind : std::uint8_t { kOpen = 0, kRestricted = 1, kProtected = 2 };

struct HEADER {
  std::uint16_t length = 0;  // of the body
  std::uint8_t type = 0;
};

std::array<std::uint8_t, kHeaderSize> encodeHeader(const HEADER& header);
HEADER decodeHeader(std::span<const std::uint8_t, kHeaderSize> bytes);

// The body size a type must have: 4 for types 2, 4, 5, 8; 8 for 9, 10, 13; 0 for 3; -1 for the
// variable types (1, 6, 7, 11, 12) and for the undefined ones.
int fixedBodySize(std::uint8_t type);

// Numbers in bodies travel as the sender's memory holds them. A user id is an IPv4 address in
// network order (net::Ipv4); a conference id is opaque, ordered as a little-endian number.
struct Registration {
  net::Ipv4 userId = 0;
  std::string name, second, email;
};
struct NewConference {
  std::uint8_t kind = kOpen;
  std::uint32_t conferenceId = 0;
  net::Ipv4 creator = 0;
  std::string topic, password;
};
struct ConferenceEntry {
  std::uint8_t kind = 0;  // not read by the client
  std::uint32_t conferenceId = 0;
  std::string topic;
  std::vector<net::Ipv4> participants;
};
struct IdPair {
  std::uint32_t conferenceId = 0;
  net::Ipv4 userId = 0;
};
struct PasswordText {
  std::uint32_t conferenceId = 0;
  std::string text;
};

// Body readers. Texts end at their NUL or, without one, at the body's end; a body too short
// for its fixed fields gives nullopt.
std::optional<Registration> parseRegistration(std::span<const std::uint8_t> body);
std::optional<NewConference> parseNewConference(std::span<const std::uint8_t> body);
// Participants follow the topic's NUL, 4 bytes each; 1 to 3 bytes left over are no participant.
std::optional<ConferenceEntry> parseConferenceEntry(std::span<const std::uint8_t> body);
std::optional<PasswordText> parsePasswordText(std::span<const std::uint8_t> body);
std::string parseNotice(std::span<const std::uint8_t> body);
std::optional<std::uint32_t> parseWord(std::span<const std::uint8_t> body);  // exactly 4 bytes
std::optional<net::Ipv4> parseUserId(std::span<const std::uint8_t> body);    // exactly 4 bytes
std::optional<IdPair> parseIdPair(std::span<const std::uint8_t> body);       // exactly 8 bytes

// Body writers. The result may exceed kMaxBody; frame() refuses such bodies.
std::vector<std::uint8_t> registrationBody(const Registration& r);
std::vector<std::uint8_t> newConferenceBody(const NewConference& c);
std::vector<std::uint8_t> conferenceEntryBody(const ConferenceEntry& c);
std::vector<std::uint8_t> wordBody(std::uint32_t word);
std::vector<std::uint8_t> userIdBody(net::Ipv4 userId);
std::vector<std::uint8_t> idPairBody(const IdPair& ids);
std::vector<std::uint8_t> passwordBody(const PasswordText& p);
std::vector<std::uint8_t> noticeBody(std::string_view text);
// Header and body together; nullopt when the body is longer than the length field holds.
std::optional<std::vector<std::uint8_t>> frame(std::uint8_t type,
                                               std::span<const std::uint8_t> body);

// The whole frame at the start of buffered bytes: its size, or 0 while it is incomplete.
std::size_t completeFrameSize(std::span<const std::uint8_t> buffered);

// What a client may ask of a server, checked field by field (the stand-in server's side).
struct UsersRequest {};
struct ConferencesRequest {};
struct JoinRequest {
  std::uint32_t conferenceId;
};
struct LeaveRequest {
  std::uint32_t conferenceId;
};
using ClientRequest = std::variant<Registration, UsersRequest, ConferencesRequest, NewConference,
                                   JoinRequest, LeaveRequest, PasswordText, IdPair>;
// One client frame's type and body; nullopt with *why set when the server must not take it.
std::optional<ClientRequest> parseClientRequest(std::uint8_t type,
                                                std::span<const std::uint8_t> body,
                                                std::string* why);

}  // namespace zep::directory
