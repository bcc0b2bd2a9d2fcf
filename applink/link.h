// The application link: how a media program takes part in sessions. It attaches to the engine
// of its own host over an application channel, keeps a copy of the member table, calls the
// program back on member changes, engine data and quit, and sends and receives media
// datagrams straight to and from the same port on every member's host.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "engine/member_table.h"
#include "engine/messages.h"
#include "platform/host.h"
#include "platform/net.h"

namespace zep::applink {

inline constexpr std::uint16_t kDatabasePort = 55555;
inline constexpr std::size_t kMaxDatagram = 60000;
inline constexpr std::size_t kMediaHeaderSize = 8;
inline constexpr std::size_t kMediaPadSize = 3;
inline constexpr int kMulticastTtl = 128;

// Callback events.
enum LinkEvent {
  kLocalMemberEvent = 0,
  kQuitEvent = 1,
  kDataEvent = 2,
  kMemberAddedEvent = 3,
  kMemberDeletedEvent = 4,
};

struct LinkEventArgs {
  int member = -1;              // member added or deleted
  int quitTag = 0;              // 23 for CTL_QUIT, 0 when the engine connection was lost
  std::uint16_t dataTag = 0;    // data: the AppMessage tag
  std::uint32_t firstWord = 0;  // data: its first word
  std::span<const std::uint8_t> data;
};
using LinkCallback = std::function<void(const LinkEventArgs&)>;

// Settings a program makes once for all its links.
struct LinkOptions {
  bool multicast = false;  // one send to the session's group instead of one per member
  bool verbose = false;    // prints the group joined
  // Where the link's log texts go; nothing is printed when empty.
  std::function<void(const std::string&)> log;
  // Ends the process where the link must (no engine, quit without a callback, engine lost).
  std::function<void(int code)> exit = [](int code) { std::exit(code); };
  int connectTimeoutMs = 5000;
};

// The default log sink: silent unless ZEP_TRACE=1, then standard error.
std::function<void(const std::string&)> traceLog();

// "225.0.0." + the session number.
std::string groupText(std::uint8_t session);

// A media datagram: type and sender number big-endian, the data, three pad bytes. No data is
// sent as one zero byte (12 bytes in all).
std::vector<std::uint8_t> encodeMediaDatagram(std::uint32_t type, std::int32_t sender,
                                              std::span<const std::uint8_t> data);
struct MediaDatagram {
  std::uint32_t type = 0;
  std::int32_t sender = 0;
  std::span<const std::uint8_t> data;  // length − 11 bytes
};
// Empty when shorter than header and pad.
std::optional<MediaDatagram> decodeMediaDatagram(std::span<const std::uint8_t> bytes);

// The sender's member number that a media datagram of either header kind (the tools' or the
// integrated client's) names; empty when it names none that can be read.
std::optional<int> mediaSender(std::span<const std::uint8_t> bytes);
// Whether a datagram naming member `sender` is taken from address `from`: only a present
// member other than this host speaks for itself, and only from its own record's address.
bool mediaFromMember(const engine::MemberTable& members, int localMember, int sender,
                     net::Ipv4 from);

class Link {
 public:
  // attachEngine: opens the data socket at the own port, connects to the engine and sends
  // NEW_APP_ATTACH. Null when a socket cannot be opened or bound; when the engine does not
  // answer, the process ends (options.exit(0)).
  static std::unique_ptr<Link> attach(std::uint16_t port, const host::HostIdentity& host,
                                      LinkOptions options = {});
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // detachEngine: sends APP_DETACH and closes everything. The destructor closes without
  // sending.
  void detach();

  // Registers one callback; false (and a log line) for an unknown event.
  bool setCallback(int event, LinkCallback callback);

  // Puts the data and control sockets in the set; returns the control socket.
  int fillReadSet(net::ReadSet& set) const;
  // Reads and handles one engine message if the control socket is ready: 1, else 0.
  int serviceControl(const net::ReadSet& set);
  // Receives one datagram if the data socket is ready: its length, else 0. Taken only from a
  // present member at its own address (see mediaFromMember), or from this host, where the
  // player replays recordings; anything else is dropped (0) before the recorder's copy.
  long receiveMedia(const net::ReadSet& set, std::vector<std::uint8_t>& buffer);
  // Sends to everybody (destination < 0), member 0 (with its fallback) or one member.
  // 1 sent; 0 when a multicast send failed or the datagram exceeds what receivers take.
  int sendMedia(int destination, std::uint32_t type, std::span<const std::uint8_t> data);

  // User and host name of a present member: 1. Otherwise "unknown", empty host, 0.
  int getMemberInfo(int member, std::string* name, std::string* hostName) const;

  std::uint16_t port() const { return port_; }
  int localMember() const;
  std::uint8_t session() const;
  bool present(int member) const;
  bool databaseOpen() const;
  int controlSocket() const { return control_.fd(); }
  int dataSocket() const { return data_.fd(); }

 private:
  Link(std::uint16_t port, const host::HostIdentity& host, LinkOptions options);
  void log(const std::string& text) const;
  void dispatch(const engine::Message& m);
  void quitPath(int tag);
  void notifyMember(LinkEvent event, int member);
  void close();
  void joinSessionGroup();
  void leaveSessionGroup();
  void openDatabase();
  void closeDatabase();
  void copyToDatabase(std::span<const std::uint8_t> datagram);
  bool fromMemberOrHere(std::span<const std::uint8_t> datagram, net::Ipv4 from) const;

  std::uint16_t port_;
  host::HostIdentity host_;
  LinkOptions options_;
  net::Socket data_;
  net::Socket control_;
  std::array<LinkCallback, 5> callbacks_;

  // The member table is read by senders on other threads while the receive thread updates it.
  mutable std::mutex mutex_;
  engine::MemberTable members_;
  int localMember_ = -1;
  std::uint8_t session_ = 0;
  bool inGroup_ = false;
  net::Ipv4 group_ = 0;
  net::Socket database_;
};

}  // namespace zep::applink
