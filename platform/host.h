// Who and where this host is: its own address, the login name, name and address lookups.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/net.h"

namespace zep::host {

inline constexpr std::size_t kMaxLoginName = 19;

struct HostIdentity {
  // This host's own address, the sender address of every message; kNoAddress when unknown.
  net::Ipv4 address = net::kNoAddress;
  // The address every socket binds to: this host's address when ZEP_HOST names one,
  // otherwise all addresses.
  net::Ipv4 bindAddress = net::kAnyAddress;
  // The login name, at most 19 characters, or "unknown".
  std::string userName = "unknown";
};

// Reads ZEP_HOST and ZEP_USER, falling back to the system's own name, interfaces and login.
// Explanations (a loopback name lookup replaced by an interface address, an unresolvable
// ZEP_HOST) go once to standard error.
HostIdentity identityFromEnvironment();

// The first IPv4 address of a name or dotted address; kNoAddress when the lookup fails.
net::Ipv4 lookupAddress(const std::string& name);
// The host name of an address, or its dotted form when no name is known or the lookup takes
// longer than a quarter of a second (a name server that does not answer would otherwise hold the
// caller for seconds). The first answer for an address is kept for the rest of the process, so
// every window shows a member under one name.
std::string lookupName(net::Ipv4 address);

// The cache behind lookupName, with the resolver and the time budget given (tests).
class NameCache {
 public:
  using Resolver = std::function<std::string(net::Ipv4)>;  // empty: no name
  NameCache(Resolver resolver, int budgetMs);
  std::string nameOf(net::Ipv4 address);

 private:
  Resolver resolver_;
  int budgetMs_;
  std::mutex mutex_;
  std::map<net::Ipv4, std::string> names_;
};
// The first non-loopback IPv4 address of this host's interfaces; kNoAddress when none.
net::Ipv4 firstInterfaceAddress();
bool isLoopback(net::Ipv4 address);
// True when the address is one of this machine's interfaces (loopback included).
bool isInterfaceAddress(net::Ipv4 address);
// True when a connection from `address` comes from this host itself: with ZEP_HOST set only
// from that address; otherwise from loopback, the host id or any address of this machine.
bool isOwnAddress(const HostIdentity& host, net::Ipv4 address);

// Value of an environment variable, empty when unset.
std::string environment(const char* name);

}  // namespace zep::host
