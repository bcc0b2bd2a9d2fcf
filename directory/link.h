// The connection to a Directory Server: the socket (SAP), the prototype table, the requests
// the client sends and the receiving thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "directory/messages.h"

namespace zep::directory {

// The socket of the connection. Receives wait in short slices so that shutdown() ends a
// receive at once; a send that the server does not take within kSendTimeoutMs fails.
class SAP final : public Transport {
 public:
  static constexpr int kSendTimeoutMs = 2000;
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

 private:
  std::atomic<int> fd_{-1};
  std::atomic<bool> stopping_{false};
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
  // registers the prototypes and connects to host:4401. 0 or -1.
  int connect(const std::string& host, net::Ipv4 bindAddress);
  // Ends the connection and its receiving thread. With quiet, the thread says nothing.
  void disconnect(bool quiet = false);

  // Starts the receiving thread: every message that has an effect goes to deliver, and when
  // the stream ends, reset runs once. 0, or -1 when the thread cannot start.
  int start(std::function<void(std::unique_ptr<DirMessage>)> deliver, std::function<void()> reset);

  // Requests: 0 when sent, -1 when the type is not registered, the arguments do not fit or
  // the message did not go whole (the connection is then ended: the stream is out of step).
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

 private:
  template <class T, class... Args>
  int request(Args&&... args);
  Transport& transport() { return transport_ ? *transport_ : sap_; }

  Transport* transport_;
  SAP sap_;
  PrototypeTable table_;
  std::jthread receiver_;
  std::atomic<bool> quiet_{false};
  net::Ipv4 localOverride_ = net::kNoAddress;
};

}  // namespace zep::directory
