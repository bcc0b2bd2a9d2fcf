#include "manager/server_link.h"

#include <poll.h>

#include <algorithm>
#include <chrono>

#include "engine/assembler.h"
#include "platform/net.h"

namespace zep::manager {

std::string serverStatusText(ServerStatus status) {
  const char* what = "";
  switch (status) {
    case ServerStatus::kDone:
    case ServerStatus::kNotConfigured:
    case ServerStatus::kAbandoned:
      return {};
    case ServerStatus::kBusy:
      what = "User server still busy";
      break;
    case ServerStatus::kNoSocket:
    case ServerStatus::kCannotConnect:
    case ServerStatus::kWriteError:
      what = "User server not reachable";
      break;
    case ServerStatus::kNoAnswer:
      what = "User server did not answer";
      break;
    case ServerStatus::kCutShort:
      what = "User server reply cut short";
      break;
    case ServerStatus::kClosed:
    case ServerStatus::kClosedInPayload:
      what = "User server closed the connection";
      break;
    case ServerStatus::kReadError:
      what = "User server reply unreadable";
      break;
    case ServerStatus::kWrongReply:
      what = "User server sent no user list";
      break;
  }
  return std::string(what) + ": the last list of active users is shown";
}

ServerStatus readServerReply(int fd, int timeoutMs, engine::Message* reply,
                             const std::atomic<bool>& stop) {
  using Clock = std::chrono::steady_clock;
  // Short looks, so an ending manager does not wait for the deadline.
  constexpr int kLookMs = 50;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  engine::MessageAssembler assembler;
  std::uint8_t buffer[4096];
  for (;;) {
    switch (assembler.next(reply)) {
      case engine::AssembleStatus::kMessage:
        return ServerStatus::kDone;
      case engine::AssembleStatus::kTooLong:
        return ServerStatus::kReadError;
      case engine::AssembleStatus::kNeedMore:
        break;
    }
    if (stop) return ServerStatus::kAbandoned;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return assembler.empty() ? ServerStatus::kNoAnswer : ServerStatus::kCutShort;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::min<long>(left, kLookMs))) <= 0) continue;
    long got = net::receiveAvailable(fd, buffer);
    if (got == net::kWouldBlock) continue;
    if (got == 0)
      return assembler.headerComplete() ? ServerStatus::kClosedInPayload : ServerStatus::kClosed;
    if (got < 0) return ServerStatus::kReadError;
    assembler.append(std::span(buffer, static_cast<std::size_t>(got)));
  }
}

ServerWorker::~ServerWorker() {
  stopReports();
  {
    std::lock_guard lock(mutex_);
    finishing_ = true;
    ending_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool ServerWorker::post(Job job) {
  {
    std::lock_guard lock(mutex_);
    if (finishing_ || jobs_.size() >= kMaxWaiting) return false;
    jobs_.push_back(std::move(job));
    if (!thread_.joinable()) thread_ = std::jthread([this] { run(); });
  }
  changed_.notify_all();
  return true;
}

void ServerWorker::stopReports() {
  std::lock_guard lock(reportMutex_);
  reportsStopped_ = true;
}

void ServerWorker::run() {
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return finishing_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job(ending_);
  }
}

}  // namespace zep::manager
