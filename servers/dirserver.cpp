// A stand-in for the Directory Server, the least that makes the client's side whole.
// TCP port 4401 on ZEP_HOST (or every address). It keeps who registered and the conferences:
//  - a registration gets the user id = the client's address as the server sees it, and is
//    announced to every client, the registrant too (that is how a client finds itself);
//  - a user-list request is answered with one registration per registered user, a
//    conference-list request with one conference entry per conference, participants included;
//  - a new conference gets a fresh id and its creator as first participant, and is announced;
//  - a join to an Open conference is announced to all; a Protected one asks the joiner for
//    the password and admits on the right one, else sends a notice; a Restricted one asks the
//    creator and admits on Accept, else sends the joiner a notice;
//  - a leave is announced; a conference whose last participant left is deleted;
//  - a client that disconnects leaves its conferences and is unregistered.
// Every request is checked; a client that sends something malformed is disconnected, and one
// that stops reading what it is sent is dropped. --fill USERS,CONFERENCES adds that many
// listed users (who are never connected) and conferences among them, for benchmarks.
// --hostile MODE makes it a server that tries to break its clients, for tests:
//  - passwords,N: every registrant gets N password questions, each for another conference;
//  - notices,N: every registrant gets N notices;
//  - delete-while-asking: a join is answered with a password question, then with strangers
//    joining that conference, its deletion and more joins to the deleted conference;
//  - chatter: made-up users register and unregister without pause, to every registrant.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "directory/protocol.h"
#include "platform/host.h"
#include "platform/options.h"

namespace {

using namespace zep;
using namespace zep::directory;

constexpr std::size_t kMaxOutbox = 8u << 20;

struct Client {
  net::Socket socket;
  net::Ipv4 address = 0;
  std::vector<std::uint8_t> in;
  std::vector<std::uint8_t> out;
  bool registered = false;
  bool closing = false;
};

struct User {
  std::string name, email;
};

struct Conference {
  std::uint8_t kind = kOpen;
  std::string topic, password;
  net::Ipv4 creator = 0;
  std::vector<net::Ipv4> participants;
};

// A join waiting for a password (asked of the joiner) or an admission (asked of askedOf).
struct Pending {
  std::uint32_t conference;
  net::Ipv4 joiner;
  Client* askedOf;
};

struct Hostile {
  std::string mode;
  int count = 0;
};

class Server {
 public:
  Server(net::Socket listener, Hostile hostile)
      : listener_(std::move(listener)), hostile_(std::move(hostile)) {}
  void fill(int users, int conferences);
  void run();

 private:
  void flood(Client& c);
  void deleteWhileAsking(Client& c, std::uint32_t id);
  void chatter();
  void accept();
  void readFrom(Client& c);
  void flush(Client& c);
  void send(Client& c, std::uint8_t type, const std::vector<std::uint8_t>& body);
  void broadcast(std::uint8_t type, const std::vector<std::uint8_t>& body);
  void notice(Client& c, const std::string& text) { send(c, kNotice, noticeBody(text)); }
  void handle(Client& c, std::uint8_t type, std::span<const std::uint8_t> body);
  void join(Client& c, std::uint32_t id);
  void admit(std::uint32_t id, net::Ipv4 user);
  void leave(std::uint32_t id, net::Ipv4 user);
  void drop(Client& c, const char* why);
  Client* clientOf(net::Ipv4 user);
  static std::string who(net::Ipv4 a) { return net::formatAddress(a); }

