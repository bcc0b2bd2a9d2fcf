#include "tests/driver/driver.h"

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace zep::testing {

namespace {
// Nothing listens on the engine port or the media ports of this address (another test
// process whose id gives the same second byte may be using it).
bool unused(net::Ipv4 a) {
  const char* step = "";
  {
    const std::uint16_t port = engine::kEnginePort;
    net::Socket probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = a;
    if (::bind(probe.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return false;
  }
  for (std::uint16_t port : {12567, 34999})
    if (!net::openUdp(a, port, &step)) return false;
  return true;
}
}  // namespace

net::Ipv4 freshAddress() {
  static std::atomic<int> next{0};
  for (;;) {
    int n = next++;
    // The second byte comes from the process id, so parallel test processes seldom meet.
    int b = 10 + static_cast<int>(::getpid() % 240);
    int c = (n / 250) % 250;
    int d = 1 + n % 250;
    net::Ipv4 a;
    net::parseAddress(
        "127." + std::to_string(b) + "." + std::to_string(c) + "." + std::to_string(d), &a);
    if (unused(a)) return a;
  }
}

std::string dotted(net::Ipv4 address) {
  return net::formatAddress(address);
}

std::filesystem::path installTree() {
  return ZEP_TEST_TREE;
}

process::Process startUnder(const std::vector<std::string>& launcher, const std::string& program,
                            process::StartOptions options, std::string* why) {
  if (launcher.empty()) return process::start(program, options, why);
  std::vector<std::string> args(launcher.begin() + 1, launcher.end());
  args.push_back(program);
  args.insert(args.end(), options.args.begin(), options.args.end());
  options.args = std::move(args);
  return process::start(launcher[0], options, why);
}

std::filesystem::path freshDirectory(const std::string& prefix) {
  static std::atomic<int> next{0};
  auto dir = std::filesystem::temp_directory_path() /
             (prefix + "-" + std::to_string(::getpid()) + "-" + std::to_string(next++));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

double processorSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  auto close = text.rfind(')');  // the name in field 2 may hold spaces
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  long ticks = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i)
    if (i >= 14) ticks += std::stol(f);  // utime and stime
  return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double soundTimelineStart(const std::string& traced, const std::string& direction) {
  std::istringstream lines(traced);
  std::string line;
  while (std::getline(lines, line)) {
    auto at = line.find(" starts at ");
    if (line.rfind("Sound: " + direction, 0) == 0 && at != std::string::npos)
      return std::stod(line.substr(at + 11));
  }
  return -1;
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string LogFile::text() const {
  std::ifstream in(path_);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

int LogFile::count(std::string_view s) const {
  std::string t = text();
  int n = 0;
  for (auto pos = t.find(s); pos != std::string::npos; pos = t.find(s, pos + s.size())) ++n;
  return n;
}

bool LogFile::waitFor(std::string_view s, int timeoutMs) const {
  return waitUntil([&] { return contains(s); }, timeoutMs);
}

bool LogFile::waitForCount(std::string_view s, int n, int timeoutMs) const {
  return waitUntil([&] { return count(s) >= n; }, timeoutMs);
}

EngineProcess::EngineProcess(net::Ipv4 addr, EngineOptions options)
    : address(addr), directory_(freshDirectory("engine")) {
  out = LogFile(directory_ / "stdout.txt");
  err = LogFile(directory_ / "stderr.txt");
  process::StartOptions start;
  start.stdoutPath = out.path();
  start.stderrPath = err.path();
  start.argv0 = options.argv0;
  start.workingDirectory = options.workingDirectory;
  start.environment = {{"ZEP_HOST", dotted(addr)}, {"ZEP_USER", options.user}};
  if (options.zepPath != "-")
    start.environment.emplace_back("ZEP_PATH",
                                   options.zepPath.empty() ? installTree() : options.zepPath);
  else
    start.unsetEnvironment.push_back("ZEP_PATH");
  auto program = options.program.empty() ? installTree() / "Core" / "KSengine" : options.program;
  std::string why;
  process_ = process::start(program, start, &why);
}

UserServerProcess::UserServerProcess(net::Ipv4 at, std::vector<std::string> args) : address(at) {
  auto dir = freshDirectory("userserver");
  out = LogFile(dir / "stdout.txt");
  process::StartOptions start;
  start.stdoutPath = out.path();
  start.stderrPath = (dir / "stderr.txt").string();
  start.args = std::move(args);
  start.environment = {{"ZEP_HOST", dotted(at)}};
  std::string why;
  process_ = process::start((installTree() / "servers" / "userserver").string(), start, &why);
}

EngineProcess::~EngineProcess() {
  kill();
}

void EngineProcess::kill() {
  process_.terminate(2000);
}

MediaTool::MediaTool(net::Ipv4 host, std::uint16_t port, std::vector<std::string> extraArgs,
                     std::filesystem::path zepPath) {
  ::signal(SIGPIPE, SIG_IGN);  // a tool that ended must not end the test that writes to it
  auto dir = freshDirectory("mediatool");
  out = LogFile(dir / "stdout.txt");
  err = LogFile(dir / "stderr.txt");
  process::StartOptions start;
  start.stdoutPath = out.path();
  start.stderrPath = err.path();
  start.pipeStdin = true;
  start.args.push_back(std::to_string(port));
  start.args.insert(start.args.end(), extraArgs.begin(), extraArgs.end());
  start.environment = {{"ZEP_HOST", dotted(host)},
                       {"ZEP_PATH", (zepPath.empty() ? installTree() : zepPath).string()}};
  std::string why;
  process_ = process::start(ZEP_MEDIATEST, start, &why);
}

MediaTool::~MediaTool() {
  process_.terminate(1000);
}

ManagerProcess::ManagerProcess(net::Ipv4 addr, const std::string& userName,
                               std::vector<std::pair<std::string, std::string>> extraEnvironment,
                               std::vector<std::string> launcher, std::filesystem::path program)
    : address(addr), user(userName) {
  ::signal(SIGPIPE, SIG_IGN);
  auto dir = freshDirectory("manager-" + userName);
  out = LogFile(dir / "stdout.txt");
  err = LogFile(dir / "stderr.txt");
  engineLog = LogFile(dir / "engine.txt");
  process::StartOptions start;
  start.stdoutPath = out.path();
  start.stderrPath = err.path();
  start.pipeStdin = true;
  start.args = {"--headless"};
  start.environment = {{"ZEP_HOST", dotted(addr)},
                       {"ZEP_USER", userName},
                       {"ZEP_ENGINE_LOG", engineLog.path().string()},
                       {"ZEP_AUDIO_IN", "none"},
                       {"ZEP_AUDIO_OUT", "none"}};
  for (auto& [key, value] : extraEnvironment) {
    auto same = [&](const auto& entry) { return entry.first == key; };
    std::erase_if(start.environment, same);
    start.environment.emplace_back(key, value);
  }
  std::string why;
  if (program.empty()) program = installTree() / "zepmanager";
  process_ = startUnder(launcher, program.string(), start, &why);
}

AudioToolProcess::AudioToolProcess(net::Ipv4 host, AudioToolOptions options) {
  ::signal(SIGPIPE, SIG_IGN);  // a tool that ended must not end the test that writes to it
  auto dir = freshDirectory("zepaudio");
  out = LogFile(dir / "out.txt");
  err = LogFile(dir / "err.txt");
  process::StartOptions o;
  o.stdoutPath = out.path();
  o.stderrPath = err.path();
  o.pipeStdin = true;
  o.args = {"--headless"};
  o.environment = {{"ZEP_HOST", dotted(host)},
                   {"ZEP_AUDIO_IN", "file:" + options.microphone.string()},
                   {"ZEP_AUDIO_OUT", "file:" + options.speaker.string()},
                   {"ZEP_AUDIO_DUPLEX", options.halfDuplex ? "half" : "full"}};
  for (auto& [key, value] : options.environment) {
    std::erase_if(o.environment, [&](const auto& entry) { return entry.first == key; });
    o.environment.emplace_back(key, value);
  }
  std::string why;
  process_ = startUnder(options.launcher, (installTree() / "zepaudio").string(), o, &why);
}

AudioToolProcess::~AudioToolProcess() {
  process_.writeLine("click Control/Exit");
  process_.waitForExit(5000);
  process_.terminate();
}

int descriptorsOf(pid_t pid) {
  int n = 0;
  std::error_code ec;
  std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec);
  if (ec) return -1;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) ++n;
  return n;
}

long residentKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

std::vector<pid_t> processesOn(net::Ipv4 address, const std::string& program) {
  const std::string wanted = "ZEP_HOST=" + dotted(address);
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink(entry.path() / "exe", ec);
    if (ec || exe.filename() != program) continue;
    std::ifstream environ(entry.path() / "environ", std::ios::binary);
    std::string variable;
    while (std::getline(environ, variable, '\0')) {
      if (variable != wanted) continue;
      found.push_back(std::stoi(entry.path().filename().string()));
      break;
    }
  }
  return found;
}

namespace {
// Ends engines that a manager started on this address and left behind (an engine outlives a
// manager that did not shut it down).
void killEnginesOn(net::Ipv4 address) {
  for (pid_t pid : processesOn(address, "KSengine")) ::kill(pid, SIGKILL);
}
}  // namespace

ManagerProcess::~ManagerProcess() {
  if (process_.running()) {
    command("click File/Exit");
    process_.waitForExit(5000);
  }
  process_.terminate(1000);
  killEnginesOn(address);
}

Peer Peer::connect(net::Ipv4 engine, net::Ipv4 from) {
  Peer p;
  net::Socket s;
  if (from == net::kAnyAddress) from = engine;
  // The engine may still be starting: retry until the deadline.
  waitUntil([&] {
    return net::connectTcp(engine, engine::kEnginePort, from, 1000, &s) ==
           net::ConnectResult::kConnected;
  });
  p.socket_ = std::move(s);
  return p;
}

Peer Peer::manager(net::Ipv4 engine) {
  Peer p = connect(engine);
  p.send(engine::NEW_LOCAL_INIT);
  return p;
}

Peer Peer::application(net::Ipv4 engine, std::uint16_t port) {
  Peer p = connect(engine);
  ByteWriter w;
  w.u16(port, ByteOrder::kBig);
  p.send(engine::NEW_APP_ATTACH, w.data());
  return p;
}

bool Peer::send(std::uint8_t tag, std::span<const std::uint8_t> payload,
                engine::MessageHeader header) {
  header.tag = tag;
  if (header.sender.name.empty()) header.sender.name = "tester";
  return engine::sendMessage(socket_.fd(), header, payload) == 1;
}

bool Peer::sendRaw(std::span<const std::uint8_t> bytes) {
  return net::writeAll(socket_.fd(), bytes.data(), bytes.size()) == 1;
}

bool Peer::readable(int timeoutMs) {
  pollfd p{socket_.fd(), POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) > 0;
}

std::optional<engine::Message> Peer::receive(int timeoutMs) {
  if (!socket_.valid() || !readable(timeoutMs)) return std::nullopt;
  engine::Message m;
  if (engine::receiveMessage(socket_.fd(), &m) != engine::ReadStatus::kOk) {
    socket_.close();
    return std::nullopt;
  }
  return m;
}

std::optional<engine::Message> Peer::waitFor(std::uint8_t tag, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    auto m = receive(static_cast<int>(left.count()));
    if (!m) return std::nullopt;
    if (m->header.tag == tag) return m;
    skipped_.push_back(std::move(*m));
  }
}

bool Peer::silentFor(int quietMs) {
  return !readable(quietMs);
}

bool Peer::waitClosed(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!readable(50)) continue;
    char buffer[4096];
    ssize_t n = ::recv(socket_.fd(), buffer, sizeof buffer, 0);
    if (n <= 0) return true;
  }
  return false;
}

