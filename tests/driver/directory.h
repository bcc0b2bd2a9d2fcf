// The Directory Server stand-in and headless directory browsers of the tree on loopback hosts.
#pragma once

#include <memory>
#include <string>

#include "tests/driver/driver.h"

namespace zep::testing {

class DirServerProcess {
 public:
  explicit DirServerProcess(net::Ipv4 address, std::vector<std::string> args = {});
  ~DirServerProcess() { process_.terminate(); }
  bool waitReady() const { return out.waitFor("Server: listening"); }
  process::Process& process() { return process_; }
  net::Ipv4 address;
  LogFile out;

 private:
  process::Process process_;
};

// A headless dirclient of the tree on host `address`, registering as user with e-mail.
class DirClientProcess {
 public:
  DirClientProcess(net::Ipv4 address, net::Ipv4 server, const std::string& user,
                   const std::string& email);
  ~DirClientProcess() { process_.terminate(); }
  bool command(const std::string& line) { return process_.writeLine(line); }
  process::Process& process() { return process_; }
  net::Ipv4 address;
  std::string user;
  LogFile out;
  LogFile err;

 private:
  process::Process process_;
};

}  // namespace zep::testing
