#include "platform/host.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>

namespace zep::host {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

bool isLoopback(net::Ipv4 address) {
  return (ntohl(address) >> 24) == 127;
}

net::Ipv4 lookupAddress(const std::string& name) {
  net::Ipv4 dotted;
  if (net::parseAddress(name, &dotted)) return dotted;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0 || !list) return net::kNoAddress;
  net::Ipv4 address = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(list);
  return address;
}

namespace {

std::string systemName(net::Ipv4 address) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address;
  char name[NI_MAXHOST] = {};
  if (::getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, name, sizeof name, nullptr, 0,
                    NI_NAMEREQD) == 0)
    return name;
  return {};
}

}  // namespace

NameCache::NameCache(Resolver resolver, int budgetMs)
    : resolver_(std::move(resolver)), budgetMs_(budgetMs) {}

std::string NameCache::nameOf(net::Ipv4 address) {
  {
    std::lock_guard lock(mutex_);
    if (auto it = names_.find(address); it != names_.end()) return it->second;
  }
  // The lookup runs on a thread of its own; one that outlasts the budget finishes there and
  // its answer is dropped.
  auto answer = std::make_shared<std::promise<std::string>>();
  auto future = answer->get_future();
  std::thread([resolver = resolver_, answer, address] {
    answer->set_value(resolver(address));
  }).detach();
  std::string name;
  if (future.wait_for(std::chrono::milliseconds(budgetMs_)) == std::future_status::ready)
    name = future.get();
  if (name.empty()) name = net::formatAddress(address);
  std::lock_guard lock(mutex_);
  return names_.try_emplace(address, name).first->second;  // a concurrent first answer wins
}

std::string lookupName(net::Ipv4 address) {
  static NameCache cache(systemName, 250);
  return cache.nameOf(address);
}

net::Ipv4 firstInterfaceAddress() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return net::kNoAddress;
  net::Ipv4 found = net::kNoAddress;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    net::Ipv4 a = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
    if (!isLoopback(a)) {
      found = a;
      break;
    }
  }
  ::freeifaddrs(list);
  return found;
}

bool isInterfaceAddress(net::Ipv4 address) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  bool found = false;
  for (ifaddrs* i = list; i && !found; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    found = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == address;
  }
  ::freeifaddrs(list);
  return found;
}

bool isOwnAddress(const HostIdentity& host, net::Ipv4 address) {
  // Hosts that share one machine each have an address of their own: only that one is theirs.
  if (host.bindAddress != net::kAnyAddress) return address == host.bindAddress;
  return isLoopback(address) || address == host.address || isInterfaceAddress(address);
}

namespace {

std::string loginName() {
  std::string user = environment("ZEP_USER");
  if (user.empty()) {
    if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_name) user = pw->pw_name;
  }
  // The name travels in a 20-byte field: a longer one cannot be sent and counts as unknown.
  if (user.empty() || user.size() > kMaxLoginName) return "unknown";
  return user;
}

net::Ipv4 ownAddressByName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return net::kNoAddress;
  net::Ipv4 address = lookupAddress(name);
  if (address != net::kNoAddress && isLoopback(address)) {
    // Debian maps the host name to 127.0.1.1; peers could never reach that address.
    net::Ipv4 outside = firstInterfaceAddress();
    if (outside != net::kNoAddress) {
      std::fprintf(stderr, "Host: %s resolves to loopback %s; using interface address %s\n", name,
                   net::formatAddress(address).c_str(), net::formatAddress(outside).c_str());
      address = outside;
    }
  }
  return address;
}

}  // namespace

HostIdentity identityFromEnvironment() {
  HostIdentity id;
  id.userName = loginName();
  std::string zepHost = environment("ZEP_HOST");
  if (!zepHost.empty()) {
    id.address = lookupAddress(zepHost);
    if (id.address == net::kNoAddress) {
      std::fprintf(stderr, "Host: ZEP_HOST %s cannot be resolved\n", zepHost.c_str());
    } else {
      id.bindAddress = id.address;
    }
  } else {
    id.address = ownAddressByName();
  }
  return id;
}

}  // namespace zep::host