  net::Socket listener_;
  std::vector<std::unique_ptr<Client>> clients_;
  std::map<net::Ipv4, User> users_;
  std::map<std::uint32_t, Conference> conferences_;
  std::vector<Pending> pending_;
  std::uint32_t nextId_ = 1;
  Hostile hostile_;
  std::uint32_t chatterCount_ = 0;
};

// A made-up user id of the hostile modes: 10.9.x.y, no client's address.
net::Ipv4 stranger(std::uint32_t n) {
  std::uint8_t b[4] = {10, 9, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
  net::Ipv4 id;
  std::memcpy(&id, b, 4);
  return id;
}

void Server::flood(Client& c) {
  for (int i = 0; i < hostile_.count && !c.closing; ++i) {
    if (hostile_.mode == "passwords")
      send(c, kPassword, passwordBody({static_cast<std::uint32_t>(100000 + i), "Password"}));
    else
      send(c, kNotice, noticeBody("Notice " + std::to_string(i + 1)));
  }
  std::printf("Server: %d %s sent to %s\n", hostile_.count, hostile_.mode.c_str(),
              who(c.address).c_str());
}

void Server::deleteWhileAsking(Client& c, std::uint32_t id) {
  send(c, kPassword, passwordBody({id, "Password"}));
  for (std::uint32_t n = 0; n < 50; ++n) broadcast(kJoin, idPairBody({id, stranger(n)}));
  conferences_.erase(id);
  broadcast(kDeleteConference, wordBody(id));
  for (std::uint32_t n = 50; n < 60; ++n) broadcast(kJoin, idPairBody({id, stranger(n)}));
  std::printf("Server: conference %u deleted while %s was asked\n", id, who(c.address).c_str());
}

void Server::chatter() {
  for (int i = 0; i < 20; ++i) {
    net::Ipv4 id = stranger(chatterCount_++ % 60000);
    for (auto& c : clients_) {
      if (!c->registered) continue;
      send(*c, kRegister, registrationBody({id, "chatter", "", "chatter@x"}));
      send(*c, kUnregister, userIdBody(id));
    }
  }
}

void Server::fill(int users, int conferences) {
  for (int i = 0; i < users; ++i) {
    // 10.x.y.z: addresses no client on loopback has.
    std::uint32_t n = static_cast<std::uint32_t>(i) + 1;
    std::uint8_t b[4] = {10, static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8),
                         static_cast<std::uint8_t>(n)};
    net::Ipv4 id;
    std::memcpy(&id, b, 4);
    char name[32];
    std::snprintf(name, sizeof name, "user%05d", (i * 7919) % users);  // not in order
    users_[id] = {name, std::string(name) + "@example.org"};
  }
  std::vector<net::Ipv4> ids;
  for (auto& [id, u] : users_) ids.push_back(id);
  for (int i = 0; i < conferences; ++i) {
    Conference c;
    char topic[40];
    std::snprintf(topic, sizeof topic, "Conference %04d", (i * 389) % conferences);
    c.topic = topic;
    for (int k = 0; k < 3 && !ids.empty(); ++k)
      c.participants.push_back(ids[static_cast<std::size_t>(i * 3 + k) % ids.size()]);
    c.creator = c.participants.empty() ? 0 : c.participants[0];
    conferences_[nextId_++] = std::move(c);
  }
}

void Server::send(Client& c, std::uint8_t type, const std::vector<std::uint8_t>& body) {
  if (c.closing) return;
  auto f = frame(type, body);
  if (!f) return;
  c.out.insert(c.out.end(), f->begin(), f->end());
  if (c.out.size() > kMaxOutbox) return drop(c, "does not read");
  flush(c);
}

void Server::broadcast(std::uint8_t type, const std::vector<std::uint8_t>& body) {
  for (auto& c : clients_) send(*c, type, body);
}

void Server::flush(Client& c) {
  while (!c.out.empty() && !c.closing) {
    ssize_t n = ::send(c.socket.fd(), c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      c.out.erase(c.out.begin(), c.out.begin() + n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      return;
    } else {
      return drop(c, "is gone");
    }
  }
}

Client* Server::clientOf(net::Ipv4 user) {
  for (auto& c : clients_)
    if (c->registered && !c->closing && c->address == user) return c.get();
  return nullptr;
}

void Server::drop(Client& c, const char* why) {
  if (c.closing) return;
  c.closing = true;
  std::printf("Server: %s %s -- closed\n", who(c.address).c_str(), why);
  // Answers it owed and questions about it are void.
  std::erase_if(pending_, [&](const Pending& p) { return p.askedOf == &c; });
  if (!c.registered || clientOf(c.address)) return;  // another connection holds the user
  std::erase_if(pending_, [&](const Pending& p) { return p.joiner == c.address; });
  std::vector<std::uint32_t> in;
  for (auto& [id, conf] : conferences_)
    for (net::Ipv4 p : conf.participants)
      if (p == c.address) in.push_back(id);
  for (auto id : in) leave(id, c.address);
  users_.erase(c.address);
  broadcast(kUnregister, userIdBody(c.address));
  std::printf("Server: %s unregistered\n", who(c.address).c_str());
}

void Server::admit(std::uint32_t id, net::Ipv4 user) {
  auto it = conferences_.find(id);
  if (it == conferences_.end()) return;
  it->second.participants.push_back(user);
  broadcast(kJoin, idPairBody({id, user}));
  std::printf("Server: %s joined conference %u\n", who(user).c_str(), id);
}

void Server::leave(std::uint32_t id, net::Ipv4 user) {
  auto it = conferences_.find(id);
  if (it == conferences_.end()) return;
  auto& ps = it->second.participants;
  auto at = std::find(ps.begin(), ps.end(), user);
  if (at == ps.end()) return;
  ps.erase(at);
  broadcast(kLeave, idPairBody({id, user}));
  std::printf("Server: %s left conference %u\n", who(user).c_str(), id);
  if (ps.empty()) {
    conferences_.erase(it);
    std::erase_if(pending_, [&](const Pending& p) { return p.conference == id; });
    broadcast(kDeleteConference, wordBody(id));
    std::printf("Server: conference %u deleted\n", id);
  }
}

void Server::join(Client& c, std::uint32_t id) {
  auto it = conferences_.find(id);
  if (it == conferences_.end()) return notice(c, "There is no such conference");
  Conference& conf = it->second;
  if (std::find(conf.participants.begin(), conf.participants.end(), c.address) !=
      conf.participants.end())
    return notice(c, "You are already in this conference");
  // A password not given (the joiner cancelled) is asked again; an admission stays asked.
  if (conf.kind == kProtected)
    std::erase_if(pending_,
                  [&](const Pending& p) { return p.conference == id && p.joiner == c.address; });
  for (const auto& p : pending_)
    if (p.conference == id && p.joiner == c.address)
      return notice(c, "Your request to join is waiting for an answer");
  switch (conf.kind) {
    case kOpen:
      return admit(id, c.address);
    case kProtected:
      pending_.push_back({id, c.address, &c});
      return send(c, kPassword, passwordBody({id, "Password"}));
    default: {
      // Asked of the creator while present, else of the first participant connected.
      Client* asked = clientOf(conf.creator);
      for (std::size_t i = 0; !asked && i < conf.participants.size(); ++i)
        asked = clientOf(conf.participants[i]);
      if (!asked) return notice(c, "Nobody can admit you to this conference");
      pending_.push_back({id, c.address, asked});
      send(*asked, kAdmit, idPairBody({id, c.address}));
      std::printf("Server: %s asked to admit %s to conference %u\n", who(asked->address).c_str(),
                  who(c.address).c_str(), id);
    }
  }
}

void Server::handle(Client& c, std::uint8_t type, std::span<const std::uint8_t> body) {
  std::string why;
  auto request = parseClientRequest(type, body, &why);
  if (!request) return drop(c, ("sent a " + why).c_str());
  if (!c.registered && type != kRegister && type != kUserList && type != kConferenceList)
    return notice(c, "Please register first");
  if (auto* r = std::get_if<Registration>(&*request)) {
    c.registered = true;
    users_[c.address] = {r->name, r->email};
    broadcast(kRegister, registrationBody({c.address, r->name, "", r->email}));
    std::printf("Server: %s registered as %s\n", r->name.c_str(), who(c.address).c_str());
    if (hostile_.mode == "passwords" || hostile_.mode == "notices") flood(c);
  } else if (std::holds_alternative<UsersRequest>(*request)) {
    for (const auto& [id, u] : users_)
      send(c, kRegister, registrationBody({id, u.name, "", u.email}));
  } else if (std::holds_alternative<ConferencesRequest>(*request)) {
    for (const auto& [id, conf] : conferences_)
      send(c, kConferenceList, conferenceEntryBody({conf.kind, id, conf.topic, conf.participants}));
  } else if (auto* n = std::get_if<NewConference>(&*request)) {
    std::uint32_t id = nextId_++;
    conferences_[id] = {n->kind, n->topic, n->password, c.address, {c.address}};
    // The password stays here.
    broadcast(kNewConference, newConferenceBody({n->kind, id, c.address, n->topic, ""}));
    std::printf("Server: conference %u \"%s\" made by %s\n", id, n->topic.c_str(),
                who(c.address).c_str());
  } else if (auto* j = std::get_if<JoinRequest>(&*request)) {
    if (hostile_.mode == "delete-while-asking" && conferences_.count(j->conferenceId))
      return deleteWhileAsking(c, j->conferenceId);
    join(c, j->conferenceId);
  } else if (auto* l = std::get_if<LeaveRequest>(&*request)) {
    auto it = conferences_.find(l->conferenceId);
    if (it == conferences_.end() ||
        std::find(it->second.participants.begin(), it->second.participants.end(), c.address) ==
            it->second.participants.end())
      return notice(c, "You are not in this conference");
    leave(l->conferenceId, c.address);
  } else if (auto* p = std::get_if<PasswordText>(&*request)) {
    auto at = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& q) {
      return q.conference == p->conferenceId && q.joiner == c.address && q.askedOf == &c;
    });
    if (at == pending_.end()) return;  // nobody asked
    pending_.erase(at);
    auto conf = conferences_.find(p->conferenceId);
    if (conf != conferences_.end() && p->text == conf->second.password)
      admit(p->conferenceId, c.address);
    else
      notice(c, "Wrong password");
  } else if (auto* a = std::get_if<IdPair>(&*request)) {
    // (conference, user) admits; (0, user) rejects. Only the one asked may answer.
    auto at = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& q) {
      return q.askedOf == &c && q.joiner == a->userId &&
             (a->conferenceId == 0 || q.conference == a->conferenceId);
    });
    if (at == pending_.end()) return;
    Pending answered = *at;
    pending_.erase(at);
    if (a->conferenceId != 0) return admit(answered.conference, answered.joiner);
    if (Client* joiner = clientOf(answered.joiner))
      notice(*joiner, "You were not admitted to the conference");
    std::printf("Server: %s not admitted to conference %u\n", who(answered.joiner).c_str(),
                answered.conference);
  }
}

