// Hosts with network stacks of their own on this machine: one network namespace per host, each
// joined by a veth pair to a bridge in a switch namespace, with addresses that exist only inside
// those namespaces. Programs run in a host's namespace through `ip netns exec`. A host's link can
// be shaped with a token bucket in both directions. Everything is removed on destruction.
#pragma once

#include <string>
#include <vector>

#include "platform/net.h"

namespace zep::testing {

class NetworkLab {
 public:
  // Whether this machine lets us make namespaces (root, the ip tool, kernel support); when
  // not, why.
  static bool permitted(std::string* why);

  // hosts namespaces on 10.<b>.<c>.1..hosts, b and c chosen from this process's id.
  explicit NetworkLab(int hosts);
  ~NetworkLab();
  NetworkLab(const NetworkLab&) = delete;
  NetworkLab& operator=(const NetworkLab&) = delete;

  // False when setting up failed; problem() says where.
  bool ready() const { return problem_.empty(); }
  const std::string& problem() const { return problem_; }

  int hosts() const { return static_cast<int>(addresses_.size()); }
  net::Ipv4 address(int host) const { return addresses_[static_cast<std::size_t>(host)]; }
  const std::string& name(int host) const { return names_[static_cast<std::size_t>(host)]; }

  // The command a program runs under to run inside a host's namespace (its path and
  // arguments follow).
  std::vector<std::string> launcher(int host) const;

  // Limits the host's link to kbitPerSecond each way (a token bucket with a queue of about
  // latencyMs); 0 removes the limit.
  bool shape(int host, double kbitPerSecond, int latencyMs, std::string* why);
  // What the host's shaped link passed and dropped outward since it was shaped.
  bool outwardStatistics(int host, long* packetsSent, long* packetsDropped) const;

 private:
  bool run(const std::vector<std::string>& args, std::string* why,
           std::string* output = nullptr) const;
  bool runIn(const std::string& ns, const std::vector<std::string>& args, std::string* why) const;

  std::string switch_;
  std::vector<std::string> names_;
  std::vector<std::string> hostLinks_, switchLinks_;
  std::vector<net::Ipv4> addresses_;
  std::string problem_;
};

}  // namespace zep::testing
