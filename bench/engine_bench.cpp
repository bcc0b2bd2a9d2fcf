// Whole-process measurements of the engine on loopback hosts:
//   roundtrips  local-channel round trips per second (one manager, then 20 in turn) and the
//               engine's resident memory with 40 connections open.
//   mesh        twenty engines: member 0 invites the other nineteen one after another; time
//               until every engine reports all twenty members.
//   churn       200 cycles of a member leaving a 10-member session and being invited again;
//               open descriptors and resident memory of every engine after the first and the
//               last cycle.
#include <algorithm>
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
  net::Ipv4 host = net::dottedAddress("127.88.0.1");
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
      Peer member = Peer::connect(host, net::dottedAddress("127.88.1." + std::to_string(i)));
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

std::vector<std::unique_ptr<SessionHost>> startHosts(int n, const std::string& prefix) {
  std::vector<std::unique_ptr<SessionHost>> hosts;
  for (int i = 0; i < n; ++i)
    hosts.push_back(std::make_unique<SessionHost>(
        "user" + std::to_string(i), net::dottedAddress(prefix + std::to_string(i + 1))));
  return hosts;
}

int meshBench() {
  const int runs = 5;
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    auto hosts = startHosts(kMaxMembers, "127.89." + std::to_string(run) + ".");
    hosts[0]->manager.send(LOCAL_CREATE);
    if (!hosts[0]->manager.waitFor(CTL_ADD_MEMBER)) return 1;
    auto start = Clock::now();
    for (int i = 1; i < kMaxMembers; ++i)
      if (!inviteAndAccept(*hosts[0], *hosts[i])) return 1;
    for (auto& h : hosts)
      if (!waitForMemberCount(h->manager, kMaxMembers)) return 1;
    times.push_back(seconds(start));
  }
  std::sort(times.begin(), times.end());
  std::printf("twenty-engine mesh: median %.1f ms, best %.1f ms, worst %.1f ms (%d runs)\n",
              times[runs / 2] * 1000, times.front() * 1000, times.back() * 1000, runs);
  return 0;
}

struct Usage {
  int files;
  long kib;
};

std::vector<Usage> usageOf(std::vector<std::unique_ptr<SessionHost>>& hosts) {
  std::vector<Usage> u;
  for (auto& h : hosts) {
    pid_t pid = h->engine->process().pid();
    u.push_back({openFiles(pid), residentKiB(pid)});
  }
  return u;
}

int churnBench() {
  const int members = 10, cycles = 200;
  auto hosts = startHosts(members, "127.90.0.");
  std::vector<SessionHost*> pointers;
  for (auto& h : hosts) pointers.push_back(h.get());
  if (!formSession(pointers)) return 1;
  SessionHost& leaver = *hosts.back();
  std::vector<Usage> first;
  auto start = Clock::now();
  for (int c = 0; c < cycles; ++c) {
    leaver.manager.send(LOCAL_LEAVE);
    for (int i = 0; i + 1 < members; ++i)
      if (!waitForMemberCount(hosts[i]->manager, members - 1)) return 1;
    if (!inviteAndAccept(*hosts[0], leaver)) return 1;
    for (auto& h : hosts)
      if (!waitForMemberCount(h->manager, members)) return 1;
    if (c == 0) first = usageOf(hosts);
  }
  double s = seconds(start);
  auto last = usageOf(hosts);
  std::printf("churn: %d cycles in %.2f s (%.1f ms a cycle)\n", cycles, s, s * 1000 / cycles);
  bool steady = true;
  for (int i = 0; i < members; ++i) {
    std::printf("  engine %d: descriptors %d -> %d, resident %ld -> %ld KiB\n", i, first[i].files,
                last[i].files, first[i].kib, last[i].kib);
    steady = steady && first[i].files == last[i].files;
  }
  std::printf("descriptors %s\n", steady ? "unchanged on every engine" : "CHANGED");
  return steady ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string what = argc > 1 ? argv[1] : "roundtrips";
  if (what == "roundtrips") return roundTripBench();
  if (what == "mesh") return meshBench();
  if (what == "churn") return churnBench();
  std::fprintf(stderr, "usage: %s [roundtrips|mesh|churn]\n", argv[0]);
  return 2;
}
