// How long an invitation takes to reach the invitee's manager while strangers (on one address,
// then on five) open silent connections to the invitee's engine as fast as they can, against the
// same invitations with no flood, in the same run. Each round: anna creates a session, invites
// bert, bert declines, anna leaves; the time is from LOCAL_ADD_MEMBER to bert's CTL_INVITATION.
//   engine_flood_bench [ROUNDS]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/driver/driver.h"

using namespace zep;
using namespace zep::engine;
using namespace zep::testing;
using Clock = std::chrono::steady_clock;

namespace {

struct Figures {
  std::vector<double> ms;
  int lost = 0;
  long connections = 0;
};

Figures invitations(SessionHost& anna, SessionHost& bert, int rounds) {
  Figures f;
  for (int i = 0; i < rounds; ++i) {
    anna.manager.send(LOCAL_CREATE);
    anna.manager.waitFor(CTL_ADD_MEMBER);
    auto sent = Clock::now();
    anna.manager.send(LOCAL_ADD_MEMBER, encodeMemberRecord(bert.record()));
    if (!bert.manager.waitFor(CTL_INVITATION, 10000)) {
      f.lost++;
    } else {
      f.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
      bert.manager.send(LOCAL_DELETE_INVITATION);
    }
    anna.manager.waitFor(CTL_REJECTED, 2000);
    anna.manager.send(LOCAL_LEAVE);
    membersOf(anna.manager);
  }
  return f;
}

void report(const char* what, Figures f) {
  std::sort(f.ms.begin(), f.ms.end());
  auto at = [&](double q) {
    return f.ms.empty() ? -1.0 : f.ms[static_cast<std::size_t>(q * (f.ms.size() - 1))];
  };
  std::printf("%-34s %3zu delivered %2d lost  median %7.1f ms  95th %7.1f ms  max %7.1f ms", what,
              f.ms.size(), f.lost, at(0.5), at(0.95), at(1.0));
  if (f.connections > 0) std::printf("  (%ld silent connections opened)", f.connections);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  SessionHost anna("anna", net::dottedAddress("127.89.0.1")),
      bert("bert", net::dottedAddress("127.89.0.2"));
  report("no flood (reference)", invitations(anna, bert, rounds));

  int lost = 0;
  for (int addresses : {1, 5}) {
    std::atomic<long> opened{0};
    std::jthread flood([&, addresses](std::stop_token stop) {
      std::vector<Peer> open;
      for (int i = 0; !stop.stop_requested(); ++i) {
        const net::Ipv4 stranger =
            net::dottedAddress("127.89.0." + std::to_string(66 + i % addresses));
        Peer p = Peer::connect(bert.address, stranger);
        if (p.connected()) opened++;
        open.push_back(std::move(p));
        if (open.size() > 500) open.erase(open.begin());
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Figures flooded = invitations(anna, bert, rounds);
    flood.request_stop();
    flood.join();
    flooded.connections = opened;
    lost += flooded.lost;
    report(addresses == 1 ? "a stranger flooding the invitee" : "strangers on 5 addresses",
           flooded);
  }
  return lost == 0 ? 0 : 1;
}
