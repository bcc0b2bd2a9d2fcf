// The suite's main job: a conference of several hosts on this one machine. Each host is a
// loopback address with its own engine; scripted managers create a session on host A, invite
// B and C, and every engine's member table and log are printed.
#include <cstdio>
#include <string>
#include <vector>

#include "tests/driver/driver.h"

using namespace zep;
using namespace zep::engine;
using namespace zep::testing;

namespace {

struct Host {
  std::string label;
  std::string user;
  net::Ipv4 address;
};

bool step(bool ok, const char* what) {
  std::printf("  %-58s %s\n", what, ok ? "ok" : "FAILED");
  return ok;
}

void printMembers(const Host& host, Peer& manager) {
  manager.send(LOCAL_GET_MEMBERS);
  auto reply = manager.waitFor(CTL_MEMBERS);
  std::printf("\nMember table of host %s (%s, %s):\n", host.label.c_str(), host.user.c_str(),
              dotted(host.address).c_str());
  if (!reply) {
    std::printf("  (no answer)\n");
    return;
  }
  auto list = decodeMemberList(reply->payload, ByteOrder::kLittle);
  for (const auto& r : list->list.records)
    std::printf("  member %2d  %-10s %s\n", r.number, r.name.c_str(), dotted(r.address).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::string base = argc > 1 ? argv[1] : "127.77.0.";
  std::vector<Host> hosts;
  const char* users[] = {"alice", "bob", "carol"};
  for (int i = 0; i < 3; ++i) {
    net::Ipv4 a = 0;
    net::parseAddress(base + std::to_string(i + 1), &a);
    hosts.push_back({std::string(1, static_cast<char>('A' + i)), users[i], a});
  }

  std::printf("Starting three engines from %s\n", installTree().c_str());
  std::vector<std::unique_ptr<EngineProcess>> engines;
  std::vector<Peer> managers;
  bool ok = true;
  for (const auto& h : hosts) {
    EngineOptions options;
    options.user = h.user;
    engines.push_back(std::make_unique<EngineProcess>(h.address, options));
    ok =
        step(
            engines.back()->waitReady(),
            ("engine of host " + h.label + " listens on " + dotted(h.address) + ":5000").c_str()) &&
        ok;
    managers.push_back(Peer::manager(h.address));
  }

  std::printf("\nHost A creates a session and invites B, then C:\n");
  managers[0].send(LOCAL_CREATE);
  ok = step(managers[0].waitFor(CTL_ADD_MEMBER).has_value(), "A is member 0") && ok;
  for (int i = 1; i < 3; ++i) {
    managers[0].send(LOCAL_ADD_MEMBER,
                     encodeMemberRecord(recordOf(hosts[i].user, hosts[i].address)));
    ok = step(managers[0].waitFor(CTL_INVITATION_DELIVERED).has_value(),
              ("invitation delivered to " + hosts[i].label).c_str()) &&
         ok;
    auto invitation = managers[i].waitFor(CTL_INVITATION);
    ok = step(invitation.has_value(),
              (hosts[i].label + "'s manager is told of the invitation").c_str()) &&
         ok;
    managers[i].send(LOCAL_JOIN);
    ok = step(managers[0].waitFor(CTL_ACCEPTED).has_value(),
              (hosts[i].label + " accepted").c_str()) &&
         ok;
  }
  // Every engine knows all three once the mesh is complete.
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    bool complete = waitUntil([&] {
      managers[i].send(LOCAL_GET_MEMBERS);
      auto m = managers[i].waitFor(CTL_MEMBERS);
      return m && decodeMemberList(m->payload, ByteOrder::kLittle)->list.records.size() == 3;
    });
    ok = step(complete, ("host " + hosts[i].label + " sees three members").c_str()) && ok;
  }
  for (std::size_t i = 0; i < hosts.size(); ++i) printMembers(hosts[i], managers[i]);

  for (auto& m : managers) m.send(LOCAL_QUIT);
  for (auto& e : engines) e->out.waitFor("Engine: local session quit\n");
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    std::printf("\n--- log of the engine of host %s ---\n%s", hosts[i].label.c_str(),
                engines[i]->out.text().c_str());
    std::string err = engines[i]->err.text();
    if (!err.empty()) std::printf("--- its error log ---\n%s", err.c_str());
  }
  std::printf("\nMain job %s\n", ok ? "completed: a three-host session was formed" : "FAILED");
  return ok ? 0 : 1;
}
