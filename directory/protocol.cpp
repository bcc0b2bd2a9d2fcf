#include "directory/protocol.h"

#include <algorithm>
#include <cstring>

#include "platform/bytes.h"

namespace zep::directory {

namespace {

// Reads the fields of one body; texts stop at a NUL or at the body's end.
class BodyReader {
 public:
  explicit BodyReader(std::span<const std::uint8_t> body) : body_(body) {}
  bool has(std::size_t n) const { return body_.size() - pos_ >= n; }
  std::uint8_t u8() { return body_[pos_++]; }
  // Four bytes in memory order.
  std::uint32_t raw32() {
    std::uint32_t v;
    std::memcpy(&v, body_.data() + pos_, 4);
    pos_ += 4;
    return v;
  }
  // Four bytes as a little-endian number.
  std::uint32_t le32() {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | body_[pos_ + static_cast<std::size_t>(i)];
    pos_ += 4;
    return v;
  }
  std::string text() {
    auto rest = body_.subspan(pos_);
    auto nul = std::find(rest.begin(), rest.end(), std::uint8_t{0});
    std::string s(rest.begin(), nul);
    pos_ += s.size() + (nul != rest.end() ? 1 : 0);
    return s;
  }
  std::size_t remaining() const { return body_.size() - pos_; }

