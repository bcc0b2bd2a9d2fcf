#include "engine/in_process.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zep::engine {

InProcessEngine::InProcessEngine(host::HostIdentity host, EngineClient& client, std::FILE* progress)
    : progress_(progress) {
  EngineConfig config;
  config.host = std::move(host);
  config.client = &client;
  config.out = progress;
  engine_ = std::make_unique<Engine>(config);
}

InProcessEngine::~InProcessEngine() {
  stop();
}

bool InProcessEngine::start() {
  {
    std::lock_guard lock(mutex_);
    if (!engine_->startUp()) return false;
    publish();
  }
  loop_ = std::jthread([this](std::stop_token stop) {
    // The engine's thread yields to the client's media threads.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 19);
    while (!stop.stop_requested()) {
      engine_->runOnce(200, &mutex_);
      std::lock_guard lock(mutex_);
      publish();
    }
  });
  return true;
}

void InProcessEngine::stop() {
  if (loop_.joinable()) {
    loop_.request_stop();
    loop_.join();
  }
  std::lock_guard lock(mutex_);
  engine_->shutDown();
  std::fflush(progress_);
}

void InProcessEngine::create() {
  locked([](SessionLogic& l) { l.create(); });
}
void InProcessEngine::invite(const MemberRecord& invitee) {
  locked([&](SessionLogic& l) { l.invite(invitee); });
}
void InProcessEngine::accept() {
  locked([](SessionLogic& l) { l.accept(); });
}
void InProcessEngine::decline() {
  locked([](SessionLogic& l) { l.decline(); });
}
void InProcessEngine::leave() {
  locked([](SessionLogic& l) { l.leaveSession(); });
}
void InProcessEngine::quit() {
  locked([](SessionLogic& l) { l.quitSession(); });
}
void InProcessEngine::sendToApplication(int port, int tag, std::span<const std::uint8_t> data) {
  locked([&](SessionLogic& l) { l.sendToApplication(port, tag, data); });
}
void InProcessEngine::restartAsMember(int n, const MemberRecord& initiator) {
  locked([&](SessionLogic& l) { l.restartAsMember(n, initiator); });
}
void InProcessEngine::addRecordAsMember(const MemberRecord& record) {
  locked([&](SessionLogic& l) { l.addRecordAsMember(record); });
}
void InProcessEngine::deleteMembersAt(net::Ipv4 address) {
  locked([&](SessionLogic& l) { l.deleteMembersAt(address); });
}

void InProcessEngine::publish() {
  Session s = engine_->session();
  std::lock_guard lock(snapshotMutex_);
  snapshot_ = std::move(s);
}

Session InProcessEngine::session() const {
  std::lock_guard lock(mutex_);
  return engine_->session();
}

Session InProcessEngine::recentSession() const {
  std::unique_lock lock(mutex_, std::try_to_lock);
  if (lock.owns_lock()) return engine_->session();
  std::lock_guard snapshot(snapshotMutex_);
  return snapshot_;
}

}  // namespace zep::engine