void Server::readFrom(Client& c) {
  std::uint8_t buffer[16384];
  ssize_t n = ::recv(c.socket.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
  if (n == 0) return drop(c, "disconnected");
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    return drop(c, "failed");
  }
  c.in.insert(c.in.end(), buffer, buffer + n);
  std::size_t used = 0;
  while (!c.closing) {
    std::span<const std::uint8_t> rest(c.in.data() + used, c.in.size() - used);
    std::size_t size = completeFrameSize(rest);
    if (size == 0) break;
    handle(c, rest[2], rest.subspan(kHeaderSize, size - kHeaderSize));
    used += size;
  }
  c.in.erase(c.in.begin(), c.in.begin() + static_cast<long>(used));
}

void Server::accept() {
  net::Ipv4 peer = 0;
  net::Socket s = net::acceptTcp(listener_, &peer);
  if (!s) return;
  auto c = std::make_unique<Client>();
  c->socket = std::move(s);
  c->address = peer;
  clients_.push_back(std::move(c));
}

void Server::run() {
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    fds.push_back({listener_.fd(), POLLIN, 0});
    for (auto& c : clients_)
      fds.push_back(
          {c->socket.fd(), static_cast<short>(POLLIN | (c->out.empty() ? 0 : POLLOUT)), 0});
    std::fflush(stdout);
    bool chattering = hostile_.mode == "chatter";
    if (::poll(fds.data(), fds.size(), chattering ? 10 : 1000) < 0 && errno != EINTR) {
      std::perror("poll");
      return;
    }
    std::size_t count = clients_.size();  // clients accepted below wait for the next round
    if (fds[0].revents & POLLIN) accept();
    for (std::size_t i = 0; i < count; ++i) {
      Client& c = *clients_[i];
      short ev = fds[i + 1].revents;
      if (ev & (POLLIN | POLLHUP | POLLERR)) readFrom(c);
      if ((ev & POLLOUT) && !c.closing) flush(c);
    }
    if (chattering) chatter();
    std::erase_if(clients_, [](const std::unique_ptr<Client>& c) { return c->closing; });
  }
}

}  // namespace