RemoteEngine::RemoteEngine(net::Ipv4 address) {
  const char* failedStep = "";
  listener_ = net::listenTcp(address, engine::kEnginePort, 5, &failedStep);
}

Peer RemoteEngine::accept(int timeoutMs) {
  pollfd p{listener_.fd(), POLLIN, 0};
  if (!listener_.valid() || ::poll(&p, 1, timeoutMs) <= 0) return Peer();
  net::Ipv4 from = net::kNoAddress;
  return Peer(net::acceptTcp(listener_, &from));
}

engine::MemberRecord recordOf(const std::string& name, net::Ipv4 address, int number) {
  engine::MemberRecord r;
  r.name = name;
  r.address = address;
  r.number = static_cast<std::uint8_t>(number);
  return r;
}

SessionHost::SessionHost(std::string userName, net::Ipv4 at, EngineOptions options)
    : user(std::move(userName)), address(at) {
  options.user = user;
  engine = std::make_unique<EngineProcess>(address, options);
  engine->waitReady();
  manager = Peer::manager(address);
}

std::vector<engine::MemberRecord> membersOf(Peer& manager) {
  if (!manager.send(engine::LOCAL_GET_MEMBERS)) return {};
  auto reply = manager.waitFor(engine::CTL_MEMBERS);
  if (!reply) return {};
  auto list = engine::decodeMemberList(reply->payload, ByteOrder::kLittle);
  return list ? list->list.records : std::vector<engine::MemberRecord>{};
}

bool waitForMemberCount(Peer& manager, std::size_t n, int timeoutMs) {
  return waitUntil([&] { return membersOf(manager).size() == n; }, timeoutMs);
}

bool inviteAndAccept(SessionHost& inviter, SessionHost& invitee) {
  inviter.manager.send(engine::LOCAL_ADD_MEMBER, engine::encodeMemberRecord(invitee.record()));
  if (!invitee.manager.waitFor(engine::CTL_INVITATION)) return false;
  invitee.manager.send(engine::LOCAL_JOIN);
  return inviter.manager.waitFor(engine::CTL_ACCEPTED).has_value();
}

bool formSession(std::vector<SessionHost*> hosts) {
  hosts[0]->manager.send(engine::LOCAL_CREATE);
  for (std::size_t i = 1; i < hosts.size(); ++i)
    if (!inviteAndAccept(*hosts[0], *hosts[i])) return false;
  for (auto* h : hosts)
    if (!waitForMemberCount(h->manager, hosts.size())) return false;
  return true;
}

}  // namespace zep::testing
