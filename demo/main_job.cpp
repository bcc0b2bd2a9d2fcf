// The suite's main job: a conference of several hosts on this one machine. Each host is a
// loopback address with its own engine; scripted managers create a session on host A, invite
// B and C, and every engine's member table and log are printed.
#include <cstdio>
#include <string>
#include <vector>

#include "applink/link.h"
#include "archive/recording.h"
#include "platform/clock.h"
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

  std::printf("\nA media test program on every host exchanges datagrams while host A records:\n");
  std::vector<std::unique_ptr<MediaTool>> tools;
  for (const auto& h : hosts) tools.push_back(std::make_unique<MediaTool>(h.address, 12567));
  for (std::size_t i = 0; i < hosts.size(); ++i)
    ok = step(tools[i]->out.waitFor("local member"),
              ("media program of " + hosts[i].label + " attached").c_str()) &&
         ok;
  managers[0].send(LOCAL_SAVE_INIT);
  ok = step(engines[0]->out.waitFor("Recorder: recording to"), "recorder started on A") && ok;
  ok = step(tools[0]->out.waitFor("database open"), "A's media program copies to the recorder") &&
       ok;
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    tools[i]->command("send -1 13 hello from " + hosts[i].user);
    for (std::size_t j = 0; j < hosts.size(); ++j)
      if (j != i)
        ok = step(tools[j]->out.waitFor("hello from " + hosts[i].user),
                  (hosts[j].label + " received " + hosts[i].user + "'s datagram").c_str()) &&
             ok;
    clock::sleepMs(250);
  }
  managers[0].send(LOCAL_SAVE_CLOSE);
  ok = step(tools[0]->out.waitFor("database closed"), "recording stopped") && ok;

  auto recording = installTree() / archive::kRecordingName;
  std::printf("\nRecording %s:\n", recording.c_str());
  if (std::FILE* f = std::fopen(recording.c_str(), "rb")) {
    archive::DatagramRecord r, first;
    std::string why;
    int n = 0;
    while (archive::readRecord(f, &r, &why) == archive::ReadResult::kRecord) {
      if (n++ == 0) first = r;
      auto d = applink::decodeMediaDatagram(r.data);
      std::printf("  +%5lld ms  port %d  %3d bytes  from member %d: %.*s\n",
                  static_cast<long long>(archive::millisecondsBetween(r.time, first.time)), r.port,
                  r.length, d ? d->sender : -1, d ? static_cast<int>(d->data.size()) : 0,
                  d ? reinterpret_cast<const char*>(d->data.data()) : "");
    }
    std::fclose(f);
    ok = step(n == 3, "three datagrams recorded") && ok;
  }

  std::printf("\nHost A replays the recording into its media program:\n");
  managers[0].send(LOCAL_RESTORE_INIT);
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    // A's own datagram comes back from the recording; the others arrive a second time.
    int expected = i == 0 ? 1 : 2;
    ok = step(tools[0]->out.waitForCount("hello from " + hosts[i].user, expected),
              ("replayed: hello from " + hosts[i].user).c_str()) &&
         ok;
  }
  managers[0].send(LOCAL_RESTORE_CLOSE);
  std::printf("\n--- what A's media program printed ---\n%s", tools[0]->out.text().c_str());
  for (auto& t : tools) t->command("detach");

  for (auto& m : managers) m.send(LOCAL_QUIT);
  for (auto& e : engines) e->out.waitFor("Engine: local session quit\n");
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    std::printf("\n--- log of the engine of host %s ---\n%s", hosts[i].label.c_str(),
                engines[i]->out.text().c_str());
    std::string err = engines[i]->err.text();
    if (!err.empty()) std::printf("--- its error log ---\n%s", err.c_str());
  }
  std::printf(
      "\nMain job %s\n",
      ok ? "completed: three hosts formed a session, exchanged media, recorded and replayed it"
         : "FAILED");
  return ok ? 0 : 1;
}
