// A stand-in for the user server that the manager's Add Users dialog asks for active users.
// TCP port 4998: tag 100 signs the header's sender on, 101 signs it off, 102 is answered with
// one tag-103 message listing every user signed on. One request per connection.
// With --half-reply it plays a broken server instead: each query gets half a header, and the
// connection then stays open and silent.
#include <poll.h>

#include <cstdio>
#include <deque>
#include <set>
#include <vector>

#include "engine/messages.h"
#include "manager/link.h"
#include "platform/host.h"
#include "platform/options.h"

namespace {

const zep::options::Program kProgram{
    "userserver",
    "a stand-in user server: keeps the users signed on and answers the queries for active users "
    "(TCP port 4998)",
    "",
    {{"--half-reply", "", "answer each query with half a header, then stay silent"}},
    {zep::options::kHost},
    ""};

}  // namespace

int main(int argc, char** argv) {
  using namespace zep;
  const bool halfReply = options::parseOrExit(kProgram, argc, argv).has("--half-reply");
  auto identity = host::identityFromEnvironment();
  const char* step = "";
  net::Socket listener = net::listenTcp(identity.bindAddress, manager::kUserServerPort, 5, &step);
  if (!listener) {
    std::fprintf(stderr, "Server: cannot %s port %d\n", step, manager::kUserServerPort);
    return 1;
  }
  std::printf("Server: listening on %s:%d\n", net::formatAddress(identity.bindAddress).c_str(),
              manager::kUserServerPort);
  std::fflush(stdout);
  std::set<std::pair<std::string, net::Ipv4>> users;
  std::deque<net::Socket> silent;  // the connections a half reply keeps open, the newest few
  for (;;) {
    net::Ipv4 peer = 0;
    net::Socket client = net::acceptTcp(listener, &peer);
    if (!client) continue;
    pollfd p{client.fd(), POLLIN, 0};
    engine::Message m;
    // A client that connects and says nothing is dropped after two seconds.
    if (::poll(&p, 1, 2000) <= 0 ||
        engine::receiveMessage(client.fd(), &m) != engine::ReadStatus::kOk)
      continue;
    std::pair<std::string, net::Ipv4> who{m.header.sender.name, m.header.sender.address};
    switch (m.header.tag) {
      case manager::SERVER_SIGN_ON:
        users.insert(who);
        std::printf("Server: %s@%s signed on\n", who.first.c_str(),
                    net::formatAddress(who.second).c_str());
        break;
      case manager::SERVER_SIGN_OFF:
        users.erase(who);
        std::printf("Server: %s@%s signed off\n", who.first.c_str(),
                    net::formatAddress(who.second).c_str());
        break;
      case manager::SERVER_QUERY_USERS: {
        if (halfReply) {
          std::vector<std::uint8_t> half(engine::kHeaderSize / 2, 0);
          half[0] = manager::SERVER_USERS;
          net::writeAll(client.fd(), half.data(), half.size());
          std::printf("Server: half a reply sent to %s\n", net::formatAddress(peer).c_str());
          silent.push_back(std::move(client));
          if (silent.size() > 16) silent.pop_front();
          break;
        }
        std::vector<manager::MemberName> list;
        for (const auto& [name, address] : users)
          list.push_back({name, manager::hostNameOf(address)});
        engine::MessageHeader h;
        h.tag = manager::SERVER_USERS;
        engine::sendMessage(client.fd(), h, manager::encodeServerUsers(list));
        std::printf("Server: %zu active users sent\n", list.size());
        break;
      }
      default:
        std::printf("Server: unknown request %d ignored\n", m.header.tag);
    }
    std::fflush(stdout);
  }
}
