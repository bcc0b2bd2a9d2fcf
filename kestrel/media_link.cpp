#include "kestrel/media_link.h"

#include <poll.h>

#include "applink/link.h"

namespace zep::kestrel {

MediaLink::~MediaLink() {
  close();
}

bool MediaLink::open(const host::HostIdentity& host, Receive receive, std::string* error) {
  const char* step = "";
  socket_ = net::openUdp(host.bindAddress, port_, &step);
  if (!socket_) {
    *error = std::string("cannot ") + step + " the media socket of port " + std::to_string(port_);
    return false;
  }
  receive_ = std::move(receive);
  thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
  return true;
}

void MediaLink::close() {
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
  socket_.close();
}

bool MediaLink::send(int destination, int type, std::span<const std::uint8_t> data,
                     const engine::MemberTable& members, int localMember) {
  if (!socket_) return false;
  return sender_.send(socket_, port_, destination, type, data, members, localMember);
}

void MediaLink::run(const std::stop_token& stop) {
  std::vector<std::uint8_t> buffer(applink::kMaxMediaDatagram + 1);
  while (!stop.stop_requested()) {
    // Bounded, so a stop is seen within a tenth of a second.
    pollfd p{socket_.fd(), POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    net::Ipv4 from = net::kNoAddress;
    long n = net::receiveFrom(socket_, buffer, nullptr, &from);
    if (n <= 0) continue;
    std::span<const std::uint8_t> bytes(buffer.data(), static_cast<std::size_t>(n));
    // Nobody speaks for a member from another address.
    auto taken = [&](int sender) { return !fromMember_ || fromMember_(sender, from); };
    switch (applink::classifyMediaDatagram(bytes)) {
      case applink::MediaHeader::kRtp:
        if (auto d = applink::decodeRtpDatagram(bytes);
            d && taken(static_cast<int>(d->header.source)))
          receive_(static_cast<int>(d->header.source), d->header.payloadType, d->data,
                   d->header.sequence);
        break;
      case applink::MediaHeader::kMediaTool:
        if (auto d = applink::decodeMediaDatagram(bytes);
            d && d->sender >= 0 && d->sender < static_cast<int>(applink::kMaxSource) &&
            d->type < 128 && taken(d->sender)) {
          auto& sequence = toolSequence_[static_cast<std::size_t>(d->sender)];
          receive_(d->sender, static_cast<int>(d->type), d->data, sequence++);
        }
        break;
      case applink::MediaHeader::kUnknown:
        break;
    }
  }
}

}  // namespace zep::kestrel
