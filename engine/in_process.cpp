#include "engine/in_process.h"

#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zep::engine {

namespace {
// Calls waiting for the engine; more means the client asks faster than any network answers.
constexpr std::size_t kMaxQueued = 1000;
}  // namespace

InProcessEngine::InProcessEngine(host::HostIdentity host, EngineClient& client, std::FILE* progress)
    : client_(client), progress_(progress), wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  EngineConfig config;
  config.host = std::move(host);
  config.client = &relay_;
  config.out = progress;
  config.wakeFd = wake_.fd();
  // Before a connect's wait the session so far is shown: the members already there are heard
  // and listed while an unreachable one is tried.
  relay_.beforeWaiting = [this] {
    publish();
    deliverNews();
  };
  engine_ = std::make_unique<Engine>(config);
}

InProcessEngine::~InProcessEngine() {
  stop();
}

bool InProcessEngine::start() {
  if (!engine_->startUp()) return false;
  publish();
  loop_ = std::jthread([this](std::stop_token stop) {
    // The engine's thread yields to the client's media threads.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 19);
    while (!stop.stop_requested()) {
      engine_->runOnce(200);
      std::uint64_t count = 0;
      if (::read(wake_.fd(), &count, sizeof count) < 0) count = 0;  // only empties the event
      runOperations();
      publish();
      deliverNews();
    }
  });
  return true;
}

void InProcessEngine::stop() {
  if (loop_.joinable()) {
    loop_.request_stop();
    loop_.join();
  }
  if (!engine_) return;
  runOperations();  // a quit asked last still reaches the members
  engine_->shutDown();
  relay_.news.clear();
  publish();
  std::fflush(progress_);
  engine_.reset();
}

void InProcessEngine::post(Operation op) {
  {
    std::lock_guard lock(queueMutex_);
    if (queue_.size() >= kMaxQueued) {
      std::fputs("Engine: too many requests waiting -- dropped\n", stderr);
      return;
    }
    queue_.push_back(std::move(op));
  }
  std::uint64_t one = 1;
  if (::write(wake_.fd(), &one, sizeof one) < 0) {
    // Full: the engine wakes for what is already signalled.
  }
}

void InProcessEngine::runOperations() {
  for (;;) {
    Operation op;
    {
      std::lock_guard lock(queueMutex_);
      if (queue_.empty()) break;
      op = std::move(queue_.front());
      queue_.pop_front();
    }
    op(engine_->logic());
    std::fflush(progress_);
  }
}

// Host names are looked up here, on the engine's thread, once its step is done.
void InProcessEngine::deliverNews() {
  while (!relay_.news.empty()) {
    auto item = std::move(relay_.news.front());
    relay_.news.pop_front();
    if (auto* e = std::get_if<Relay::Event>(&item))
      client_.onEngineEvent(e->tag, e->member, host::lookupName(e->member.address));
    else if (auto* d = std::get_if<Relay::Data>(&item))
      client_.onApplicationData(d->sender, d->port, d->tag, d->data);
  }
}

void InProcessEngine::create() {
  post([](SessionLogic& l) { l.create(); });
}
void InProcessEngine::invite(const MemberRecord& invitee) {
  post([invitee](SessionLogic& l) { l.invite(invitee); });
}
void InProcessEngine::invite(const std::string& name, const std::string& hostName) {
  post([name, hostName](SessionLogic& l) {
    net::Ipv4 address = hostName.empty() ? net::kNoAddress : host::lookupAddress(hostName);
    if (address == net::kNoAddress) return;
    MemberRecord r;
    r.name = name.substr(0, kMaxNameLength);
    r.address = address;
    l.invite(r);
  });
}
void InProcessEngine::accept() {
  post([](SessionLogic& l) { l.accept(); });
}
void InProcessEngine::decline() {
  post([](SessionLogic& l) { l.decline(); });
}
void InProcessEngine::leave() {
  post([](SessionLogic& l) { l.leaveSession(); });
}
void InProcessEngine::quit() {
  post([](SessionLogic& l) { l.quitSession(); });
}
void InProcessEngine::sendToApplication(int port, int tag, std::span<const std::uint8_t> data) {
  post([port, tag, bytes = std::vector<std::uint8_t>(data.begin(), data.end())](SessionLogic& l) {
    l.sendToApplication(port, tag, bytes);
  });
}
void InProcessEngine::restartAsMember(int n, const MemberRecord& initiator) {
  post([n, initiator](SessionLogic& l) { l.restartAsMember(n, initiator); });
}
void InProcessEngine::addRecordAsMember(const MemberRecord& record) {
  post([record](SessionLogic& l) { l.addRecordAsMember(record); });
}
void InProcessEngine::deleteMembersAt(net::Ipv4 address) {
  post([address](SessionLogic& l) { l.deleteMembersAt(address); });
}

void InProcessEngine::publish() {
  Session s = engine_->session();
  std::lock_guard lock(snapshotMutex_);
  snapshot_ = std::move(s);
}

Session InProcessEngine::session() const {
  std::lock_guard lock(snapshotMutex_);
  return snapshot_;
}

}  // namespace zep::engine
