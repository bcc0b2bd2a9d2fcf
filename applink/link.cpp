// Attaching to the engine and following its notifications.
#include "applink/link.h"

#include <cstdio>

#include "platform/bytes.h"

namespace zep::applink {

using namespace engine;

std::function<void(const std::string&)> traceLog() {
  if (host::environment("ZEP_TRACE") != "1") return {};
  return [](const std::string& text) { std::fputs(text.c_str(), stderr); };
}

Link::Link(std::uint16_t port, const host::HostIdentity& host, LinkOptions options)
    : port_(port), host_(host), options_(std::move(options)) {}

Link::~Link() {
  close();
}

void Link::log(const std::string& text) const {
  if (options_.log) options_.log(text);
}

std::unique_ptr<Link> Link::attach(std::uint16_t port, const host::HostIdentity& host,
                                   LinkOptions options) {
  std::unique_ptr<Link> link(new Link(port, host, std::move(options)));
  const char* failedStep = "";
  link->data_ = net::openUdp(host.bindAddress, port, &failedStep);
  if (!link->data_) {
    link->log(std::string(failedStep) == "socket" ? "Application: can't open socket\n"
                                                  : "Application: can't bind socket\n");
    return nullptr;
  }
  switch (net::connectTcp(host.address, kEnginePort, host.bindAddress,
                          link->options_.connectTimeoutMs, &link->control_)) {
    case net::ConnectResult::kNoSocket:
      link->log("Application: can't open control socket\n");
      return nullptr;
    case net::ConnectResult::kFailed:
      link->log("Application: can not connect to engine, exiting...\n");
      link->options_.exit(0);
      return nullptr;
    case net::ConnectResult::kConnected:
      break;
  }
  MessageHeader h;
  h.tag = NEW_APP_ATTACH;
  h.sender.name = host.userName;
  h.sender.address = host.address;
  ByteWriter w;
  w.u16(port, ByteOrder::kBig);
  if (sendMessage(link->control_.fd(), h, w.data()) != 1) link->log("Manager: write error\n");
  return link;
}

bool Link::setCallback(int event, LinkCallback callback) {
  if (event < 0 || event >= static_cast<int>(callbacks_.size())) {
    log("Unknown application event tag\n");
    return false;
  }
  callbacks_[static_cast<std::size_t>(event)] = std::move(callback);
  return true;
}

int Link::fillReadSet(net::ReadSet& set) const {
  set.add(data_.fd());
  set.add(control_.fd());
  return control_.fd();
}

int Link::serviceControl(const net::ReadSet& set) {
  if (!control_.valid() || !set.isReady(control_.fd())) return 0;
  Message m;
  switch (receiveMessage(control_.fd(), &m)) {
    case ReadStatus::kOk:
      dispatch(m);
      break;
    case ReadStatus::kHeaderClosed:
    case ReadStatus::kPayloadClosed:
      log("App: engine killed, exitting...\n");
      quitPath(0);
      break;
    default:
      // After a read error or an over-long header the stream is out of step: whatever
      // follows would be parsed from the middle of a message. The channel ends as if the
      // engine had closed it.
      log("App: data reading error\n");
      quitPath(0);
      break;
  }
  return 1;
}

void Link::quitPath(int tag) {
  if (callbacks_[kQuitEvent]) {
    if (tag) log("Application: callback quit\n");
    LinkEventArgs args;
    args.quitTag = tag;
    callbacks_[kQuitEvent](args);
    if (!tag) control_.close();  // the engine is gone: stop reading a dead channel
    return;
  }
  if (tag) log("Application: standard quit\n");
  close();
  options_.exit(0);
}

void Link::notifyMember(LinkEvent event, int member) {
  if (!callbacks_[event]) return;
  LinkEventArgs args;
  args.member = member;
  callbacks_[event](args);
}

void Link::dispatch(const Message& m) {
  auto number = decodeNumber(m.payload, ByteOrder::kLittle);
  switch (m.header.tag) {
    case CTL_ADD_MEMBER: {
      log("Application: add member\n");
      auto r = decodeMemberRecord(m.payload);
      if (!r || r->number >= kMaxMembers) {
        log("Application: bad member record ignored\n");
        return;
      }
      log("Application: member added " + r->name + "@" +
          std::to_string(static_cast<int>(r->address)) + " handle " + std::to_string(r->number) +
          "\n");
      {
        std::lock_guard lock(mutex_);
        members_.put(*r);
      }
      notifyMember(kMemberAddedEvent, r->number);
      log("App: member added\n");
      break;
    }
    case CTL_DELETE_MEMBER: {
      log("Application: delete member\n");
      if (!number || *number < 0 || *number >= kMaxMembers) return;
      {
        std::lock_guard lock(mutex_);
        members_.remove(*number);
      }
      notifyMember(kMemberDeletedEvent, *number);
      break;
    }
    case CTL_LOCAL_MEMBER:
      if (!number) return;
      log("Application: local member " + std::to_string(*number) + "\n");
      {
        std::lock_guard lock(mutex_);
        localMember_ = *number;
        session_ = m.header.session;
      }
      if (options_.multicast) joinSessionGroup();
      if (callbacks_[kLocalMemberEvent]) callbacks_[kLocalMemberEvent]({});
      break;
    case CTL_QUIT:
      log("Application: quit\n");
      quitPath(CTL_QUIT);
      break;
    case CTL_DATABASE_START:
      log("Application: database start\n");
      openDatabase();
      break;
    case CTL_DATABASE_STOP:
      closeDatabase();
      break;
    case CTL_PRIORITY_DATA: {
      log("Application: priority data\n");
      auto a = decodeAppMessage(m.payload, kLocalOrder);
      if (!a || !callbacks_[kDataEvent]) return;
      LinkEventArgs args;
      args.dataTag = a->tag;
      args.firstWord = a->firstWord;
      args.data = a->data;
      callbacks_[kDataEvent](args);
      break;
    }
    default:
      log("Application: wrong message tag " + std::to_string(m.header.tag) + "\n");
  }
}

void Link::detach() {
  if (control_.valid()) {
    MessageHeader h;
    h.tag = APP_DETACH;
    h.sender.name = host_.userName;
    h.sender.address = host_.address;
    sendMessage(control_.fd(), h, encodeNumber(port_, ByteOrder::kLittle));
  }
  close();
}

void Link::close() {
  if (options_.multicast && localMember() >= 0) leaveSessionGroup();
  data_.close();
  control_.close();
  closeDatabase();
}

int Link::getMemberInfo(int member, std::string* name, std::string* hostName) const {
  engine::MemberRecord r;
  {
    std::lock_guard lock(mutex_);
    if (!members_.present(member)) {
      *name = "unknown";
      hostName->clear();
      return 0;
    }
    r = members_[member];
  }
  *name = r.name;
  *hostName = host::lookupName(r.address);
  return 1;
}

int Link::localMember() const {
  std::lock_guard lock(mutex_);
  return localMember_;
}

std::uint8_t Link::session() const {
  std::lock_guard lock(mutex_);
  return session_;
}

bool Link::present(int member) const {
  std::lock_guard lock(mutex_);
  return members_.present(member);
}

}  // namespace zep::applink
