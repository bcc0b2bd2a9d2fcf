// The engine process: start-up, the connection table, the select loop and the reading of each
// kind of channel, outgoing connections, and the recorder and player programs.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "engine/engine.h"
#include "platform/clock.h"

namespace zep::engine {

std::string engineDirectoryFromCommandLine(const std::string& commandLine) {
  std::string copy = commandLine.substr(0, 100);
  auto cut = copy.find_last_of('/');
  if (cut == std::string::npos) return {};
  copy.resize(cut);
  if (!copy.empty() && copy.front() == '"') copy.erase(0, 1);
  return copy;
}

EngineConfig firstBuildPaths(EngineConfig config, const std::string& installDirectory) {
  config.recorderPath = installDirectory + "/ZEPrecord/ZEPrecord";
  config.playerPath = installDirectory + "/ZEPretrieve/ZEPretrieve";
  return config;
}

EngineConfig secondBuildPaths(EngineConfig config, const std::string& engineDirectory) {
  std::string prefix = engineDirectory.empty() ? "" : engineDirectory + "/";
  config.recorderPath = prefix + "ROduduzedi";
  config.playerPath = prefix + "RAdarozuror";
  return config;
}

Engine::Engine(EngineConfig config)
    : config_(std::move(config)),
      logic_(*this, config_.host.userName, config_.host.address,
             config_.client ? SessionLogic::Host::kInProcess : SessionLogic::Host::kDaemon) {}

void Engine::log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(config_.out, format, args);
  va_end(args);
}

void Engine::logError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(config_.err, format, args);
  va_end(args);
  std::fflush(config_.err);
}

Engine::Connection Engine::adopt(net::Socket socket, net::Ipv4 peer) {
  Connection c;
  c.socket = std::move(socket);
  c.peer = peer;
  c.serial = nextSerial_++;
  c.acceptedAt = clock::tickCount();
  return c;
}

bool Engine::startUp() {
  log("Daemon init\n");
  const char* failedStep = "";
  // A backlog far deeper than the classic 5, so that connections from a host that opens them
  // as fast as it can do not push a real invitation out of the queue (a refused connect is
  // only tried again a second later).
  net::Socket listener = net::listenTcp(config_.host.bindAddress, config_.port, 1024, &failedStep);
  if (!listener) {
    if (std::string(failedStep) == "socket")
      logError("Engine: can't open daemon socket\n");
    else
      logError("Engine: can't bind daemon socket\n");
    closeEveryChannel();
    std::fflush(config_.out);
    return false;
  }
  net::setNonBlocking(listener);
  listener_ = adopt(std::move(listener), net::kNoAddress);
  if (config_.client)
    logic_.startInProcess();
  else
    logic_.startUp();
  log("Daemon initialized\n");
  std::fflush(config_.out);
  return true;
}

bool Engine::readable(const Connection& c) const {
  if (!c.valid()) return false;
  for (std::size_t i = 0; i < polled_.size(); ++i)
    if (polled_[i].first == &c) return polled_[i].second == c.serial && readSet_.readyAt(i);
  return false;
}

// The wait is cut short by work already buffered and by the deadlines of new and held
// connections.
int Engine::waitTimeout(int timeoutMs) const {
  auto buffered = [](const auto& table) {
    for (const auto& c : table)
      if (c.hasWork()) return true;
    return false;
  };
  if (buffered(members_) || buffered(applications_) || local_.hasWork() || buffered(newcomers_))
    return 0;
  const std::uint32_t now = clock::tickCount();
  auto until = [&](const Connection& c, int limit) {
    if (!c.valid()) return;
    auto waited = static_cast<int>(now - c.acceptedAt);
    timeoutMs = std::min(timeoutMs, std::max(0, limit - waited));
  };
  for (const auto& c : newcomers_) until(c, config_.newConnectionTimeoutMs);
  for (const auto& h : held_) until(h.connection, config_.heldConnectionTimeoutMs);
  return timeoutMs;
}

