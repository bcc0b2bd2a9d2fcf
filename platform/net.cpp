#include "platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace zep::net {

namespace {

sockaddr_in makeAddress(Ipv4 address, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = address;
  return sa;
}

void setNoDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void reportError(const char* operation) {
  int saved = errno;
  std::fprintf(stderr, "%s: %s\n", operation, std::strerror(saved));
  errno = saved;
}

}  // namespace

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.release();
  }
  return *this;
}

int Socket::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void Socket::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::string formatAddress(Ipv4 address) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr in{};
  in.s_addr = address;
  ::inet_ntop(AF_INET, &in, text, sizeof text);
  return text;
}

bool parseAddress(const std::string& text, Ipv4* address) {
  in_addr in{};
  if (::inet_pton(AF_INET, text.c_str(), &in) != 1) return false;
  *address = in.s_addr;
  return true;
}

Ipv4 dottedAddress(const std::string& text) {
  Ipv4 a = kNoAddress;
  return parseAddress(text, &a) ? a : kNoAddress;
}

Socket listenTcp(Ipv4 address, std::uint16_t port, int backlog, const char** failedStep) {
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s) {
    *failedStep = "socket";
    return {};
  }
  // Lets a restarted engine bind while connections of its predecessor linger; Linux still
  // refuses a second socket listening on the same address and port.
  int one = 1;
  ::setsockopt(s.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa = makeAddress(address, port);
  if (::bind(s.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    *failedStep = "bind";
    return {};
  }
  if (::listen(s.fd(), backlog) != 0) {
    *failedStep = "listen";
    return {};
  }
  return s;
}

Socket acceptTcp(const Socket& listener, Ipv4* peer) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  int fd = ::accept4(listener.fd(), reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
  if (fd < 0) return {};
  setNoDelay(fd);
  if (peer) *peer = sa.sin_addr.s_addr;
  return Socket(fd);
}

ConnectResult connectTcp(Ipv4 address, std::uint16_t port, Ipv4 bindAddress, int timeoutMs,
                         Socket* out) {
  bool noSocket = false;
  auto sockets = connectTcpMany(std::span(&address, 1), port, bindAddress, timeoutMs, &noSocket);
  if (noSocket) return ConnectResult::kNoSocket;
  if (!sockets[0]) return ConnectResult::kFailed;
  *out = std::move(sockets[0]);
  return ConnectResult::kConnected;
}

std::vector<Socket> connectTcpMany(std::span<const Ipv4> addresses, std::uint16_t port,
                                   Ipv4 bindAddress, int timeoutMs, bool* noSocket) {
  std::vector<Socket> sockets(addresses.size());
  std::vector<pollfd> waiting;
  std::vector<std::size_t> waitingIndex;
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s) {
      if (noSocket) *noSocket = true;
      continue;
    }
    if (bindAddress != kAnyAddress) {
      sockaddr_in local = makeAddress(bindAddress, 0);
      if (::bind(s.fd(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) continue;
    }
    sockaddr_in sa = makeAddress(addresses[i], port);
    if (::connect(s.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      if (errno != EINPROGRESS) continue;
      waiting.push_back({s.fd(), POLLOUT, 0});
      waitingIndex.push_back(i);
    }
    sockets[i] = std::move(s);
  }
  // One wait for all of them: each attempt ends when its socket is writable or the time is up.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::size_t open = waiting.size();
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    int n = ::poll(waiting.data(), waiting.size(), static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (std::size_t w = 0; w < waiting.size(); ++w) {
      if (waiting[w].fd < 0 || waiting[w].revents == 0) continue;
      int error = 0;
      socklen_t len = sizeof error;
      Socket& s = sockets[waitingIndex[w]];
      if (::getsockopt(s.fd(), SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
        s.close();
        errno = error;  // why it failed: refused, unreachable, ...
      }
      waiting[w].fd = -1;  // poll skips negative handles
      --open;
    }
  }
  for (std::size_t w = 0; w < waiting.size(); ++w)
    if (waiting[w].fd >= 0) {
      sockets[waitingIndex[w]].close();
      errno = ETIMEDOUT;
    }
  for (auto& s : sockets) {
    if (!s) continue;
    // Every later send and receive blocks, as the protocol expects.
    int flags = ::fcntl(s.fd(), F_GETFL);
    ::fcntl(s.fd(), F_SETFL, flags & ~O_NONBLOCK);
    setNoDelay(s.fd());
  }
  return sockets;
}

void setNonBlocking(const Socket& s) {
  int flags = ::fcntl(s.fd(), F_GETFL);
  ::fcntl(s.fd(), F_SETFL, flags | O_NONBLOCK);
}

Ipv4 peerAddress(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return kNoAddress;
  return sa.sin_addr.s_addr;
}

std::uint16_t localPort(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

int writeAll(int fd, const void* data, std::size_t n) {
  const auto* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t sent = ::send(fd, p, n, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      reportError("writeAll");
      return -1;
    }
    if (sent == 0) return 0;
    p += sent;
    n -= static_cast<std::size_t>(sent);
  }
  return 1;
}

int readAll(int fd, void* data, std::size_t n) {
  auto* p = static_cast<char*>(data);
  while (n > 0) {
    ssize_t got = ::recv(fd, p, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      reportError("readAll");
      return -1;
    }
    if (got == 0) return 0;
    p += got;
    n -= static_cast<std::size_t>(got);
  }
  return 1;
}

long receiveAvailable(int fd, std::span<std::uint8_t> buffer) {
  for (;;) {
    ssize_t got = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got >= 0) return static_cast<long>(got);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kWouldBlock;
    return -1;
  }
}

int writeAllWithin(int fd, const void* data, std::size_t n, int timeoutMs) {
  const auto* p = static_cast<const char*>(data);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (n > 0) {
    ssize_t sent = ::send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      p += sent;
      n -= static_cast<std::size_t>(sent);
      continue;
    }
    if (sent == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      reportError("writeAll");
      return -1;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    pollfd out{fd, POLLOUT, 0};
    if (left <= 0 || ::poll(&out, 1, static_cast<int>(left)) == 0) {
      errno = ETIMEDOUT;
      return -1;
    }
  }
  return 1;
}

Socket openUdp(Ipv4 address, std::uint16_t port, const char** failedStep) {
  Socket s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!s) {
    *failedStep = "socket";
    return {};
  }
  sockaddr_in sa = makeAddress(address, port);
  if (::bind(s.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    *failedStep = "bind";
    return {};
  }
  return s;
}

bool sendTo(const Socket& s, Ipv4 address, std::uint16_t port, std::span<const std::uint8_t> data) {
  sockaddr_in sa = makeAddress(address, port);
  return ::sendto(s.fd(), data.data(), data.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa),
                  sizeof sa) == static_cast<ssize_t>(data.size());
}

long receiveFrom(const Socket& s, std::span<std::uint8_t> buffer, std::uint16_t* fromPort,
                 Ipv4* fromAddress) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  ssize_t n;
  do {
    n = ::recvfrom(s.fd(), buffer.data(), buffer.size(), MSG_TRUNC,
                   reinterpret_cast<sockaddr*>(&sa), &len);
  } while (n < 0 && errno == EINTR);
  // A datagram larger than the buffer is an error, as it was cut.
  if (n > static_cast<ssize_t>(buffer.size())) {
    errno = EMSGSIZE;
    n = -1;
  }
  if (fromPort) *fromPort = ntohs(sa.sin_port);
  if (fromAddress) *fromAddress = sa.sin_addr.s_addr;
  return static_cast<long>(n);
}