const options::Program kProgram{
    "dirserver",
    "a stand-in Directory Server: registered users and their conferences (TCP port 4401)",
    "",
    {{"--fill", "USERS,CONFERENCES", "start with that many made-up users and conferences"},
     {"--hostile", "MODE",
      "try to break the clients: passwords,N; notices,N; delete-while-asking; chatter"}},
    {options::kHost},
    ""};

int main(int argc, char** argv) {
  const options::Parsed parsed = options::parseOrExit(kProgram, argc, argv);
  int fillUsers = 0, fillConferences = 0;
  if (parsed.has("--fill")) {
    const std::string fill = parsed.value("--fill");
    char* end = nullptr;
    long users = std::strtol(fill.c_str(), &end, 10);
    long conferences = *end == ',' ? std::strtol(end + 1, &end, 10) : -1;
    if (*end != '\0' || users < 0 || conferences < 0 || users > 100000 || conferences > 100000) {
      std::fprintf(stderr, "dirserver: --fill wants USERS,CONFERENCES, not '%s'\n%s\n",
                   fill.c_str(), options::usageLine(kProgram).c_str());
      return 2;
    }
    fillUsers = static_cast<int>(users);
    fillConferences = static_cast<int>(conferences);
  }
  Hostile hostile;
  if (parsed.has("--hostile")) {
    const std::string mode = parsed.value("--hostile");
    auto comma = mode.find(',');
    hostile.mode = mode.substr(0, comma);
    if (comma != std::string::npos) hostile.count = std::atoi(mode.c_str() + comma + 1);
    bool counted = hostile.mode == "passwords" || hostile.mode == "notices";
    if ((counted && (hostile.count <= 0 || hostile.count > 1000000)) ||
        (!counted && (comma != std::string::npos ||
                      (hostile.mode != "delete-while-asking" && hostile.mode != "chatter")))) {
      std::fprintf(stderr, "dirserver: unknown --hostile mode '%s'\n%s\n", mode.c_str(),
                   options::usageLine(kProgram).c_str());
      return 2;
    }
  }
  auto identity = host::identityFromEnvironment();
  const char* step = "";
  net::Socket listener = net::listenTcp(identity.bindAddress, kDirectoryPort, 64, &step);
  if (!listener) {
    std::fprintf(stderr, "Server: cannot %s port %d\n", step, kDirectoryPort);
    return 1;
  }
  Server server(std::move(listener), hostile);
  server.fill(fillUsers, fillConferences);
  std::printf("Server: listening on %s:%d\n", net::formatAddress(identity.bindAddress).c_str(),
              kDirectoryPort);
  server.run();
  return 1;
}