void Engine::runOnce(int timeoutMs) {
  readSet_.clear();
  polled_.clear();
  auto watch = [this](const Connection& c) {
    if (!c.valid()) return;
    readSet_.add(c.fd());
    polled_.emplace_back(&c, c.serial);
  };
  for (const auto& c : members_) watch(c);
  for (const auto& c : applications_) watch(c);
  watch(local_);
  for (const auto& c : newcomers_) watch(c);
  // The pending invitation and held member connections are not read while they wait.
  watch(listener_);
  if (config_.wakeFd >= 0) readSet_.add(config_.wakeFd);
  int timeout = waitTimeout(timeoutMs);

  if (readSet_.wait(timeout) < 0) readSet_.clear();

  for (int i = 0; i < kMaxMembers; ++i)
    if (due(members_[i])) serviceMember(i);
  for (int k = 0; k < kMaxApplications; ++k)
    if (due(applications_[k])) serviceApplication(k);
  if (due(local_)) serviceLocal();
  for (int i = 0; i < kMaxNewcomers; ++i)
    if (due(newcomers_[i])) serviceNew(i);
  closeSilentNewConnections();
  closeUnclaimedHeldConnections();
  if (readable(listener_)) acceptConnections();
  closeBrokenChannels();
  checkArchivePrograms();
  std::fflush(config_.out);
}

void Engine::shutDown() {
  logic_.managerLost();
  std::fflush(config_.out);
}

// The newcomers from one address; kNoAddress counts every entry taken.
int Engine::newcomersFrom(net::Ipv4 peer) const {
  int n = 0;
  for (const auto& c : newcomers_)
    if (c.valid() && (peer == net::kNoAddress || c.peer == peer)) ++n;
  return n;
}

// Takes what waits in the backlog. A host that already has its share of entries has its
// further connections closed at once, so the backlog drains past them; when every entry is
// taken, the oldest of the host with the most gives way, so hosts of many addresses cannot
// keep a newcomer out either (a real peer sends its first message at once).
void Engine::acceptConnections() {
  for (int accepted = 0; accepted < kAcceptsPerPass; ++accepted) {
    net::Ipv4 peer = net::kNoAddress;
    net::Socket s = net::acceptTcp(listener_.socket, &peer);
    if (!s) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) logError("Engine: accept error\n");
      break;
    }
    if (newcomersFrom(peer) >= kNewcomersPerAddress) {
      refusedNewcomers_++;
      continue;  // closed as s goes
    }
    auto entry = std::find_if(newcomers_.begin(), newcomers_.end(),
                              [](const Connection& c) { return !c.valid(); });
    if (entry == newcomers_.end()) {
      entry = std::max_element(newcomers_.begin(), newcomers_.end(),
                               [this](const Connection& a, const Connection& b) {
                                 int na = newcomersFrom(a.peer), nb = newcomersFrom(b.peer);
                                 return na != nb ? na < nb : a.serial > b.serial;
                               });
      refusedNewcomers_++;
    }
    *entry = adopt(std::move(s), peer);
    log("Accepted\n");
  }
  const std::uint32_t now = clock::tickCount();
  if (refusedNewcomers_ > 0 && now - refusedReportedAt_ >= 1000) {
    logError("Engine: %d connections closed, too many at once from one host\n", refusedNewcomers_);
    refusedNewcomers_ = 0;
    refusedReportedAt_ = now;
  }
}

void Engine::closeSilentNewConnections() {
  const std::uint32_t now = clock::tickCount();
  for (auto& c : newcomers_) {
    if (!c.valid() || static_cast<int>(now - c.acceptedAt) < config_.newConnectionTimeoutMs)
      continue;
    // What arrived while the engine itself was busy (connecting, say) is served first.
    net::ReadSet pending;
    pending.add(c.fd());
    if (c.hasWork() || pending.wait(0) > 0) continue;
    logError("Engine: new connection silent -- closed\n");
    c.close();
  }
}

void Engine::closeUnclaimedHeldConnections() {
  const std::uint32_t now = clock::tickCount();
  for (auto& h : held_) {
    if (!h.connection.valid() ||
        static_cast<int>(now - h.connection.acceptedAt) < config_.heldConnectionTimeoutMs)
      continue;
    logError("Engine: connection from %s as member %d never announced -- closed\n",
             net::formatAddress(h.connection.peer).c_str(), h.claimed);
    h = Held{};
  }
}

