#include "tests/driver/netns.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/process.h"
#include "tests/driver/driver.h"

namespace zep::testing {
namespace {

const char* const kIp = "/usr/sbin/ip";
const char* const kTc = "/usr/sbin/tc";

std::string joined(const std::vector<std::string>& args) {
  std::string text;
  for (const auto& a : args) text += (text.empty() ? "" : " ") + a;
  return text;
}

}  // namespace

bool NetworkLab::permitted(std::string* why) {
  if (::geteuid() != 0) {
    *why = "network namespaces need root";
    return false;
  }
  if (::access(kIp, X_OK) != 0 || ::access(kTc, X_OK) != 0) {
    *why = "the ip and tc tools (iproute2) are not installed";
    return false;
  }
  const std::string probe = "zep-probe-" + std::to_string(::getpid());
  process::StartOptions o;
  o.args = {"netns", "add", probe};
  auto dir = freshDirectory("netns-probe");
  o.stderrPath = (dir / "err.txt").string();
  std::string error;
  auto p = process::start(kIp, o, &error);
  bool made = p.started() && p.waitForExit(10000) && p.exitCode() == 0;
  if (made) {
    o.args = {"netns", "del", probe};
    auto d = process::start(kIp, o, &error);
    d.waitForExit(10000);
  } else {
    std::ifstream err(dir / "err.txt");
    std::stringstream text;
    text << err.rdbuf();
    *why = "cannot make a network namespace: " + text.str();
  }
  std::filesystem::remove_all(dir);
  return made;
}

bool NetworkLab::run(const std::vector<std::string>& args, std::string* why,
                     std::string* output) const {
  process::StartOptions o;
  o.args.assign(args.begin() + 1, args.end());
  auto dir = freshDirectory("netns-step");
  o.stdoutPath = (dir / "out.txt").string();
  o.stderrPath = (dir / "err.txt").string();
  std::string error;
  auto p = process::start(args[0], o, &error);
  if (p.started() && p.waitForExit(10000) && p.exitCode() == 0) {
    if (output) {
      std::ifstream out(dir / "out.txt");
      std::stringstream text;
      text << out.rdbuf();
      *output = text.str();
    }
    std::filesystem::remove_all(dir);
    return true;
  }
  std::ifstream err(dir / "err.txt");
  std::stringstream text;
  text << err.rdbuf();
  *why = joined(args) + ": " + (error.empty() ? text.str() : error);
  std::filesystem::remove_all(dir);
  return false;
}

bool NetworkLab::runIn(const std::string& ns, const std::vector<std::string>& args,
                       std::string* why) const {
  std::vector<std::string> all = {kIp, "netns", "exec", ns};
  all.insert(all.end(), args.begin(), args.end());
  return run(all, why);
}

NetworkLab::NetworkLab(int hosts) {
  const int id = static_cast<int>(::getpid() % 100000);
  const std::string tag = std::to_string(id);
  const int b = 100 + id % 100, c = (id / 100) % 250;
  switch_ = "zep" + tag + "-sw";
  std::string why;
  auto step = [&](const std::vector<std::string>& args) {
    if (!problem_.empty()) return;
    if (!run(args, &why)) problem_ = why;
  };
  auto stepIn = [&](const std::string& ns, const std::vector<std::string>& args) {
    if (!problem_.empty()) return;
    if (!runIn(ns, args, &why)) problem_ = why;
  };
  step({kIp, "netns", "add", switch_});
  stepIn(switch_, {kIp, "link", "add", "br0", "type", "bridge"});
  stepIn(switch_, {kIp, "link", "set", "br0", "up"});
  for (int h = 0; h < hosts && problem_.empty(); ++h) {
    const std::string n = std::to_string(h + 1);
    const std::string ns = "zep" + tag + "-h" + n;
    // Interface names have at most 15 characters.
    const std::string hostEnd = "z" + tag + "h" + n, switchEnd = "z" + tag + "s" + n;
    net::Ipv4 address;
    net::parseAddress("10." + std::to_string(b) + "." + std::to_string(c) + "." + n, &address);
    step({kIp, "netns", "add", ns});
    if (!problem_.empty()) break;
    names_.push_back(ns);
    addresses_.push_back(address);
    hostLinks_.push_back(hostEnd);
    switchLinks_.push_back(switchEnd);
    step({kIp, "link", "add", hostEnd, "netns", ns, "type", "veth", "peer", "name", switchEnd,
          "netns", switch_});
    stepIn(switch_, {kIp, "link", "set", switchEnd, "master", "br0"});
    stepIn(switch_, {kIp, "link", "set", switchEnd, "up"});
    stepIn(ns, {kIp, "link", "set", "lo", "up"});
    stepIn(ns, {kIp, "addr", "add", dotted(address) + "/24", "dev", hostEnd});
    stepIn(ns, {kIp, "link", "set", hostEnd, "up"});
  }
}

NetworkLab::~NetworkLab() {
  std::string why;
  // Deleting a namespace ends its veth pairs; programs still running in one keep it alive
  // until they end.
  for (const auto& ns : names_) run({kIp, "netns", "del", ns}, &why);
  if (!switch_.empty()) run({kIp, "netns", "del", switch_}, &why);
}

std::vector<std::string> NetworkLab::launcher(int host) const {
  return {kIp, "netns", "exec", name(host)};
}

bool NetworkLab::shape(int host, double kbitPerSecond, int latencyMs, std::string* why) {
  const auto i = static_cast<std::size_t>(host);
  const std::pair<std::string, std::string> ends[] = {{names_[i], hostLinks_[i]},
                                                      {switch_, switchLinks_[i]}};
  for (const auto& [ns, link] : ends) {
    runIn(ns, {kTc, "qdisc", "del", "dev", link, "root"}, why);  // none yet is fine
    if (kbitPerSecond <= 0) continue;
    std::ostringstream rate;
    rate << kbitPerSecond << "kbit";
    // A bucket just above the largest datagram (a 1600-byte PCM block and its headers), so
    // nothing passes faster than the rate for long.
    if (!runIn(ns,
               {kTc, "qdisc", "add", "dev", link, "root", "tbf", "rate", rate.str(), "burst",
                "1800", "latency", std::to_string(latencyMs) + "ms"},
               why))
      return false;
  }
  return true;
}

bool NetworkLab::outwardStatistics(int host, long* packetsSent, long* packetsDropped) const {
  const auto i = static_cast<std::size_t>(host);
  std::string why, text;
  if (!run({kIp, "netns", "exec", names_[i], kTc, "-s", "qdisc", "show", "dev", hostLinks_[i]},
           &why, &text))
    return false;
  // " Sent 12345 bytes 67 pkt (dropped 3, overlimits 10 requeues 0)"
  auto at = text.find(" Sent ");
  if (at == std::string::npos) return false;
  long bytes = 0;
  return std::sscanf(text.c_str() + at, " Sent %ld bytes %ld pkt (dropped %ld", &bytes, packetsSent,
                     packetsDropped) == 3;
}

}  // namespace zep::testing
