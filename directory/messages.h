// The message objects of the directory connection: one class per type, each able to read its
// body from the link (receive), write itself (send), take its arguments (set), apply itself to
// the directory model (execute) and make an empty copy of itself (clone). Bodies are read and
// written by the plain functions of protocol.h.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "directory/protocol.h"

namespace zep::directory {

// A byte stream: recv_n and send_n move exactly n bytes and return n, 0 when the peer closed
// first, -1 on an error.
class Transport {
 public:
  virtual ~Transport() = default;
  virtual long recv_n(std::uint8_t* buffer, std::size_t n) = 0;
  virtual long send_n(const std::uint8_t* buffer, std::size_t n) = 0;
};

// What received messages do, on the window thread.
class DirectoryModel {
 public:
  virtual ~DirectoryModel() = default;
  virtual void onRegister(const Registration& r) = 0;
  virtual void onUnregister(net::Ipv4 userId) = 0;
  virtual void onNewConference(const NewConference& c) = 0;
  virtual void onConferenceEntry(const ConferenceEntry& c) = 0;
  virtual void onDeleteConference(std::uint32_t conferenceId) = 0;
  virtual void onJoin(const IdPair& ids) = 0;
  virtual void onLeave(const IdPair& ids) = 0;
  virtual void onNotice(const std::string& text) = 0;
  virtual void onPasswordAsked(const PasswordText& p) = 0;
  virtual void onAdmitAsked(const IdPair& ids) = 0;
};

class DirMessage {
 public:
  explicit DirMessage(std::uint8_t type) { header_.type = type; }
  virtual ~DirMessage() = default;

  // Reads the body that header announces; -1 when the stream failed or the body cannot be of
  // this type (its fixed size differs, it is cut short, it lacks its fixed fields).
  int receive(Transport& link, const HEADER& header);
  // Writes header and body; -1 when fewer bytes went.
  int send(Transport& link) const;
  virtual void execute(DirectoryModel& model) const { (void)model; }
  virtual std::unique_ptr<DirMessage> clone() const = 0;
  // Types 3, 4 and 5 are read and dropped.
  virtual bool executes() const { return true; }

  const HEADER& header() const { return header_; }
  std::span<const std::uint8_t> body() const { return body_; }

 protected:
  // Takes a received body of the right size; false when it cannot be this type's.
  virtual bool take() { return true; }
  // Sets the body and its length; -1 when it is too long for the length field.
  int setBody(std::vector<std::uint8_t> body);

  HEADER header_;
  std::vector<std::uint8_t> body_;
};

template <class Self, std::uint8_t Type>
class MessageOf : public DirMessage {
 public:
  MessageOf() : DirMessage(Type) {}
  std::unique_ptr<DirMessage> clone() const override { return std::make_unique<Self>(); }
};

class msgCREGISTER final : public MessageOf<msgCREGISTER, kRegister> {
 public:
  int set(net::Ipv4 userId, const std::string& name, const std::string& second,
          const std::string& email);
  void execute(DirectoryModel& m) const override { m.onRegister(value_); }
  const Registration& value() const { return value_; }

 private:
  bool take() override;
  Registration value_;
};

class msgCUNREG final : public MessageOf<msgCUNREG, kUnregister> {
 public:
  int set(net::Ipv4 userId);
  void execute(DirectoryModel& m) const override { m.onUnregister(userId_); }

 private:
  bool take() override;
  net::Ipv4 userId_ = 0;
};

class msgCUSERLIST final : public MessageOf<msgCUSERLIST, kUserList> {
 public:
  int set() { return setBody({}); }
  bool executes() const override { return false; }
};

// Types 4 and 5: four bytes that the client reads and drops.
template <std::uint8_t Type>
class IgnoredMessage final : public MessageOf<IgnoredMessage<Type>, Type> {
 public:
  int set(std::uint32_t word) { return this->setBody(wordBody(word)); }
  bool executes() const override { return false; }
};

class msgCNEWCONF final : public MessageOf<msgCNEWCONF, kNewConference> {
 public:
  // The two ids are the server's to fill: the client sends zeros.
  int set(std::uint8_t kind, const std::string& topic, const std::string& password);
  void execute(DirectoryModel& m) const override { m.onNewConference(value_); }