// Channels whose peer stopped reading are ended as if they had broken.
void Engine::closeBrokenChannels() {
  for (int i = 0; i < kMaxMembers; ++i)
    if (members_[i].valid() && members_[i].broken) {
      logError("Engine: member %d does not read -- channel closed\n", i);
      logic_.memberLost(i);
    }
  for (int k = 0; k < kMaxApplications; ++k)
    if (applications_[k].valid() && applications_[k].broken) {
      logError("Engine: application %d does not read -- channel closed\n", k);
      logic_.applicationLost(k);
    }
  if (local_.valid() && local_.broken) {
    logError("Engine: manager does not read -- every connection closed\n");
    logic_.managerLost();
  }
  if (pending_.broken) pending_.close();
}

void Engine::gather(Connection& c) {
  std::uint8_t buffer[16 * 1024];
  // Bounded, so one fast peer cannot keep the loop from the others.
  for (std::size_t total = 0; total < kHeaderSize + kMaxPayload;) {
    long got = net::receiveAvailable(c.fd(), buffer);
    if (got == net::kWouldBlock) return;
    if (got == 0) {
      c.peerClosed = true;
      return;
    }
    if (got < 0) {
      c.readError = errno;
      return;
    }
    c.input.append(std::span(buffer, static_cast<std::size_t>(got)));
    total += static_cast<std::size_t>(got);
    if (static_cast<std::size_t>(got) < sizeof buffer) return;
  }
}

std::optional<ReadStatus> Engine::receive(Connection& c, Message* m) {
  if (readable(c) && !c.peerClosed && !c.readError) gather(c);
  switch (c.input.next(m)) {
    case AssembleStatus::kMessage:
      // The sender is where the connection comes from, whatever it reported.
      m->header.sender.address = c.peer;
      return ReadStatus::kOk;
    case AssembleStatus::kTooLong:
      logError("Engine: message of %u bytes is too long -- channel closed\n",
               static_cast<unsigned>(m->header.length));
      return ReadStatus::kTooLong;
    case AssembleStatus::kNeedMore:
      break;
  }
  bool headerRead = c.input.headerComplete();
  if (headerRead) m->header = *decodeHeader(c.input.bufferedBytes());
  if (c.readError) {
    logError("readAll: %s\n", std::strerror(c.readError));
    logError("Engine: reading error\n");
    return headerRead ? ReadStatus::kPayloadError : ReadStatus::kHeaderError;
  }
  if (c.peerClosed) {
    logError("Engine: connection broken\n");
    return headerRead ? ReadStatus::kPayloadClosed : ReadStatus::kHeaderClosed;
  }
  return std::nullopt;
}

namespace {
bool lostByError(ReadStatus s) {
  return s == ReadStatus::kHeaderError || s == ReadStatus::kPayloadError ||
         s == ReadStatus::kTooLong;
}
}  // namespace

void Engine::serviceMember(int slot) {
  Message m;
  auto received = receive(members_[slot], &m);
  if (!received) return;
  ReadStatus status = *received;
  log("Engine: read member message\n");
  if (status == ReadStatus::kOk) {
    logic_.onMemberMessage(slot, m);
    return;
  }
  if (status == ReadStatus::kHeaderClosed) log("Engine: member left %d\n", slot);
  if (status == ReadStatus::kPayloadClosed) log("Engine: member left\n");
  if (lostByError(status)) logError("Engine: data reading error\n");
  logic_.memberLost(slot);
}

void Engine::serviceApplication(int slot) {
  Message m;
  auto received = receive(applications_[slot], &m);
  if (!received) return;
  ReadStatus status = *received;
  log("Engine: read application message\n");
  if (status != ReadStatus::kHeaderClosed && status != ReadStatus::kHeaderError)
    log("App message length %d\n", m.header.length);
  if (status == ReadStatus::kOk) {
    logic_.onApplicationMessage(slot, m);
    return;
  }
  if (lostByError(status)) logError("Engine: data reading error\n");
  logic_.applicationLost(slot);
}

void Engine::serviceLocal() {
  Message m;
  auto received = receive(local_, &m);
  if (!received) return;
  ReadStatus status = *received;
  log("Engine: read local message\n");
  if (status == ReadStatus::kOk) {
    logic_.onLocalMessage(m);
    std::fflush(config_.out);
    return;
  }
  if (lostByError(status))
    logError("Engine: data reading error\n");
  else
    log("Engine: local connection broken -- exiting...\n");
  logic_.managerLost();
  std::fflush(config_.out);
}

