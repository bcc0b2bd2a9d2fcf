// The connection to a Directory Server: the socket (SAP), the prototype table, the requests
// the client sends and the receiving thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "directory/messages.h"

namespace zep::directory {

// The socket of the connection. Receives wait in short slices so that shutdown() ends a
// receive at once; a send that the server does not take within the send deadline fails.
class SAP final : public Transport {
 public:
  // The largest frame (64 KiB) goes over a 28.8 kbit/s modem link in about 18 s.
  static constexpr int kSendTimeoutMs = 30000;
  static constexpr int kConnectTimeoutMs = 5000;
  ~SAP() override { close(); }

  // Resolves host, binds to bindAddress when it is not "any", connects to port. 0, or -1 after
  // "HOST: error no. N" (resolution) or "connect: ..." (connection) on standard error.
  int connect(std::uint16_t port, const std::string& host, net::Ipv4 bindAddress);
  long recv_n(std::uint8_t* buffer, std::size_t n) override;
  long send_n(const std::uint8_t* buffer, std::size_t n) override;
  // Ends the stream both ways; a receive in progress returns at once. The handle stays.
  void shutdown();
  void close();
  bool open() const { return fd_ >= 0; }
  net::Ipv4 localAddress() const;
  void setSendTimeout(int ms) { sendTimeoutMs_ = ms; }  // tests

 private:
  std::atomic<int> fd_{-1};
  std::atomic<bool> stopping_{false};
  std::atomic<int> sendTimeoutMs_{kSendTimeoutMs};
};

// Whole frames waiting for the sending thread, at most kMaxBytes of them: a server that stops
// reading cannot grow the client, and no caller ever waits for the network.
class Outbox {
 public:
  static constexpr std::size_t kMaxBytes = 256u << 10;
  // False when the frame does not fit (the server is not reading) or the box is closed.
  bool push(std::vector<std::uint8_t> frame);
  // The next frame, waiting until one comes; nullopt once closed.
  std::optional<std::vector<std::uint8_t>> next();
  void open();
  void close();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<std::uint8_t>> frames_;
  std::size_t bytes_ = 0;
  bool open_ = false;
};

class ServerLink {
 public:
  // With a transport given (tests), requests go to it and no socket is opened.
  explicit ServerLink(Transport* transport = nullptr) : transport_(transport) {}
  ~ServerLink();
  ServerLink(const ServerLink&) = delete;
  ServerLink& operator=(const ServerLink&) = delete;

  PrototypeTable& prototypes() { return table_; }

  // Ends the previous connection (its receiving thread says the connection was reset),
  // registers the prototypes, connects to host:4401 and starts the sending thread. 0 or -1.
  int connect(const std::string& host, net::Ipv4 bindAddress);
  // Ends the connection and its threads. With quiet, the receiving thread says nothing.
  void disconnect(bool quiet = false);

  // Starts the receiving thread: every message that has an effect goes to deliver (false:
  // the window cannot take it, which ends the connection), and when the stream ends, reset
  // runs once. 0, or -1 when the thread cannot start.
  int start(std::function<bool(std::unique_ptr<DirMessage>)> deliver, std::function<void()> reset);

  // Requests: 0 when queued for the sending thread (sent at once to a test transport), -1
  // when the type is not registered, the arguments do not fit, there is no connection or the
  // server has stopped reading. A frame that does not go whole within the send deadline ends
  // the connection (the stream would be out of step).
  int registerUser(const std::string& name, const std::string& email);
  int requestUsers();
  int requestConferences();
  int createConference(std::uint8_t kind, const std::string& topic, const std::string& password);
  int join(std::uint32_t conferenceId);
  int leave(std::uint32_t conferenceId);
  int answerPassword(std::uint32_t conferenceId, const std::string& password);
  int answerAdmission(std::uint32_t conferenceId, net::Ipv4 userId);

  // The local address of the connection: how the client recognises itself in user ids.
  net::Ipv4 localAddress() const;
  void setLocalAddress(net::Ipv4 address) { localOverride_ = address; }  // tests
  void setSendTimeout(int ms) { sap_.setSendTimeout(ms); }               // tests

 private:
  template <class T, class... Args>
  int request(Args&&... args);
  Transport& transport() { return transport_ ? *transport_ : sap_; }
  void sendQueued();

  Transport* transport_;
  SAP sap_;
  PrototypeTable table_;
  Outbox outbox_;
  std::jthread sender_;
  std::jthread receiver_;
  std::atomic<bool> quiet_{false};
  net::Ipv4 localOverride_ = net::kNoAddress;
};

}  // namespace zep::directory
