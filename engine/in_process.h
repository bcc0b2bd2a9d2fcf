// The session engine inside its client program: the member channels, invitations and the
// mesh exactly as between engines, but no manager or application channels: the client calls
// the operations below and is told what happens through its EngineClient. Everything the
// engine does happens on a thread of its own at the lowest priority: the client's calls are
// queued to it and return at once, and its news (with the member's host name, looked up
// there) reaches the client from that thread, so the client's window never waits on the
// network.
#pragma once

#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>

#include "engine/engine.h"

namespace zep::engine {

class InProcessEngine {
 public:
  // progress: where the progress lines go (the client's "Kestrel.log"); errors go to stderr.
  InProcessEngine(host::HostIdentity host, EngineClient& client, std::FILE* progress);
  ~InProcessEngine();
  InProcessEngine(const InProcessEngine&) = delete;
  InProcessEngine& operator=(const InProcessEngine&) = delete;

  // Binds the engine port and starts the loop. False when the port is taken (an engine
  // already serves this address); the client then ends with code 0.
  bool start();
  // Carries out what was asked before, then resets the session, closes every channel and
  // ends the loop.
  void stop();

  void create();
  void invite(const MemberRecord& invitee);
  // Invites "name@host" once the host name resolves (a lookup can take seconds); nothing is
  // sent to a host that does not resolve.
  void invite(const std::string& name, const std::string& hostName);
  void accept();
  void decline();
  void leave();
  void quit();
  void sendToApplication(int port, int tag, std::span<const std::uint8_t> data);
  void restartAsMember(int n, const MemberRecord& initiator);
  void addRecordAsMember(const MemberRecord& record);
  void deleteMembersAt(net::Ipv4 address);

  // The session record as the engine left it after its last step; never waits for one.
  Session session() const;

 private:
  using Operation = std::function<void(SessionLogic&)>;
  void post(Operation op);
  void runOperations();
  void deliverNews();
  void publish();

  // Takes the engine's news while it works and hands it to the client afterwards.
  struct Relay final : EngineClient {
    struct Event {
      int tag;
      MemberRecord member;
    };
    struct Data {
      int sender, port, tag;
      std::vector<std::uint8_t> data;
    };
    void onEngineEvent(int tag, const MemberRecord& member, const std::string&) override {
      news.emplace_back(Event{tag, member});
    }
    void onApplicationData(int sender, int port, int tag,
                           std::span<const std::uint8_t> data) override {
      news.emplace_back(Data{sender, port, tag, {data.begin(), data.end()}});
    }
    void onLongWait() override { beforeWaiting(); }
    std::deque<std::variant<Event, Data>> news;
    std::function<void()> beforeWaiting;
  };

  EngineClient& client_;
  std::FILE* progress_;
  Relay relay_;
  std::unique_ptr<Engine> engine_;
  net::Socket wake_;  // an event handle that cuts the engine's wait short

  std::mutex queueMutex_;
  std::deque<Operation> queue_;
  mutable std::mutex snapshotMutex_;
  Session snapshot_;
  std::jthread loop_;
};

}  // namespace zep::engine
