// The session engine inside its client program: the member channels, invitations and the
// mesh exactly as between engines, but no manager or application channels: the client calls
// the operations below and is told what happens through its EngineClient. Its loop (member
// slots, the new connection and the listener) runs on a thread of its own at the lowest
// priority; the client's calls and the loop are serialised.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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
  // Resets the session, closes every channel and ends the loop.
  void stop();

  void create();
  void invite(const MemberRecord& invitee);
  void accept();
  void decline();
  void leave();
  void quit();
  void sendToApplication(int port, int tag, std::span<const std::uint8_t> data);
  void restartAsMember(int n, const MemberRecord& initiator);
  void addRecordAsMember(const MemberRecord& record);
  void deleteMembersAt(net::Ipv4 address);

  // A copy of the session record, taken under the lock.
  Session session() const;
  // For the media threads, which must never wait for an operation that takes long (a connect
  // to an unreachable member takes seconds): the live record when the engine is free, else
  // the one the last operation left.
  Session recentSession() const;

 private:
  template <typename F>
  void locked(F&& f) {
    std::lock_guard lock(mutex_);
    f(engine_->logic());
    std::fflush(progress_);
    publish();
  }
  void publish();  // with mutex_ held

  std::FILE* progress_;
  std::unique_ptr<Engine> engine_;
  mutable std::recursive_mutex mutex_;
  mutable std::mutex snapshotMutex_;
  Session snapshot_;
  std::jthread loop_;
};

}  // namespace zep::engine
