// Media datagrams between the applications of a session: unicast to each member, the
// multicast mode, and the copy to the local recorder while a recording runs.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "applink/link.h"
#include "applink/rtp.h"
#include "platform/bytes.h"

namespace zep::applink {

std::string groupText(std::uint8_t session) {
  return "225.0.0." + std::to_string(session);
}

std::vector<std::uint8_t> encodeMediaDatagram(std::uint32_t type, std::int32_t sender,
                                              std::span<const std::uint8_t> data) {
  ByteWriter w;
  w.data().reserve(data.size() + kMediaHeaderSize + kMediaPadSize + 1);
  w.u32(type, ByteOrder::kBig);
  w.i32(sender, ByteOrder::kBig);
  if (data.empty())
    w.u8(0);
  else
    w.bytes(data);
  w.zeros(kMediaPadSize);
  return w.take();
}

std::optional<MediaDatagram> decodeMediaDatagram(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kMediaHeaderSize + kMediaPadSize) return std::nullopt;
  ByteReader r(bytes);
  MediaDatagram d;
  d.type = r.u32(ByteOrder::kBig);
  d.sender = r.i32(ByteOrder::kBig);
  d.data = bytes.subspan(kMediaHeaderSize, bytes.size() - kMediaHeaderSize - kMediaPadSize);
  return d;
}

std::optional<int> mediaSender(std::span<const std::uint8_t> bytes) {
  switch (classifyMediaDatagram(bytes)) {
    case MediaHeader::kRtp:
      if (auto d = decodeRtpDatagram(bytes)) return static_cast<int>(d->header.source);
      break;
    case MediaHeader::kMediaTool:
      if (auto d = decodeMediaDatagram(bytes)) return d->sender;
      break;
    case MediaHeader::kUnknown:
      break;
  }
  return std::nullopt;
}

bool mediaFromMember(const engine::MemberTable& members, int localMember, int sender,
                     net::Ipv4 from) {
  return sender != localMember && members.present(sender) && members[sender].address == from;
}

int Link::sendMedia(int destination, std::uint32_t type, std::span<const std::uint8_t> data) {
  // Receivers take at most kMaxDatagram bytes; a larger datagram would only be lost.
  if (data.size() + kMediaHeaderSize + kMediaPadSize > kMaxDatagram) {
    log("Application: datagram too large, not sent\n");
    return 0;
  }
  std::vector<engine::MemberRecord> targets;
  int local;
  {
    std::lock_guard lock(mutex_);
    local = localMember_;
    targets = members_.mediaTargets(destination, localMember_);
  }
  auto datagram = encodeMediaDatagram(type, local, data);
  int result = 1;
  if (destination < 0 && options_.multicast) {
    if (!net::sendTo(data_, group_, port_, datagram)) result = 0;
  } else {
    for (const auto& target : targets) {
      if (destination < 0 && options_.log)  // no text is built for a silent sink
        log("Application: data sent to user " + std::to_string(target.number) + ", size " +
            std::to_string(datagram.size()) + "\n");
      net::sendTo(data_, target.address, port_, datagram);  // unicast errors are silent
    }
  }
  if (destination < 0) copyToDatabase(datagram);
  return result;
}

long Link::receiveMedia(const net::ReadSet& set, std::vector<std::uint8_t>& buffer) {
  if (!data_.valid() || !set.isReady(data_.fd())) return 0;
  log("Application: there are data\n");
  buffer.resize(kMaxDatagram);
  net::Ipv4 from = net::kNoAddress;
  long n = net::receiveFrom(data_, buffer, nullptr, &from);
  if (n < 0) {
    log("Application: recvfrom error\n");
    buffer.clear();
    return 0;
  }
  buffer.resize(static_cast<std::size_t>(n));
  if (!fromMemberOrHere(buffer, from)) {
    if (options_.log)  // a flood builds no text for a silent sink
      log("Application: datagram from " + net::formatAddress(from) + " refused\n");
    buffer.clear();
    return 0;
  }
  copyToDatabase(buffer);
  return n;
}

bool Link::fromMemberOrHere(std::span<const std::uint8_t> datagram, net::Ipv4 from) const {
  // The player replays a recording from this host, in the names of all who spoke in it.
  if (host::isOwnAddress(host_, from)) return true;
  auto sender = mediaSender(datagram);
  if (!sender) return false;
  std::lock_guard lock(mutex_);
  return mediaFromMember(members_, localMember_, *sender, from);
}

void Link::joinSessionGroup() {
  std::string text = groupText(session());
  if (options_.verbose)
    std::printf("process joining multicast group %s:%d \n", text.c_str(), port_);
  if (!net::parseAddress(text, &group_)) {
    std::fprintf(stderr, "inet_addr: %s\n", std::strerror(EINVAL));
    return;
  }
  if (!net::setMulticastTtl(data_, kMulticastTtl)) std::printf("error in setting ttl value\n");
  if (!net::setMulticastLoop(data_, false)) std::printf("error in disabling loopback\n");
  // A host given by ZEP_HOST keeps its group traffic on that address's interface.
  if (host_.bindAddress != net::kAnyAddress) net::setMulticastInterface(data_, host_.bindAddress);
  if (!net::joinGroup(data_, group_, host_.bindAddress)) {
    std::fprintf(stderr, "joinGroup: %s\n", std::strerror(errno));
    options_.exit(-1);
    return;
  }
  inGroup_ = true;
}

void Link::leaveSessionGroup() {
  if (!inGroup_) return;
  inGroup_ = false;
  if (!net::leaveGroup(data_, group_, host_.bindAddress)) {
    std::printf("error in leaving group \n");
    options_.exit(-1);
  }
}

void Link::openDatabase() {
  std::lock_guard lock(mutex_);
  if (database_.valid()) return;
  const char* failedStep = "";
  database_ = net::openUdp(host_.bindAddress, static_cast<std::uint16_t>(port_ + 2), &failedStep);
  if (!database_)
    std::printf(std::string(failedStep) == "socket" ? "Application: can't open socket\n"
                                                    : "Application: can't bind socket\n");
}

void Link::closeDatabase() {
  std::lock_guard lock(mutex_);
  database_.close();
}

bool Link::databaseOpen() const {
  std::lock_guard lock(mutex_);
  return database_.valid();
}

void Link::copyToDatabase(std::span<const std::uint8_t> datagram) {
  std::lock_guard lock(mutex_);
  if (!database_.valid()) return;
  if (!net::sendTo(database_, host_.address, kDatabasePort, datagram))
    std::printf("Application: database send error\n");
}

}  // namespace zep::applink
