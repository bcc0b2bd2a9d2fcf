// Whole sessions of the integrated client with video, on loopback hosts:
//   join   from erin's OK in the directory's password dialog to the first of dave's voice in
//          her loudspeaker file (on the file's own timeline), over several conferences;
//   video  capture-to-paint delay kestrel to kestrel at each connection preset, with the
//          pictures a second and their quality (each window against the sender's Mirror),
//          and the same for two video tools in an engine session, as the reference;
//   cpu    the share of one core each of three kestrels uses, talking and sending pictures,
//          at "LAN" and at "Modem 28.8";
//   link   two kestrels in network namespaces of their own, the first behind a token bucket
//          of its preset's line rate (both ways), talking and sending pictures: what the link
//          passed and dropped, the pictures a second that arrived and the share of talk bursts
//          heard, against the unshaped LAN in the same run (needs root; not part of "all").
// Usage: kestrel_video_bench [join|video|cpu|link|all]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "platform/audio.h"
#include "platform/clock.h"
#include "tests/driver/calls.h"
#include "tests/driver/directory.h"
#include "tests/driver/kestrel.h"
#include "tests/driver/netns.h"
#include "tests/driver/video.h"

using namespace zep;
using namespace zep::testing;

namespace {

double median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::uint64_t nowMicros() {
  static clock::RealClock real;
  return real.nowMicros();
}

// A kestrel whose Kestrel.cfg holds a connection preset as Options would leave it.
std::unique_ptr<KestrelProcess> client(const std::string& user, const std::string& preset,
                                       std::vector<std::int16_t> microphone,
                                       const std::string& directoryServer = "",
                                       std::vector<std::pair<std::string, std::string>> env = {}) {
  KestrelStart s;
  s.address = freshAddress();
  s.user = user;
  s.microphone = std::move(microphone);
  s.directoryServer = directoryServer;
  s.settings = [preset](kestrel::KestrelSettings& k) {
    k.preset = preset;
    kestrel::applyPreset(k);
    k.frameRate = k.highestFrameRate;
  };
  env.emplace_back("ZEP_TRACE", "1");
  s.environment = std::move(env);
  return std::make_unique<KestrelProcess>(s);
}

void call(KestrelProcess& from, const KestrelProcess& to) {
  from.command("click Call");
  from.command("type User = " + to.user + "@" + dotted(to.address));
  from.command("click Call");
}

void joinBench() {
  std::vector<double> ms, session;
  for (int round = 0; round < 5; ++round) {
    DirServerProcess server(freshAddress());
    if (!server.waitReady()) continue;
    auto dave = client("dave", "Modem 28.8", sixSecondTone(523), dotted(server.address));
    auto erin = client("erin", "Modem 28.8", {}, dotted(server.address));
    if (!dave->out.waitFor("User list + erin") || !erin->out.waitFor("ready to use")) continue;
    createProtectedConference(*dave, "Bench", "pw");
    if (!askToJoin(*erin, "Bench")) continue;
    erin->command("type Password = pw");
    const double okAt = double(nowMicros()) / 1000;
    erin->command("click OK");
    if (erin->out.waitFor("Talk enabled", 5000))
      session.push_back(double(nowMicros()) / 1000 - okAt);
    clock::sleepMs(3000);
    erin->command("close");
    erin->command("click File/Exit");
    erin->process_.waitForExit(8000);
    double start = soundTimelineStart(LogFile(erin->dir / "errors.txt").text(), "output") / 1000;
    auto heard = erin->heard();
    for (std::size_t i = 0; i < heard.size() && start > 0; ++i)
      if (std::abs(heard[i]) > 3000) {
        ms.push_back(start + double(i) / 8 - okAt);
        break;
      }
  }
  std::sort(ms.begin(), ms.end());
  if (ms.empty()) {
    std::printf("join: dave's voice was never heard\n");
    return;
  }
  std::printf(
      "join: password OK to dave's voice in erin's loudspeaker: median %.0f ms, %.0f to %.0f ms "
      "(%zu conferences); her audio started (session formed, devices open) after %.0f ms\n",
      median(ms), ms.front(), ms.back(), ms.size(), median(session));
}

// How long each sent picture waited after its capture (the sender's trace), in ms.
std::vector<double> waits(const std::filesystem::path& errors) {
  std::vector<double> ms;
  std::istringstream lines(LogFile(errors).text());
  for (std::string line; std::getline(lines, line);) {
    unsigned long long us = 0;
    if (std::sscanf(line.c_str(), "Video: frame sent %llu us after its capture", &us) == 1)
      ms.push_back(double(us) / 1000);
  }
  return ms;
}

void printSeen(const std::string& what, const SeenPictures& s, std::vector<double> waited) {
  std::sort(waited.begin(), waited.end());
  const double wait = median(waited),
               wait95 = waited.empty() ? -1 : waited[waited.size() * 95 / 100];
  std::printf(
      "%-26s %4.1f pictures/s %5.1f dB; capture to sent %5.1f ms (95th %5.1f), Mirror to "
      "window %4.1f ms (95th %4.1f)\n",
      what.c_str(), s.framesPerSecond, s.medianPsnr, wait, wait95, s.medianDelayMs, s.p95DelayMs);
}

void videoBench() {
  for (const char* preset : {"Modem 28.8", "ISDN-1", "ISDN-2", "LAN"}) {
    // "LAN" asks for uncompressed YUV9, which needs a camera that gives YVU9.
    std::vector<std::pair<std::string, std::string>> env;
    if (std::string(preset) == "LAN") env.emplace_back("ZEP_CAMERA_FORMAT", "yvu9");
    auto kay = client("kay", preset, {}, "", env), lou = client("lou", preset, {}, "", env);
    kay->out.waitFor("ready to use");
    lou->out.waitFor("ready to use");
    call(*kay, *lou);
    lou->out.waitFor("Talk enabled");
    kay->command("click Video");
    lou->out.waitFor("display 0 opened");
    clock::sleepMs(8000);
    auto seen = compareWithMirror(readDisplay(lou->displays, 0), readDisplay(kay->displays, 20));
    printSeen(std::string("kestrel, ") + preset + ":", seen, waits(kay->dir / "errors.txt"));
  }
  // The reference: the video tool, two engine hosts, its own Modem 28.8 preset.
  SessionHost a("alice"), b("bob");
  if (!formSession({&a, &b})) return;
  VideoToolProcess ta(a.address, "alice"), tb(b.address, "bob");
  ta.out.waitFor("Status = Ready");
  tb.out.waitFor("Status = Ready");
  ta.command("click Capture/Start");
  tb.out.waitFor("display 0 opened");
  clock::sleepMs(8000);
  printSeen("video tool, Modem 28.8:",
            compareWithMirror(readDisplay(tb.displays, 0), readDisplay(ta.displays, 20)), {});
}

void cpuBench() {
  std::vector<std::int16_t> voice(8000 * 20);
  for (std::size_t i = 0; i < voice.size(); ++i)
    voice[i] = static_cast<std::int16_t>(8000 * std::sin(0.2 * double(i)) * (i % 8000 < 5000));
  for (const char* preset : {"LAN", "Modem 28.8"}) {
    std::vector<std::unique_ptr<KestrelProcess>> k;
    for (int i = 0; i < 3; ++i) k.push_back(client("k" + std::to_string(i), preset, voice));
    for (auto& p : k) p->out.waitFor("ready to use");
    for (int i = 1; i < 3; ++i) {
      call(*k[0], *k[static_cast<std::size_t>(i)]);
      k[0]->out.waitForCount("Participants + ", i + 1);
    }
    for (auto& p : k) p->command("click Video");
    clock::sleepMs(3000);
    std::vector<double> before;
    for (auto& p : k) before.push_back(processorSeconds(p->process_.pid()));
    clock::sleepMs(8000);
    std::printf("cpu, %s with audio and video, three kestrels:", preset);
    for (std::size_t i = 0; i < k.size(); ++i)
      std::printf(" %.1f%%", 100 * (processorSeconds(k[i]->process_.pid()) - before[i]) / 8);
    std::printf(" of a core each\n");
  }
}

void linkBench() {
  std::string why;
  if (!NetworkLab::permitted(&why)) {
    std::printf("link: %s\n", why.c_str());
    return;
  }
  std::printf("%-10s %-11s %7s %7s %9s %7s %7s %s\n", "link", "preset", "passed", "dropped",
              "pictures", "quality", "bursts", "session");
  struct Row {
    double kbit;
    const char* preset;
  };
  for (Row row : {Row{0, "LAN"}, Row{0, "Modem 28.8"}, Row{28.8, "Modem 28.8"}, Row{64, "ISDN-1"},
                  Row{128, "ISDN-2"}}) {
    NetworkLab lab(2);
    if (!lab.ready()) {
      std::printf("link: %s\n", lab.problem().c_str());
      return;
    }
    const double hz = 440;
    auto start = [&](int host, const std::string& user, std::vector<std::int16_t> microphone) {
      KestrelStart s;
      s.address = lab.address(host);
      s.user = user;
      s.microphone = std::move(microphone);
      s.settings = [&row](kestrel::KestrelSettings& k) {
        k.preset = row.preset;
        kestrel::applyPreset(k);
        k.frameRate = k.highestFrameRate;
      };
      s.environment = {{"ZEP_TRACE", "1"}};
      s.launcher = lab.launcher(host);
      return std::make_unique<KestrelProcess>(s);
    };
    auto kay = start(0, "kay", toneBursts(hz, 16)), lou = start(1, "lou", {});
    if (!kay->out.waitFor("ready to use", 15000) || !lou->out.waitFor("ready to use", 15000))
      continue;
    call(*kay, *lou);
    if (!lou->out.waitFor("Talk enabled", 10000)) continue;
    if (row.kbit > 0 && !lab.shape(0, row.kbit, 200, &why)) {
      std::printf("link: %s\n", why.c_str());
      return;
    }
    kay->command("click Video");
    clock::sleepMs(10000);
    long passed = 0, dropped = 0;
    lab.outwardStatistics(0, &passed, &dropped);
    auto seen = compareWithMirror(readDisplay(lou->displays, 0), readDisplay(kay->displays, 20));
    const bool formed =
        !kay->out.contains("Participants - ") && !lou->out.contains("Participants - ");
    kay->command("click File/Exit");
    lou->command("click File/Exit");
    kay->process_.waitForExit(8000);
    lou->process_.waitForExit(8000);
    double spokenStart =
        soundTimelineStart(LogFile(kay->dir / "errors.txt").text(), "input") / 1000;
    double heardStart =
        soundTimelineStart(LogFile(lou->dir / "errors.txt").text(), "output") / 1000;
    std::vector<std::int16_t> spoken = toneBursts(hz, 16), heard = lou->heard();
    const double heardEnd = heardStart + static_cast<double>(heard.size()) / 8;
    int due = 0;
    for (double s : burstOnsetsMs(spoken, hz))
      if (spokenStart + s >= heardStart && spokenStart + s + 700 <= heardEnd) ++due;
    auto delays = burstDelaysMs(spoken, spokenStart, heard, heardStart, hz);
    const double share = due > 0 ? std::min(1.0, double(delays.size()) / due) : 0;
    std::string link = row.kbit > 0 ? std::to_string(row.kbit).substr(0, 4) + " kbit/s" : "LAN";
    std::printf("%-10s %-11s %7ld %7ld %7.1f/s %5.1f dB %6.0f%% %s\n", link.c_str(), row.preset,
                passed, dropped, seen.framesPerSecond, seen.medianPsnr, 100 * share,
                formed ? "formed" : "BROKEN");
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "all";
  if (mode == "join" || mode == "all") joinBench();
  if (mode == "video" || mode == "all") videoBench();
  if (mode == "cpu" || mode == "all") cpuBench();
  if (mode == "link") linkBench();
  return 0;
}
