#include "directory/link.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace zep::directory {

int SAP::connect(std::uint16_t port, const std::string& host, net::Ipv4 bindAddress) {
  close();
  stopping_ = false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int error = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (error != 0 || !found) {
    std::fprintf(stderr, "%s: error no. %d\n", host.c_str(), error);
    if (found) ::freeaddrinfo(found);
    return -1;
  }
  net::Ipv4 address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(found);
  net::Socket s;
  errno = 0;
  if (net::connectTcp(address, port, bindAddress, kConnectTimeoutMs, &s) !=
      net::ConnectResult::kConnected) {
    if (errno == 0 || errno == EINPROGRESS) errno = ETIMEDOUT;
    std::perror("connect");
    return -1;
  }
  fd_ = s.release();
  return 0;
}

long SAP::recv_n(std::uint8_t* buffer, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    int fd = fd_;
    if (fd < 0 || stopping_) return -1;
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, 200);
    if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    if (stopping_) return -1;
    ssize_t r = ready < 0 ? -1 : ::recv(fd, buffer + got, n - got, 0);
    if (r == 0) return 0;
    if (r < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      std::perror("SAP::recv_n");
      return -1;
    }
    got += static_cast<std::size_t>(r);
  }
  return static_cast<long>(n);
}

long SAP::send_n(const std::uint8_t* buffer, std::size_t n) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(sendTimeoutMs_);
  std::size_t sent = 0;
  while (sent < n) {
    int fd = fd_;
    if (fd < 0) return -1;
    ssize_t r = ::send(fd, buffer + sent, n - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r > 0) {
      sent += static_cast<std::size_t>(r);
      continue;
    }
    if (r == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      if (!stopping_) std::perror("SAP::send_n");
      return -1;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    pollfd p{fd, POLLOUT, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) == 0) {
      errno = ETIMEDOUT;
      std::perror("SAP::send_n");
      return -1;
    }
  }
  return static_cast<long>(n);
}

void SAP::shutdown() {
  stopping_ = true;
  if (int fd = fd_; fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void SAP::close() {
  int fd = fd_.exchange(-1);
  if (fd >= 0) ::close(fd);
}

net::Ipv4 SAP::localAddress() const {
  int fd = fd_;
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
    return net::kNoAddress;
  return sa.sin_addr.s_addr;
}

bool Outbox::push(std::vector<std::uint8_t> frame) {
  {
    std::lock_guard lock(mutex_);
    if (!open_ || bytes_ + frame.size() > kMaxBytes) return false;
    bytes_ += frame.size();
    frames_.push_back(std::move(frame));
  }
  changed_.notify_all();
  return true;
}

std::optional<std::vector<std::uint8_t>> Outbox::next() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !open_ || !frames_.empty(); });
  if (!open_) return std::nullopt;
  auto frame = std::move(frames_.front());
  frames_.pop_front();
  bytes_ -= frame.size();
  return frame;
}

void Outbox::open() {
  std::lock_guard lock(mutex_);
  frames_.clear();
  bytes_ = 0;
  open_ = true;
}

void Outbox::close() {
  {
    std::lock_guard lock(mutex_);
    open_ = false;
    frames_.clear();
    bytes_ = 0;
  }
  changed_.notify_all();
}

ServerLink::~ServerLink() {
  disconnect(true);
}

void ServerLink::disconnect(bool quiet) {
  if (quiet) quiet_ = true;
  outbox_.close();
  sap_.shutdown();
  if (sender_.joinable()) sender_.join();
  if (receiver_.joinable()) receiver_.join();
  sap_.close();
  quiet_ = false;
}

int ServerLink::connect(const std::string& host, net::Ipv4 bindAddress) {
  disconnect();
  table_.registerAll();
  if (transport_) return 0;
  if (sap_.connect(kDirectoryPort, host, bindAddress) != 0) return -1;
  outbox_.open();
  try {
    sender_ = std::jthread([this] { sendQueued(); });
  } catch (const std::system_error&) {
    sap_.close();
    return -1;
  }
  return 0;
}

void ServerLink::sendQueued() {
  while (auto frame = outbox_.next()) {
    if (sap_.send_n(frame->data(), frame->size()) == static_cast<long>(frame->size())) continue;
    // Part of a frame may have gone: nothing after it could be read rightly.
    sap_.shutdown();
    return;
  }
}

int ServerLink::start(std::function<bool(std::unique_ptr<DirMessage>)> deliver,
                      std::function<void()> reset) {
  if (!transport_ && !sap_.open()) return -1;
  try {
    receiver_ = std::jthread([this, deliver = std::move(deliver), reset = std::move(reset)] {
      while (auto message = receiveNext(transport(), table_))
        if (message->executes() && !deliver(std::move(message))) break;
      if (!transport_) sap_.shutdown();  // the sending thread ends too
      if (!quiet_) reset();
    });
  } catch (const std::system_error&) {
    return -1;
  }
  return 0;
}

net::Ipv4 ServerLink::localAddress() const {
  return localOverride_ != net::kNoAddress ? localOverride_ : sap_.localAddress();
}

template <class T, class... Args>
int ServerLink::request(Args&&... args) {
  auto message = table_.make<T>();
  if (!message || message->set(std::forward<Args>(args)...) != 0) return -1;
  if (transport_) return message->send(*transport_);
  auto header = encodeHeader(message->header());
  std::vector<std::uint8_t> frame(header.begin(), header.end());
  frame.insert(frame.end(), message->body().begin(), message->body().end());
  return outbox_.push(std::move(frame)) ? 0 : -1;
}

int ServerLink::registerUser(const std::string& name, const std::string& email) {
  return request<msgCREGISTER>(net::Ipv4{0}, name, std::string(), email);
}
int ServerLink::requestUsers() {
  return request<msgCUSERLIST>();
}
int ServerLink::requestConferences() {
  return request<msgCCONFLIST>();
}
int ServerLink::createConference(std::uint8_t kind, const std::string& topic,
                                 const std::string& password) {
  return request<msgCNEWCONF>(kind, topic, password);
}
int ServerLink::join(std::uint32_t conferenceId) {
  return request<msgCJOIN>(conferenceId, net::Ipv4{0});
}
int ServerLink::leave(std::uint32_t conferenceId) {
  return request<msgCLEAVE>(conferenceId, net::Ipv4{0});
}
int ServerLink::answerPassword(std::uint32_t conferenceId, const std::string& password) {
  return request<msgCPASSWORD>(conferenceId, password);
}
int ServerLink::answerAdmission(std::uint32_t conferenceId, net::Ipv4 userId) {
  return request<msgCADMIT>(conferenceId, userId);
}

}  // namespace zep::directory