void Engine::serviceNew(int index) {
  Message m;
  auto received = receive(newcomers_[index], &m);
  if (!received) return;
  new_ = std::move(newcomers_[index]);
  newcomers_[index].close();
  ReadStatus status = *received;
  log("Engine: read new message\n");
  if (status != ReadStatus::kHeaderClosed && status != ReadStatus::kHeaderError)
    log("Reading message length %d\n", m.header.length);
  if (status != ReadStatus::kOk) {
    if (lostByError(status)) logError("Engine: data reading error\n");
    new_.close();
    return;
  }
  logic_.onNewMessage(m);
  // A handler that keeps the connection has moved it to its entry.
  new_.close();
}

void Engine::closeEveryChannel() {
  for (auto& c : members_) c.close();
  for (auto& c : applications_) c.close();
  local_.close();
  pending_.close();
  // Connections not yet classified belong to no session and stay: one may be the next
  // manager, which came while the last one went.
  for (auto& h : held_) h = Held{};
  new_.close();
}

std::vector<bool> Engine::connectMembers(std::span<const MemberTarget> targets) {
  if (config_.client && !targets.empty()) config_.client->onLongWait();
  std::vector<net::Ipv4> addresses;
  for (const auto& t : targets) addresses.push_back(t.address);
  bool noSocket = false;
  auto sockets = net::connectTcpMany(addresses, config_.port, config_.host.bindAddress,
                                     config_.connectTimeoutMs, &noSocket);
  if (noSocket) logError("Engine: socket opening error\n");
  std::vector<bool> connected(targets.size(), false);
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (!sockets[i]) continue;
    auto& slot = members_[static_cast<std::size_t>(targets[i].slot)];
    slot = adopt(std::move(sockets[i]), targets[i].address);
    log("Connected with socket %d\n", slot.fd());
    connected[i] = true;
  }
  return connected;
}

int Engine::send(Connection& c, const MessageHeader& h, std::span<const std::uint8_t> payload) {
  if (!c.valid()) return 0;
  if (c.broken) return -1;
  int rc = sendMessage(c.fd(), h, payload, config_.sendTimeoutMs);
  if (rc < 0 && errno == ETIMEDOUT) c.broken = true;
  if (rc != 1) logError("Engine: write error\n");
  return rc;
}

// Every program start goes through here. A program that cannot be started is reported, and
// the caller carries on as if it had started: the matching stop then does nothing harmful.
void Engine::launch(const std::string& path, process::Process* record) {
  std::string why;
  *record = process::start(path, {}, &why);
  if (!record->started()) logError("Create process error: %s: %s\n", path.c_str(), why.c_str());
  log("Process %s created\n", path.c_str());
}

void Engine::startProgram(ArchiveProgram program) {
  if (program == ArchiveProgram::kRecorder)
    launch(config_.recorderPath, &recorder_);
  else
    launch(config_.playerPath, &player_);
}

void Engine::stopProgram(ArchiveProgram program) {
  process::Process& p = program == ArchiveProgram::kRecorder ? recorder_ : player_;
  p.terminate();
  p = {};
}

// A recorder or player that ended by itself (or never started) is the session logic's to
// report.
void Engine::checkArchivePrograms() {
  if (logic_.archiveState() == kRecording && !recorder_.running()) {
    int code = recorder_.exitCode();
    recorder_ = {};
    logic_.programEnded(ArchiveProgram::kRecorder, code);
  }
  if (logic_.archiveState() == kReplaying && !player_.running()) {
    int code = player_.exitCode();
    player_ = {};
    logic_.programEnded(ArchiveProgram::kPlayer, code);
  }
}

// --- the session logic's output, on the connection table ---

void Engine::progress(const std::string& line) {
  std::fputs(line.c_str(), config_.out);
}

void Engine::error(const std::string& line) {
  std::fputs(line.c_str(), config_.err);
  std::fflush(config_.err);
}

std::uint32_t Engine::tickCount() {
  return clock::tickCount();
}

