// TCP and UDP sockets, readiness waits and exact-length transfers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zep::net {

// IPv4 addresses are kept as the 32-bit value whose bytes in memory are in network order
// (what the system calls s_addr), so they can be compared, stored and logged as one number.
using Ipv4 = std::uint32_t;

inline constexpr Ipv4 kAnyAddress = 0;
inline constexpr Ipv4 kNoAddress = 0xFFFFFFFFu;

// A socket handle that closes itself. Empty (-1) when default constructed or moved from.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  Socket(Socket&& other) noexcept : fd_(other.release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { close(); }

  int fd() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  int release();
  void close();

 private:
  int fd_ = -1;
};

// "127.0.0.1" form of an address.
std::string formatAddress(Ipv4 address);
// Parses a dotted IPv4 address; false when the text is not one.
bool parseAddress(const std::string& text, Ipv4* address);
// The address of a dotted text, kNoAddress when it is not one.
Ipv4 dottedAddress(const std::string& text);

// A listening TCP socket on address:port with SO_REUSEADDR. On failure returns an empty
// socket and sets *failedStep to "socket", "bind" or "listen".
Socket listenTcp(Ipv4 address, std::uint16_t port, int backlog, const char** failedStep);

// Accepts one connection; *peer receives the remote address. Empty socket on failure.
Socket acceptTcp(const Socket& listener, Ipv4* peer);

enum class ConnectResult { kConnected, kNoSocket, kFailed };
// Connects to address:port, binding the local end to bindAddress first when it is not
// kAnyAddress (so the peer sees that address). Gives up after timeoutMs.
ConnectResult connectTcp(Ipv4 address, std::uint16_t port, Ipv4 bindAddress, int timeoutMs,
                         Socket* out);
// Connects to several addresses at once, each attempt given up after timeoutMs, so the whole
// call takes no longer than one: the results in the order of the addresses, an empty socket
// for each that failed (kNoSocket in *noSocket when a socket could not even be opened). errno
// tells why the last attempt failed (ECONNREFUSED, ETIMEDOUT, ...).
std::vector<Socket> connectTcpMany(std::span<const Ipv4> addresses, std::uint16_t port,
                                   Ipv4 bindAddress, int timeoutMs, bool* noSocket = nullptr);

// Switches a socket (a listener, so that accepting never blocks) to non-blocking mode.
void setNonBlocking(const Socket& s);

// Remote address of a connected socket, kNoAddress when unknown.
Ipv4 peerAddress(int fd);
// Local port of a bound socket, 0 when unknown.
std::uint16_t localPort(int fd);

// Sends or receives exactly n bytes. 1 when done, 0 when the peer closed (or nothing could be
// sent), -1 on a socket error after printing "writeAll"/"readAll", ": " and the error text.
// errno still names the error when -1 is returned (EAGAIN: a send time-out ran out).
int writeAll(int fd, const void* data, std::size_t n);
int readAll(int fd, void* data, std::size_t n);

// Reads what has already arrived, without waiting: at most buffer.size() bytes. Returns the
// count read, 0 when the peer has closed, kWouldBlock when nothing is there, -1 on an error
// (errno set, nothing printed).
inline constexpr long kWouldBlock = -2;
long receiveAvailable(int fd, std::span<std::uint8_t> buffer);
// writeAll with a bound on the whole transfer: when the peer does not take all n bytes within
// timeoutMs, -1 with errno ETIMEDOUT (part of the bytes may have gone).
int writeAllWithin(int fd, const void* data, std::size_t n, int timeoutMs);

// A UDP socket bound to address:port (port 0: any). Empty on failure; *failedStep says
// "socket" or "bind".
Socket openUdp(Ipv4 address, std::uint16_t port, const char** failedStep);
// Sends one datagram; false on error.
bool sendTo(const Socket& s, Ipv4 address, std::uint16_t port, std::span<const std::uint8_t> data);
// Receives one datagram into buffer; its length, or -1 on error. *fromPort and *fromAddress
// (if given) receive the sender's port and address.
long receiveFrom(const Socket& s, std::span<std::uint8_t> buffer, std::uint16_t* fromPort = nullptr,
                 Ipv4* fromAddress = nullptr);
// Asks for a receive buffer of at least bytes; returns what the system granted.
int setReceiveBuffer(const Socket& s, int bytes);
// Multicast options on a UDP socket; false on failure with errno set.
bool setMulticastTtl(const Socket& s, int ttl);
bool setMulticastLoop(const Socket& s, bool on);
// The interface is named by one of its addresses; kAnyAddress lets the system choose.
bool setMulticastInterface(const Socket& s, Ipv4 interfaceAddress);
bool joinGroup(const Socket& s, Ipv4 group, Ipv4 interfaceAddress);
bool leaveGroup(const Socket& s, Ipv4 group, Ipv4 interfaceAddress);

// Waits until some of a set of handles can be read, like select over a read set.
class ReadSet {
 public:
  void clear() {
    fds_.clear();
    ready_.clear();
  }
  void add(int fd);
  // Waits at most timeoutMs. Returns the number of ready handles, 0 on timeout, -1 on error.
  int wait(int timeoutMs);
  bool isReady(int fd) const;
  // Readiness of the i-th handle added.
  bool readyAt(std::size_t i) const { return i < ready_.size() && ready_[i]; }
  std::size_t size() const { return fds_.size(); }

 private:
  std::vector<int> fds_;
  std::vector<bool> ready_;
};

}  // namespace zep::net