 private:
  bool take() override;
  NewConference value_;
};

class msgCCONFLIST final : public MessageOf<msgCCONFLIST, kConferenceList> {
 public:
  // The request: four zero bytes.
  int set() { return setBody(wordBody(0)); }
  void execute(DirectoryModel& m) const override { m.onConferenceEntry(value_); }

 private:
  bool take() override;
  ConferenceEntry value_;
};

class msgCDELCONF final : public MessageOf<msgCDELCONF, kDeleteConference> {
 public:
  int set(std::uint32_t conferenceId) { return setBody(wordBody(conferenceId)); }
  void execute(DirectoryModel& m) const override { m.onDeleteConference(conferenceId_); }

 private:
  bool take() override;
  std::uint32_t conferenceId_ = 0;
};

// Types 9, 10 and 13: a conference id and a user id.
template <class Self, std::uint8_t Type>
class IdPairMessage : public MessageOf<Self, Type> {
 public:
  int set(std::uint32_t conferenceId, net::Ipv4 userId) {
    return this->setBody(idPairBody({conferenceId, userId}));
  }

 protected:
  bool take() override {
    auto ids = parseIdPair(this->body_);
    if (ids) ids_ = *ids;
    return ids.has_value();
  }
  IdPair ids_;
};

class msgCJOIN final : public IdPairMessage<msgCJOIN, kJoin> {
 public:
  void execute(DirectoryModel& m) const override { m.onJoin(ids_); }
};
class msgCLEAVE final : public IdPairMessage<msgCLEAVE, kLeave> {
 public:
  void execute(DirectoryModel& m) const override { m.onLeave(ids_); }
};
class msgCADMIT final : public IdPairMessage<msgCADMIT, kAdmit> {
 public:
  void execute(DirectoryModel& m) const override { m.onAdmitAsked(ids_); }
};

class msgCNOTICE final : public MessageOf<msgCNOTICE, kNotice> {
 public:
  int set(const std::string& text) { return setBody(noticeBody(text)); }
  void execute(DirectoryModel& m) const override { m.onNotice(text_); }

 private:
  bool take() override;
  std::string text_;
};

class msgCPASSWORD final : public MessageOf<msgCPASSWORD, kPassword> {
 public:
  int set(std::uint32_t conferenceId, const std::string& password) {
    return setBody(passwordBody({conferenceId, password}));
  }
  void execute(DirectoryModel& m) const override { m.onPasswordAsked(value_); }

 private:
  bool take() override;
  PasswordText value_;
};

// The prototypes by type: 15 slots, each taken at most once.
class PrototypeTable {
 public:
  // -1 when the type is 15 or more or its slot is taken.
  int add(std::unique_ptr<DirMessage> prototype);
  // Registers types 1 to 13 in order, each whose slot is still free (a later connection finds
  // them in place).
  void registerAll();
  const DirMessage* find(std::uint8_t type) const {
    return type < kSlotCount ? slots_[type].get() : nullptr;
  }
  // A new empty message of a registered type, null otherwise.
  template <class T>
  std::unique_ptr<T> make() const {
    auto p = dynamic_cast<const T*>(find(T().header().type));
    if (!p) return nullptr;
    return std::unique_ptr<T>(static_cast<T*>(p->clone().release()));
  }

 private:
  std::array<std::unique_ptr<DirMessage>, kSlotCount> slots_;
};

// Reads the next message of a stream: the header, then the body through the prototype of its
// type. Null when the receiving loop must end: the stream closed or failed, the type is
// undefined or unregistered, or the body is not what its type needs.
std::unique_ptr<DirMessage> receiveNext(Transport& in, const PrototypeTable& table);

}  // namespace zep::directory
