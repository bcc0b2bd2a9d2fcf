#include "directory/messages.h"

namespace zep::directory {

int DirMessage::setBody(std::vector<std::uint8_t> body) {
  if (body.size() > kMaxBody) return -1;
  header_.length = static_cast<std::uint16_t>(body.size());
  body_ = std::move(body);
  return 0;
}

int DirMessage::receive(Transport& link, const HEADER& header) {
  header_ = header;
  int fixed = fixedBodySize(header.type);
  // A fixed-size type whose header announces another size ends the stream: its body cannot be
  // told from the next header.
  if (fixed >= 0 && header.length != fixed) return -1;
  body_.assign(header.length, 0);
  if (header.length > 0 && link.recv_n(body_.data(), body_.size()) != header.length) return -1;
  return take() ? 0 : -1;
}

int DirMessage::send(Transport& link) const {
  auto h = encodeHeader(header_);
  if (link.send_n(h.data(), h.size()) != static_cast<long>(h.size())) return -1;
  if (body_.empty()) return 0;
  return link.send_n(body_.data(), body_.size()) == static_cast<long>(body_.size()) ? 0 : -1;
}

int msgCREGISTER::set(net::Ipv4 userId, const std::string& name, const std::string& second,
                      const std::string& email) {
  value_ = {userId, name, second, email};
  return setBody(registrationBody(value_));
}

bool msgCREGISTER::take() {
  auto r = parseRegistration(body_);
  if (r) value_ = std::move(*r);
  return r.has_value();
}

int msgCUNREG::set(net::Ipv4 userId) {
  userId_ = userId;
  return setBody(userIdBody(userId));
}

bool msgCUNREG::take() {
  auto id = parseUserId(body_);
  if (id) userId_ = *id;
  return id.has_value();
}

int msgCNEWCONF::set(std::uint8_t kind, const std::string& topic, const std::string& password) {
  if (kind > kProtected) return -1;
  value_ = {kind, 0, 0, topic, password};
  return setBody(newConferenceBody(value_));
}

bool msgCNEWCONF::take() {
  auto c = parseNewConference(body_);
  if (c) value_ = std::move(*c);
  return c.has_value();
}

bool msgCCONFLIST::take() {
  auto c = parseConferenceEntry(body_);
  if (c) value_ = std::move(*c);
  return c.has_value();
}

bool msgCDELCONF::take() {
  auto id = parseWord(body_);
  if (id) conferenceId_ = *id;
  return id.has_value();
}

bool msgCNOTICE::take() {
  text_ = parseNotice(body_);
  return true;
}

bool msgCPASSWORD::take() {
  auto p = parsePasswordText(body_);
  if (p) value_ = std::move(*p);
  return p.has_value();
}

int PrototypeTable::add(std::unique_ptr<DirMessage> prototype) {
  if (!prototype) return -1;
  std::uint8_t type = prototype->header().type;
  if (type >= kSlotCount || slots_[type]) return -1;
  slots_[type] = std::move(prototype);
  return 0;
}

void PrototypeTable::registerAll() {
  auto put = [this](std::unique_ptr<DirMessage> p) {
    if (!find(p->header().type)) add(std::move(p));
  };
  put(std::make_unique<msgCREGISTER>());
  put(std::make_unique<msgCUNREG>());
  put(std::make_unique<msgCUSERLIST>());
  put(std::make_unique<IgnoredMessage<kType4>>());
  put(std::make_unique<IgnoredMessage<kType5>>());
  put(std::make_unique<msgCNEWCONF>());
  put(std::make_unique<msgCCONFLIST>());
  put(std::make_unique<msgCDELCONF>());
  put(std::make_unique<msgCJOIN>());
  put(std::make_unique<msgCLEAVE>());
  put(std::make_unique<msgCNOTICE>());
  put(std::make_unique<msgCPASSWORD>());
  put(std::make_unique<msgCADMIT>());
}

std::unique_ptr<DirMessage> receiveNext(Transport& in, const PrototypeTable& table) {
  std::array<std::uint8_t, kHeaderSize> bytes{};
  if (in.recv_n(bytes.data(), bytes.size()) != static_cast<long>(bytes.size())) return nullptr;
  HEADER header = decodeHeader(bytes);
  const DirMessage* prototype = table.find(header.type);
  if (!prototype) return nullptr;
  auto message = prototype->clone();
  if (!message || message->receive(in, header) != 0) return nullptr;
  return message;
}

}  // namespace zep::directory
