// Whole-process measurements of the engine on loopback hosts:
//   roundtrips  local-channel round trips per second (one manager, then 20 in turn) and the
//               engine's resident memory with 40 connections open.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/driver/driver.h"

using namespace zep;
using namespace zep::engine;
using namespace zep::testing;
using Clock = std::chrono::steady_clock;

namespace {

net::Ipv4 address(const std::string& dotted) {
  net::Ipv4 a = 0;
  net::parseAddress(dotted, &a);
  return a;
}

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

int openFiles(pid_t pid) {
  int n = 0;
  for ([[maybe_unused]] auto& e :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
    ++n;
  return n;
}

// Blocking round trips: LOCAL_GET_MEMBERS out, CTL_MEMBERS back.
bool roundTrips(Peer& manager, int count) {
  Message m;
  for (int i = 0; i < count; ++i) {
    if (!manager.send(LOCAL_GET_MEMBERS)) return false;
    if (receiveMessage(manager.fd(), &m) != ReadStatus::kOk || m.header.tag != CTL_MEMBERS)
      return false;
  }
  return true;
}

double seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

int roundTripBench() {
  net::Ipv4 host = address("127.88.0.1");
  EngineProcess engine(host);
  if (!engine.waitReady()) return 1;
  {
    Peer manager = Peer::manager(host);
    roundTrips(manager, 2000);  // warm up
    const int n = 100000;
    auto start = Clock::now();
    if (!roundTrips(manager, n)) return 1;
    double s = seconds(start);
    std::printf("one manager:        %8.0f round trips/s (%d in %.2f s)\n", n / s, n, s);
  }
  {
    const int clients = 20, each = 5000;
    auto start = Clock::now();
    for (int c = 0; c < clients; ++c) {
      Peer manager = Peer::manager(host);
      if (!roundTrips(manager, each)) return 1;
    }
    double s = seconds(start);
    std::printf("20 managers in turn:%8.0f round trips/s (%d in %.2f s, attach included)\n",
                clients * each / s, clients * each, s);
  }
  {
    // 40 connections: the manager, 20 applications and 19 member channels.
    std::vector<Peer> peers;
    peers.push_back(Peer::manager(host));
    peers.back().send(LOCAL_CREATE);
    for (int k = 0; k < 20; ++k) peers.push_back(Peer::application(host, 20000 + k));
    for (int i = 1; i < 20; ++i) {
      Peer member = Peer::connect(host, address("127.88.1." + std::to_string(i)));
      MessageHeader h;
      h.sender.number = static_cast<std::uint8_t>(i);
      member.send(NEW_REMOTE_CONNECT, {}, h);
      peers.push_back(std::move(member));
    }
    if (!engine.out.waitForCount("Member 19 connected", 1)) return 1;
    roundTrips(peers.front(), 100);
    std::printf("resident memory:    %8ld KiB with %zu connections open (%d descriptors)\n",
                residentKiB(engine.process().pid()), peers.size(),
                openFiles(engine.process().pid()));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string what = argc > 1 ? argv[1] : "roundtrips";
  if (what == "roundtrips") return roundTripBench();
  std::fprintf(stderr, "usage: %s [roundtrips]\n", argv[0]);
  return 2;
}
