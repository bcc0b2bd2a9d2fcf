#include "tests/driver/directory.h"

namespace zep::testing {

DirServerProcess::DirServerProcess(net::Ipv4 at, std::vector<std::string> args)
    : address(at), out(freshDirectory("dirserver") / "out.txt") {
  process::StartOptions o;
  o.args = std::move(args);
  o.stdoutPath = out.path();
  o.environment = {{"ZEP_HOST", dotted(at)}};
  std::string why;
  process_ = process::start((installTree() / "servers" / "dirserver").string(), o, &why);
}

DirClientProcess::DirClientProcess(net::Ipv4 at, net::Ipv4 server, const std::string& name,
                                   const std::string& email)
    : address(at), user(name) {
  auto dir = freshDirectory("dirclient-" + name);
  out = LogFile(dir / "out.txt");
  err = LogFile(dir / "err.txt");
  process::StartOptions o;
  o.args = {"--headless", dotted(server), name, email};
  o.stdoutPath = out.path();
  o.stderrPath = err.path();
  o.pipeStdin = true;
  o.environment = {{"ZEP_HOST", dotted(at)}};
  std::string why;
  process_ = process::start((installTree() / "dirclient").string(), o, &why);
}

}  // namespace zep::testing
