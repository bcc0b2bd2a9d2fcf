// sendMedia to nineteen members: datagrams per second that one thread sends. The link attaches
// to a stand-in engine in this process that reports a session of twenty; the other nineteen
// members are UDP sockets on loopback addresses that never read (the kernel drops the excess).
#include <chrono>
#include <cstdio>
#include <thread>

#include "applink/link.h"
#include "engine/messages.h"

using namespace zep;
using namespace zep::engine;
using Clock = std::chrono::steady_clock;

namespace {}  // namespace

int main() {
  const std::uint16_t port = 12567;
  net::Ipv4 own = net::dottedAddress("127.93.0.1");
  const char* step = "";
  auto listener = net::listenTcp(own, kEnginePort, 5, &step);
  if (!listener) {
    std::fprintf(stderr, "applink_bench: cannot listen at 127.93.0.1:5000 (%s)\n", step);
    return 1;
  }
  std::vector<net::Socket> members;
  for (int i = 1; i < kMaxMembers; ++i)
    members.push_back(
        net::openUdp(net::dottedAddress("127.93.0." + std::to_string(i + 1)), port, &step));

  host::HostIdentity identity;
  identity.address = identity.bindAddress = own;
  identity.userName = "bench";
  std::unique_ptr<applink::Link> link;
  std::thread attacher([&] { link = applink::Link::attach(port, identity); });
  net::Ipv4 peer;
  net::Socket channel = net::acceptTcp(listener, &peer);
  attacher.join();
  Message attach;
  if (!link || receiveMessage(channel.fd(), &attach) != ReadStatus::kOk) return 1;

  // The session: this host is member 0, nineteen others.
  MessageHeader h;
  for (int i = 0; i < kMaxMembers; ++i) {
    MemberRecord r;
    r.number = static_cast<std::uint8_t>(i);
    r.name = std::to_string(i);
    r.address = net::dottedAddress("127.93.0." + std::to_string(i + 1));
    h.tag = CTL_ADD_MEMBER;
    sendMessage(channel.fd(), h, encodeMemberRecord(r));
  }
  h.tag = CTL_LOCAL_MEMBER;
  sendMessage(channel.fd(), h, encodeNumber(0, ByteOrder::kLittle));
  while (link->localMember() != 0) {
    net::ReadSet set;
    link->fillReadSet(set);
    set.wait(100);
    link->serviceControl(set);
  }

  std::vector<std::uint8_t> block(400, 0x55);  // one ADPCM audio block
  const int sends = 20000;
  auto start = Clock::now();
  for (int i = 0; i < sends; ++i) link->sendMedia(-1, 13, block);
  double s = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("sendMedia to 19 members: %.0f calls/s, %.0f datagrams/s (411 bytes each)\n",
              sends / s, sends * 19 / s);
  return 0;
}
