// Whole conferences as people would hold them: every host a loopback address with its own
// headless manager (which starts its engine), a user server, the mesh built by invitations from
// the first host's Add Users dialog, and the audio tool run from its Applications list on every
// member, with sound-file devices.
//   idle [N]    three hosts (or N): the processor share of every manager, engine and audio tool
//               while nobody talks, then while everyone talks
//   twenty [N]  twenty hosts (or N): mesh time; everyone speaks in turn for a second, each with
//               a tone of their own, then twelve at once; who heard whom in every loudspeaker
//               file, the mouth-to-ear delay, processor and memory of all the hosts, and the
//               datagrams a second at the busiest moment.
// Run by hand: twenty hosts take most of a small machine for half a minute.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/audio.h"
#include "platform/clock.h"
#include "tests/driver/driver.h"

using namespace zep;
using namespace zep::testing;

namespace {

// UDP datagrams this machine has received so far.
long udpDatagramsReceived() {
  std::ifstream snmp("/proc/net/snmp");
  std::string header, values;
  while (std::getline(snmp, header) && std::getline(snmp, values)) {
    if (header.rfind("Udp:", 0) != 0) continue;
    std::istringstream h(header), v(values);
    std::string name, value;
    while (h >> name && v >> value)
      if (name == "InDatagrams") return std::stol(value);
  }
  return 0;
}

double timelineStart(const ManagerProcess& m, const std::string& what) {
  double micros = soundTimelineStart(m.err.text(), what);
  return micros < 0 ? -1 : micros / 1000;
}

std::vector<std::int16_t> toneIn(std::vector<std::int16_t> v, double hz, double from, double to) {
  for (auto i = static_cast<std::size_t>(from * 8000);
       i < std::min(v.size(), std::size_t(to * 8000)); ++i)
    v[i] = static_cast<std::int16_t>(
        v[i] + 7000 * std::sin(2 * M_PI * hz * static_cast<double>(i) / 8000));
  return v;
}

struct Host {
  std::string user;
  std::filesystem::path microphone, loudspeaker;
  std::unique_ptr<ManagerProcess> manager;
  pid_t engine = 0, audioTool = 0;
};

class Conference {
 public:
  // Microphones are written by the caller into hosts[i].microphone before start().
  Conference(int n, const std::string& base) : base_(base), dir_(freshDirectory("conference")) {
    for (int i = 0; i < n; ++i) {
      Host h;
      h.user = "user" + std::to_string(i + 1);
      h.microphone = dir_ / (h.user + "-microphone.wav");
      h.loudspeaker = dir_ / (h.user + "-loudspeaker.wav");
      hosts.push_back(std::move(h));
    }
  }
  net::Ipv4 address(std::size_t i) const {
    return net::dottedAddress(base_ + std::to_string(i + 1));
  }
  bool start() {
    auto tree = installTree();
    net::Ipv4 serverAddress = net::dottedAddress(base_ + "250");
    serverLog_ = LogFile(freshDirectory("userserver") / "out.txt");
    process::StartOptions o;
    o.stdoutPath = serverLog_.path();
    o.environment = {{"ZEP_HOST", dotted(serverAddress)}};
    std::string why;
    server_ = process::start((tree / "servers" / "userserver").string(), o, &why);
    std::ofstream(tree / "SERVERS.CFG") << dotted(serverAddress) << "\n";
    if (!serverLog_.waitFor("Server: listening")) return fail("the user server does not listen");
    for (std::size_t i = 0; i < hosts.size(); ++i)
      hosts[i].manager = std::make_unique<ManagerProcess>(
          address(i), hosts[i].user,
          std::vector<std::pair<std::string, std::string>>{
              {"ZEP_AUDIO_IN", "file:" + hosts[i].microphone.string()},
              {"ZEP_AUDIO_OUT", "file:" + hosts[i].loudspeaker.string()},
              {"ZEP_RING_OUT", "none"},
              {"ZEP_TRACE", "sound"}});
    for (auto& h : hosts)
      if (!h.manager->out.waitFor("Status = Conferencing panel ready to use", 20000))
        return fail(h.user + "'s manager is not ready");
    if (!serverLog_.waitForCount("signed on", static_cast<int>(hosts.size()), 20000))
      return fail("not everyone signed on");
    for (std::size_t i = 0; i < hosts.size(); ++i) {
      auto pids = processesOn(address(i), "KSengine");
      if (pids.size() != 1) return fail("no engine for " + hosts[i].user);
      hosts[i].engine = pids[0];
    }
    return true;
  }
  // The first host invites everyone at once and they all accept: the time until every
  // manager lists every member, in ms.
  double mesh() {
    auto& a = *hosts[0].manager;
    clock::RealClock wall;
    std::uint64_t began = wall.nowMicros();
    a.command("click Add");
    if (!a.out.waitFor("Add Users: Active Users + " + invitee(hosts.size() - 1), 20000))
      return fail("Active Users is incomplete"), -1;
    for (std::size_t i = 1; i < hosts.size(); ++i) {
      a.command("select Active Users = " + invitee(i));
      a.command("click Add ->");
    }
    a.command("click OK");
    for (std::size_t i = 1; i < hosts.size(); ++i) {
      auto& m = *hosts[i].manager;
      if (!m.out.waitFor("Status = RECEIVED INVITATION from " + hosts[0].user + "@", 30000))
        return fail(hosts[i].user + " was not invited"), -1;
      m.command("click Accept");
    }
    for (auto& h : hosts)
      if (!h.manager->out.waitForCount("Members + ", static_cast<int>(hosts.size()), 60000))
        return fail(h.user + " does not list every member"), -1;
    return double(wall.nowMicros() - began) / 1000;
  }
  bool runAudioTool() {
    auto& a = *hosts[0].manager;
    a.command("select Applications = Audio tool");
    a.command("click Run");
    for (std::size_t i = 0; i < hosts.size(); ++i) {
      auto& h = hosts[i];
      if (!waitUntil([&] { return timelineStart(*h.manager, "output") > 0; }, 30000))
        return fail(h.user + "'s audio tool does not play");
      auto pids = processesOn(address(i), "zepaudio");
      if (pids.size() != 1) return fail("no audio tool for " + h.user);
      h.audioTool = pids[0];
    }
    return true;
  }
  std::vector<pid_t> allProcesses() const {
    std::vector<pid_t> all;
    for (auto& h : hosts)
      all.insert(all.end(), {h.manager->process().pid(), h.engine, h.audioTool});
    return all;
  }
  // Every manager exits, which quits its audio tool, which closes its loudspeaker file.
  void quit() {
    for (auto& h : hosts) h.manager->command("click File/Exit");
    for (auto& h : hosts) h.manager->process().waitForExit(20000);
    for (auto& h : hosts)
      waitUntil([&] { return !std::filesystem::exists("/proc/" + std::to_string(h.audioTool)); },
                10000);
  }
  ~Conference() {
    hosts.clear();
    server_.terminate();
  }