int setReceiveBuffer(const Socket& s, int bytes) {
  // Beyond the system's limit only a privileged process may go; try that first.
  if (::setsockopt(s.fd(), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
    ::setsockopt(s.fd(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  int granted = 0;
  socklen_t len = sizeof granted;
  ::getsockopt(s.fd(), SOL_SOCKET, SO_RCVBUF, &granted, &len);
  return granted;
}

bool setMulticastTtl(const Socket& s, int ttl) {
  unsigned char v = static_cast<unsigned char>(ttl);
  return ::setsockopt(s.fd(), IPPROTO_IP, IP_MULTICAST_TTL, &v, sizeof v) == 0;
}

bool setMulticastLoop(const Socket& s, bool on) {
  unsigned char v = on ? 1 : 0;
  return ::setsockopt(s.fd(), IPPROTO_IP, IP_MULTICAST_LOOP, &v, sizeof v) == 0;
}

bool setMulticastInterface(const Socket& s, Ipv4 interfaceAddress) {
  in_addr a{};
  a.s_addr = interfaceAddress;
  return ::setsockopt(s.fd(), IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a) == 0;
}

namespace {
bool membership(const Socket& s, Ipv4 group, Ipv4 interfaceAddress, int option) {
  ip_mreq m{};
  m.imr_multiaddr.s_addr = group;
  m.imr_interface.s_addr = interfaceAddress;
  return ::setsockopt(s.fd(), IPPROTO_IP, option, &m, sizeof m) == 0;
}
}  // namespace

bool joinGroup(const Socket& s, Ipv4 group, Ipv4 interfaceAddress) {
  return membership(s, group, interfaceAddress, IP_ADD_MEMBERSHIP);
}
bool leaveGroup(const Socket& s, Ipv4 group, Ipv4 interfaceAddress) {
  return membership(s, group, interfaceAddress, IP_DROP_MEMBERSHIP);
}

void ReadSet::add(int fd) {
  if (fd >= 0) fds_.push_back(fd);
}

int ReadSet::wait(int timeoutMs) {
  std::vector<pollfd> polls(fds_.size());
  for (std::size_t i = 0; i < fds_.size(); ++i) polls[i] = {fds_[i], POLLIN, 0};
  int n = ::poll(polls.data(), polls.size(), timeoutMs);
  ready_.assign(fds_.size(), false);
  if (n <= 0) return n < 0 ? -1 : 0;
  for (std::size_t i = 0; i < fds_.size(); ++i)
    ready_[i] = (polls[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  return n;
}

bool ReadSet::isReady(int fd) const {
  for (std::size_t i = 0; i < fds_.size() && i < ready_.size(); ++i)
    if (fds_[i] == fd) return ready_[i];
  return false;
}

}  // namespace zep::net
