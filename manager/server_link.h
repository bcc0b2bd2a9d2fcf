// The pieces of the user-server exchanges that must never hold up the window: reading a reply
// against a deadline, and running the exchanges one after another on a thread of their own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "engine/messages.h"

namespace zep::manager {

// How one exchange with the user server ended.
enum class ServerStatus {
  kDone,           // sent, and for a query the list received
  kNotConfigured,  // no user server: nothing sent
  kBusy,           // too many exchanges waiting already: not sent
  kNoSocket,
  kCannotConnect,
  kWriteError,
  kNoAnswer,         // nothing came back before the deadline
  kCutShort,         // part of a reply came, then nothing until the deadline
  kClosed,           // the server closed the connection before a whole header
  kClosedInPayload,  // ... or after the header, before the whole payload
  kReadError,        // a socket error, or a header announcing more than any message holds
  kWrongReply,       // a whole message, but not the list of active users: ignored
  kAbandoned,        // the manager was ending
};

// What the panel's status line says when a query did not bring the list.
std::string serverStatusText(ServerStatus status);

// Reads one message from a connected socket, waiting at most timeoutMs in all however the
// bytes trickle in, and giving up at once when stop is set. kDone with *reply filled, or what
// went wrong.
ServerStatus readServerReply(int fd, int timeoutMs, engine::Message* reply,
                             const std::atomic<bool>& stop);

// Runs exchanges one after another on its own thread, so the window never waits for a user
// server. At most kMaxWaiting wait; the user's clicks are the only source, so more is a fault.
class ServerWorker {
 public:
  static constexpr std::size_t kMaxWaiting = 8;
  using Job = std::function<void(const std::atomic<bool>& ending)>;

  ServerWorker() = default;
  // Runs what is still queued (each job sees `ending` set and may cut itself short), then joins.
  ~ServerWorker();
  ServerWorker(const ServerWorker&) = delete;
  ServerWorker& operator=(const ServerWorker&) = delete;

  // False when kMaxWaiting jobs wait already.
  bool post(Job job);
  // After this returns no job reports back through report(), so the owner's window may go.
  void stopReports();
  // Runs f, a job's report to its owner, unless stopReports() came first.
  template <typename F>
  void report(F&& f) {
    std::lock_guard lock(reportMutex_);
    if (!reportsStopped_) f();
  }

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Job> jobs_;
  bool finishing_ = false;
  std::atomic<bool> ending_{false};
  std::mutex reportMutex_;
  bool reportsStopped_ = false;
  std::jthread thread_;  // started with the first job
};

}  // namespace zep::manager