  std::vector<Host> hosts;

 private:
  std::string invitee(std::size_t i) const { return hosts[i].user + "@" + dotted(address(i)); }
  bool fail(const std::string& why) {
    std::fprintf(stderr, "conference: %s\n", why.c_str());
    return false;
  }
  std::string base_;
  std::filesystem::path dir_;
  LogFile serverLog_;
  process::Process server_;
};

// Processor share of one core over `seconds`, per process.
std::vector<double> cpuShares(const std::vector<pid_t>& pids, int seconds) {
  std::vector<double> before;
  for (pid_t p : pids) before.push_back(processorSeconds(p));
  clock::sleepMs(seconds * 1000);
  std::vector<double> shares;
  for (std::size_t i = 0; i < pids.size(); ++i)
    shares.push_back(100 * (processorSeconds(pids[i]) - before[i]) / seconds);
  return shares;
}

int idleBench(int n, const std::string& base) {
  Conference c(n, base);
  // Twenty-four seconds of silence, then everyone talks: bursts of a tone of their own.
  for (std::size_t i = 0; i < c.hosts.size(); ++i) {
    std::vector<std::int16_t> mic(8000 * 50, 0);
    for (double t = 24; t < 50; t += 1)
      mic = toneIn(std::move(mic), 400 + 150 * double(i), t, t + 0.7);
    std::string error;
    sound::writeSoundFile(c.hosts[i].microphone.string(), mic, &error);
  }
  if (!c.start() || c.mesh() < 0 || !c.runAudioTool()) return 1;
  clock::sleepMs(2000);
  auto print = [&](const char* when, const std::vector<double>& shares) {
    std::printf("%s (share of one core):\n", when);
    for (std::size_t i = 0; i < c.hosts.size(); ++i)
      std::printf("  %-7s manager %5.2f%%  engine %5.2f%%  audio tool %5.2f%%\n",
                  c.hosts[i].user.c_str(), shares[3 * i], shares[3 * i + 1], shares[3 * i + 2]);
  };
  print("idle, nobody talking, 20 s", cpuShares(c.allProcesses(), 20));
  clock::sleepMs(4000);  // everyone talks from 24 s on their own timelines
  print("everyone talking, ADPCM, 15 s", cpuShares(c.allProcesses(), 15));
  c.quit();
  return 0;
}

int twentyBench(int n, const std::string& base) {
  Conference c(n, base);
  // The turns begin once every tool is surely running: the tools of a large conference
  // start over several seconds.
  const double turnsStart = n > 5 ? 12 : 4, together = turnsStart + n + 1;
  const int simultaneous = std::min(n, 12);
  auto hz = [](std::size_t i) { return 350.0 + 150.0 * double(i); };
  for (std::size_t i = 0; i < c.hosts.size(); ++i) {
    std::vector<std::int16_t> mic(static_cast<std::size_t>(8000 * (together + 3)), 0);
    mic = toneIn(std::move(mic), hz(i), turnsStart + double(i), turnsStart + double(i) + 1);
    if (static_cast<int>(i) < simultaneous)
      mic = toneIn(std::move(mic), hz(i), together + 0.1 * double(i), together + 2);
    std::string error;
    sound::writeSoundFile(c.hosts[i].microphone.string(), mic, &error);
  }
  if (!c.start()) return 1;
  double meshMs = c.mesh();
  if (meshMs < 0) return 1;
  std::printf("mesh of %d hosts formed by invitations in %.0f ms\n", n, meshMs);
  if (!c.runAudioTool()) return 1;
  // Processor and datagrams over the whole conversation, sampled every second.
  auto pids = c.allProcesses();
  std::vector<double> before;
  for (pid_t p : pids) before.push_back(processorSeconds(p));
  long busiest = 0, counted = udpDatagramsReceived(), peakKb = 0;
  clock::RealClock wall;
  const double began = double(wall.nowMicros()) / 1e6;
  const double seconds = together + 3 + 1;
  while (double(wall.nowMicros()) / 1e6 - began < seconds) {
    clock::sleepMs(1000);
    long now = udpDatagramsReceived();
    busiest = std::max(busiest, now - counted);
    counted = now;
    long kb = 0;
    for (pid_t p : pids) kb += residentKilobytes(p);
    peakKb = std::max(peakKb, kb);
  }
  const double elapsed = double(wall.nowMicros()) / 1e6 - began;
  double cpu = 0;
  for (std::size_t i = 0; i < pids.size(); ++i) cpu += processorSeconds(pids[i]) - before[i];
  double toolCpu = 0;
  for (std::size_t i = 0; i < c.hosts.size(); ++i)
    toolCpu += processorSeconds(pids[3 * i + 2]) - before[3 * i + 2];
  std::vector<double> inputStart, outputStart;
  for (auto& h : c.hosts) {
    inputStart.push_back(timelineStart(*h.manager, "input"));
    outputStart.push_back(timelineStart(*h.manager, "output"));
  }
  c.quit();
  auto [earliest, latest] = std::minmax_element(inputStart.begin(), inputStart.end());
  std::printf("the audio tools started within %.0f ms of each other\n", *latest - *earliest);
  std::printf(
      "%d hosts talking for %.0f s: processor %.0f%% of one core in all (audio tools %.0f%%), "
      "memory %ld MB resident at most, %ld datagrams a second at the busiest\n",
      n, elapsed, 100 * cpu / elapsed, 100 * toolCpu / elapsed, peakKb / 1024, busiest);

  // Who heard whom: each speaker's turn, found in each listener's file on its own timeline.
  int heardCells = 0, cells = 0;
  std::vector<double> delays;
  std::printf("\nwho heard whom in turn (row: listener, column: speaker; + heard, . not):\n      ");
  for (int j = 0; j < n; ++j) std::printf("%3d", j + 1);
  std::printf("\n");
  std::vector<std::vector<std::int16_t>> heard(c.hosts.size());
  for (std::size_t l = 0; l < c.hosts.size(); ++l) {
    std::string error;
    sound::readSoundFile(c.hosts[l].loudspeaker.string(), &heard[l], &error);
    std::printf("  %3zu ", l + 1);
    for (std::size_t s = 0; s < c.hosts.size(); ++s) {
      if (s == l) {
        std::printf("  -");
        continue;
      }
      // The turn as spoken, moved onto the listener's timeline: from 200 ms after it began, for
      // 900 ms, so that with delays up to 300 ms it is mostly this speaker's second and hardly
      // the ones before and after it.
      double spoken = inputStart[s] + 1000 * (turnsStart + double(s));
      double from = spoken + 200 - outputStart[l];
      auto first = static_cast<std::size_t>(std::max(0.0, from * 8));
      auto end = std::min(heard[l].size(), first + 7200);
      std::vector<std::int16_t> turn(heard[l].begin() + static_cast<long>(std::min(first, end)),
                                     heard[l].begin() + static_cast<long>(end));
      double own = sound::toneEnergy(turn, hz(s)), strongestOther = 0;
      for (std::size_t o = 0; o < c.hosts.size(); ++o)
        if (o != s) strongestOther = std::max(strongestOther, sound::toneEnergy(turn, hz(o)));
      bool yes = own > 1e5 && own > 10 * strongestOther;
      heardCells += yes;
      ++cells;
      std::printf("  %c", yes ? '+' : '.');
      // Mouth-to-ear: from the spoken start on, the first 50 ms in which the speaker's tone
      // stands out from every other (the one before may still be playing), in 10 ms steps.
      const auto onsetFrom = static_cast<std::size_t>(std::max(0.0, (spoken - outputStart[l]) * 8));
      for (std::size_t k = onsetFrom; yes && k + 400 <= heard[l].size() && k < onsetFrom + 8000;
           k += 80) {
        std::vector<std::int16_t> frame(heard[l].begin() + static_cast<long>(k),
                                        heard[l].begin() + static_cast<long>(k + 400));
        double mine = sound::toneEnergy(frame, hz(s)), others = 0;
        for (std::size_t o = 0; o < c.hosts.size(); ++o)
          if (o != s) others = std::max(others, sound::toneEnergy(frame, hz(o)));
        if (mine > 1e5 && mine > 10 * others) {
          delays.push_back(outputStart[l] + double(k) / 8 - spoken);
          break;
        }
      }
    }
    std::printf("\n");
  }
  std::printf("%d of %d listener-speaker pairs heard\n", heardCells, cells);
  if (!delays.empty()) {
    std::sort(delays.begin(), delays.end());
    std::printf("mouth-to-ear delay over %zu pairs: median %.0f ms, 95th percentile %.0f ms\n",
                delays.size(), delays[delays.size() / 2], delays[delays.size() * 95 / 100]);
  }
  // Twelve at once: who is heard clearly by the last host, which is not among them.
  if (simultaneous < n) {
    auto& lastHeard = heard[c.hosts.size() - 1];
    double from = inputStart[0] + 1000 * (together + 1.2) - outputStart[c.hosts.size() - 1];
    auto first = static_cast<std::size_t>(std::max(0.0, from * 8));
    std::vector<std::int16_t> part(
        lastHeard.begin() + static_cast<long>(std::min(first, lastHeard.size())),
        lastHeard.begin() + static_cast<long>(std::min(first + 4000, lastHeard.size())));
    // A voice mixed among ten is about 5e8 here; one without a ring leaks in at 1e6 at most.
    constexpr double kClearVoice = 1e7;
    std::printf("with %d talking at once, host %d hears:", simultaneous, n);
    for (int s = 0; s < simultaneous; ++s)
      std::printf(" %d%s", s + 1,
                  sound::toneEnergy(part, hz(std::size_t(s))) > kClearVoice ? "+" : ".");
    std::printf("\n");
  }
  return heardCells == cells ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string what = argc > 1 ? argv[1] : "idle";
  int n = argc > 2 ? std::atoi(argv[2]) : 0;
  std::string base = argc > 3 ? argv[3] : "127.78.0.";
  if (what == "idle") return idleBench(n > 0 ? n : 3, base);
  if (what == "twenty") return twentyBench(n > 0 ? n : 20, base);
  std::fprintf(stderr, "usage: %s idle|twenty [HOSTS] [ADDRESS-PREFIX]\n", argv[0]);
  return 2;
}