 private:
  std::span<const std::uint8_t> body_;
  std::size_t pos_ = 0;
};

void putText(ByteWriter& w, std::string_view s) {
  // A text ends at its first NUL, whatever follows in the string.
  s = s.substr(0, s.find('\0'));
  w.bytes({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()});
  w.u8(0);
}

}  // namespace

std::array<std::uint8_t, kHeaderSize> encodeHeader(const HEADER& h) {
  return {static_cast<std::uint8_t>(h.length >> 8), static_cast<std::uint8_t>(h.length & 0xFF),
          h.type};
}

HEADER decodeHeader(std::span<const std::uint8_t, kHeaderSize> b) {
  return {static_cast<std::uint16_t>((b[0] << 8) | b[1]), b[2]};
}

int fixedBodySize(std::uint8_t type) {
  switch (type) {
    case kUnregister:
    case kType4:
    case kType5:
    case kDeleteConference:
      return 4;
    case kJoin:
    case kLeave:
    case kAdmit:
      return 8;
    case kUserList:
      return 0;
    default:
      return -1;
  }
}

std::optional<Registration> parseRegistration(std::span<const std::uint8_t> body) {
  BodyReader r(body);
  if (!r.has(4)) return std::nullopt;
  Registration out;
  out.userId = r.raw32();
  out.name = r.text();
  out.second = r.text();
  out.email = r.text();
  return out;
}

std::optional<NewConference> parseNewConference(std::span<const std::uint8_t> body) {
  BodyReader r(body);
  if (!r.has(9)) return std::nullopt;
  NewConference out;
  out.kind = r.u8();
  out.conferenceId = r.le32();
  out.creator = r.raw32();
  out.topic = r.text();
  out.password = r.text();
  return out;
}

std::optional<ConferenceEntry> parseConferenceEntry(std::span<const std::uint8_t> body) {
  BodyReader r(body);
  if (!r.has(5)) return std::nullopt;
  ConferenceEntry out;
  out.kind = r.u8();
  out.conferenceId = r.le32();
  out.topic = r.text();
  while (r.has(4)) out.participants.push_back(r.raw32());
  return out;
}

std::optional<PasswordText> parsePasswordText(std::span<const std::uint8_t> body) {
  BodyReader r(body);
  if (!r.has(4)) return std::nullopt;
  PasswordText out;
  out.conferenceId = r.le32();
  out.text = r.text();
  return out;
}

std::string parseNotice(std::span<const std::uint8_t> body) {
  return BodyReader(body).text();
}

std::optional<std::uint32_t> parseWord(std::span<const std::uint8_t> body) {
  if (body.size() != 4) return std::nullopt;
  return BodyReader(body).le32();
}

std::optional<net::Ipv4> parseUserId(std::span<const std::uint8_t> body) {
  if (body.size() != 4) return std::nullopt;
  return BodyReader(body).raw32();
}

std::optional<IdPair> parseIdPair(std::span<const std::uint8_t> body) {
  if (body.size() != 8) return std::nullopt;
  BodyReader r(body);
  IdPair out;
  out.conferenceId = r.le32();
  out.userId = r.raw32();
  return out;
}

std::vector<std::uint8_t> registrationBody(const Registration& r) {
  ByteWriter w;
  w.raw32(r.userId);
  putText(w, r.name);
  putText(w, r.second);
  putText(w, r.email);
  return w.take();
}

std::vector<std::uint8_t> newConferenceBody(const NewConference& c) {
  ByteWriter w;
  w.u8(c.kind);
  w.u32(c.conferenceId, ByteOrder::kLittle);
  w.raw32(c.creator);
  putText(w, c.topic);
  putText(w, c.password);
  return w.take();
}

std::vector<std::uint8_t> conferenceEntryBody(const ConferenceEntry& c) {
  ByteWriter w;
  w.u8(c.kind);
  w.u32(c.conferenceId, ByteOrder::kLittle);
  putText(w, c.topic);
  for (net::Ipv4 p : c.participants) w.raw32(p);
  return w.take();
}

std::vector<std::uint8_t> wordBody(std::uint32_t word) {
  ByteWriter w;
  w.u32(word, ByteOrder::kLittle);
  return w.take();
}

std::vector<std::uint8_t> userIdBody(net::Ipv4 userId) {
  ByteWriter w;
  w.raw32(userId);
  return w.take();
}

std::vector<std::uint8_t> idPairBody(const IdPair& ids) {
  ByteWriter w;
  w.u32(ids.conferenceId, ByteOrder::kLittle);
  w.raw32(ids.userId);
  return w.take();
}

std::vector<std::uint8_t> passwordBody(const PasswordText& p) {
  ByteWriter w;
  w.u32(p.conferenceId, ByteOrder::kLittle);
  putText(w, p.text);
  return w.take();
}

std::vector<std::uint8_t> noticeBody(std::string_view text) {
  ByteWriter w;
  putText(w, text);
  return w.take();
}

std::optional<std::vector<std::uint8_t>> frame(std::uint8_t type,
                                               std::span<const std::uint8_t> body) {
  if (body.size() > kMaxBody) return std::nullopt;
  auto header = encodeHeader({static_cast<std::uint16_t>(body.size()), type});
  std::vector<std::uint8_t> out(header.begin(), header.end());
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

std::size_t completeFrameSize(std::span<const std::uint8_t> buffered) {
  if (buffered.size() < kHeaderSize) return 0;
  std::size_t size = kHeaderSize + ((std::size_t{buffered[0]} << 8) | buffered[1]);
  return buffered.size() >= size ? size : 0;
}

std::optional<ClientRequest> parseClientRequest(std::uint8_t type,
                                                std::span<const std::uint8_t> body,
                                                std::string* why) {
  auto fail = [&](const char* text) -> std::optional<ClientRequest> {
    *why = text;
    return std::nullopt;
  };
  switch (type) {
    case kRegister: {
      auto r = parseRegistration(body);
      if (!r) return fail("registration shorter than its user id");
      if (r->name.empty()) return fail("registration without a name");
      return *r;
    }
    case kUserList:
      if (!body.empty()) return fail("user-list request with a body");
      return UsersRequest{};
    case kConferenceList:
      if (body.size() != 4) return fail("conference-list request not of 4 bytes");
      return ConferencesRequest{};
    case kNewConference: {
      auto c = parseNewConference(body);
      if (!c) return fail("new conference shorter than its fixed fields");
      if (c->kind > kProtected) return fail("new conference of an unknown kind");
      if (c->topic.empty()) return fail("new conference without a topic");
      return *c;
    }
    case kJoin:
    case kLeave: {
      auto ids = parseIdPair(body);
      if (!ids) return fail(type == kJoin ? "join not of 8 bytes" : "leave not of 8 bytes");
      if (type == kJoin) return JoinRequest{ids->conferenceId};
      return LeaveRequest{ids->conferenceId};
    }
    case kPassword: {
      auto p = parsePasswordText(body);
      if (!p) return fail("password answer shorter than its conference id");
      return *p;
    }
    case kAdmit: {
      auto ids = parseIdPair(body);
      if (!ids) return fail("admission answer not of 8 bytes");
      return *ids;
    }
    default:
      return fail("unknown request type");
  }
}

}  // namespace zep::directory