int Engine::sendToManager(const MessageHeader& h, std::span<const std::uint8_t> payload) {
  if (!config_.client) return send(local_, h, payload);
  // In-process: the client is told directly; CTL_LOCAL_MEMBER, CTL_QUIT and CTL_MEMBERS are
  // not passed on.
  MemberRecord member;
  if (h.tag == CTL_DELETE_MEMBER) {
    auto n = decodeNumber(payload, ByteOrder::kLittle);
    if (!n || !MemberTable::validNumber(*n)) return 1;
    member = logic_.session().members[*n];  // still readable once removed
  } else if (h.tag == CTL_INVITATION || h.tag == CTL_ACCEPTED || h.tag == CTL_REJECTED ||
             h.tag == CTL_ADD_MEMBER || h.tag == CTL_INVITATION_TIMEOUT ||
             h.tag == CTL_INVITATION_DELIVERED) {
    auto r = decodeMemberRecord(payload);
    if (!r) return 1;
    member = *r;
  } else {
    return 1;
  }
  config_.client->onEngineEvent(h.tag, member, {});
  return 1;
}

void Engine::deliverToClient(int sender, int port, int tag, std::span<const std::uint8_t> data) {
  if (config_.client) config_.client->onApplicationData(sender, port, tag, data);
}

int Engine::sendToApplication(int slot, const MessageHeader& h,
                              std::span<const std::uint8_t> payload) {
  if (slot < 0 || slot >= kMaxApplications) return 0;
  return send(applications_[slot], h, payload);
}

int Engine::sendToMember(int slot, const MessageHeader& h, std::span<const std::uint8_t> payload) {
  if (slot < 0 || slot >= kMaxMembers) return 0;
  return send(members_[slot], h, payload);
}

int Engine::sendOnPending(const MessageHeader& h, std::span<const std::uint8_t> payload) {
  return send(pending_, h, payload);
}

bool Engine::hasMemberChannel(int slot) const {
  return slot >= 0 && slot < kMaxMembers && members_[slot].valid();
}

bool Engine::hasApplicationChannel(int slot) const {
  return slot >= 0 && slot < kMaxApplications && applications_[slot].valid();
}

int Engine::memberHandle(int slot) const {
  return hasMemberChannel(slot) ? members_[slot].fd() : -1;
}

void Engine::moveMemberChannel(int from, int to) {
  members_[to] = std::move(members_[from]);
  members_[from].close();
}

void Engine::closeMemberChannel(int slot) {
  if (slot >= 0 && slot < kMaxMembers) members_[slot].close();
}

void Engine::closeApplicationChannel(int slot) {
  if (slot >= 0 && slot < kMaxApplications) applications_[slot].close();
}

void Engine::pendingToMember(int slot) {
  members_[slot] = std::move(pending_);
  pending_.close();
}

void Engine::keepNewAsManager() {
  local_ = std::move(new_);  // a previous manager's channel is simply replaced
}

void Engine::keepNewAsPending() {
  pending_ = std::move(new_);  // an earlier pending invitation is no longer served
}

void Engine::keepNewAsMember(int slot) {
  members_[slot] = std::move(new_);
}

void Engine::holdNewForMember(int claimed) {
  // One per address: a host is one member. Otherwise the oldest gives way.
  auto entry = std::find_if(held_.begin(), held_.end(),
                            [&](const Held& h) { return h.connection.peer == new_.peer; });
  if (entry == held_.end())
    entry = std::find_if(held_.begin(), held_.end(),
                         [](const Held& h) { return !h.connection.valid(); });
  if (entry == held_.end())
    entry = std::min_element(held_.begin(), held_.end(), [](const Held& a, const Held& b) {
      return a.connection.serial < b.connection.serial;
    });
  entry->connection = std::move(new_);
  entry->connection.acceptedAt = clock::tickCount();
  entry->claimed = claimed;
}

int Engine::heldClaim(net::Ipv4 address) const {
  for (const auto& h : held_)
    if (h.connection.valid() && h.connection.peer == address) return h.claimed;
  return -1;
}

void Engine::keepHeldAsMember(net::Ipv4 address, int slot) {
  for (auto& h : held_)
    if (h.connection.valid() && h.connection.peer == address) {
      members_[static_cast<std::size_t>(slot)] = std::move(h.connection);
      h = Held{};
      return;
    }
}

void Engine::closeHeld(net::Ipv4 address) {
  for (auto& h : held_)
    if (h.connection.valid() && h.connection.peer == address) h = Held{};
}

int Engine::keepNewAsApplication() {
  for (int k = 0; k < kMaxApplications; ++k)
    if (!applications_[k].valid()) {
      applications_[k] = std::move(new_);
      return k;
    }
  return -1;
}

bool Engine::isOwnAddress(net::Ipv4 address) const {
  return host::isOwnAddress(config_.host, address);
}

}  // namespace zep::engine
