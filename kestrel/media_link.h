// The integrated client's media transport on one port (audio 12567, video 34999): its own
// UDP socket, RTP-layout datagrams out to the members of the in-process session, and a
// receive thread that hands every datagram on. From a mixed session, the media tools'
// datagrams are recognised too (the other header kind) and handed on the same way.
#pragma once

#include <array>
#include <functional>
#include <mutex>
#include <thread>

#include "applink/rtp.h"
#include "platform/host.h"

namespace zep::kestrel {

class MediaLink {
 public:
  // From member `sender`: the type, the data and the packet's sequence number (for the
  // media tools' datagrams, which have none, one counted per sender).
  using Receive = std::function<void(int sender, int type, std::span<const std::uint8_t> data,
                                     std::uint16_t sequence)>;
  // Whether a datagram that says it comes from member `sender` may be taken from this address
  // (a present member other than this host, at its own address); unset: every one is taken.
  using FromMember = std::function<bool(int sender, net::Ipv4 from)>;

  // sender: the program's one sequence counter, shared by every medium.
  MediaLink(std::uint16_t port, applink::RtpSender& sender) : port_(port), sender_(sender) {}
  ~MediaLink();
  // Opens and binds the socket (ZEP_HOST's address, or every address); false when it cannot.
  bool open(const host::HostIdentity& host, Receive receive, std::string* error);
  void setFromMember(FromMember check) { fromMember_ = std::move(check); }  // before open()
  void close();

  // To every member (destination -1), one member, or member 0 with its fallback.
  bool send(int destination, int type, std::span<const std::uint8_t> data,
            const engine::MemberTable& members, int localMember);

 private:
  void run(const std::stop_token& stop);

  std::uint16_t port_;
  applink::RtpSender& sender_;
  net::Socket socket_;
  Receive receive_;
  FromMember fromMember_;
  std::array<std::uint16_t, applink::kMaxSource> toolSequence_{};
  std::jthread thread_;
};

}  // namespace zep::kestrel
