// The stream client with the stand-in stream server on loopback hosts, loudspeaker in a file:
//   delay  the delay from the request to the clip's first sample in the loudspeaker file, and
//          from each datagram's arrival (its line in ksa.log) to its first sample being played;
//          with the server pacing in real time and sending in one burst.
//   cpu    the share of one core the streamer uses while playing and while idle, and, in this
//          process, what the receive thread's wait costs: woken by the socket or the stop,
//          against looking every millisecond.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/audio.h"
#include "streamer/client.h"
#include "tests/driver/stream.h"

using namespace zep;
using namespace zep::testing;

namespace {
double ownCpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Arrival tick (ms) of every datagram, from the "PLAY buffer" lines of ksa.log.
std::vector<double> arrivals(const LogFile& mixerLog) {
  std::vector<double> found;
  std::istringstream lines(mixerLog.text());
  std::string line;
  while (std::getline(lines, line)) {
    auto at = line.find("time: ");
    if (line.rfind("PLAY buffer", 0) == 0 && at != std::string::npos)
      found.push_back(std::stod(line.substr(at + 6)));
  }
  return found;
}

void printSpread(const char* what, std::vector<double> v) {
  std::sort(v.begin(), v.end());
  std::printf(
      "  %s over %zu: median %.0f ms, 95th percentile %.0f ms, best %.0f ms, worst %.0f ms\n", what,
      v.size(), v[v.size() / 2], v[v.size() * 95 / 100], v.front(), v.back());
}

int delayBench() {
  const auto clip = installTree() / "clips" / "clip.aud";
  for (bool burst : {false, true}) {
    std::vector<double> requestToSound, arrivalToPlayed;
    int whole = 0;
    const int runs = 5;
    for (int run = 0; run < runs; ++run) {
      StreamServerProcess server(
          freshAddress(), burst ? std::vector<std::string>{"--burst"} : std::vector<std::string>{});
      if (!server.waitReady()) return 1;
      StreamerOptions o;
      o.server = dotted(server.address);
      StreamerProcess client(freshAddress(), o);
      if (!client.waitPlayedOut(30000) || !client.close()) {
        std::fprintf(stderr, "delay: the streamer did not play the clip out\n");
        return 1;
      }
      auto found = findStreamedClip(clip, client.speaker);
      if (found.whole) ++whole;
      double startMs = client.speakerStartMicros() / 1000;
      requestToSound.push_back(startMs + double(found.offset) / 8 - client.requestMicros() / 1000);
      auto got = arrivals(client.mixerLog);
      for (std::size_t k = 0; k < got.size(); ++k)
        arrivalToPlayed.push_back(startMs + double(found.offset + 800 * k) / 8 - got[k]);
    }
    std::printf("%s server, %d runs, clip whole and sample-exact in %d:\n",
                burst ? "burst" : "real-time", runs, whole);
    printSpread("request to first sound", requestToSound);
    // In a burst every datagram arrives at once, so only real time says how long one waits.
    if (!burst) printSpread("datagram arrival to played", arrivalToPlayed);
  }
  return 0;
}

int cpuBench() {
  const int seconds = 5;
  {
    StreamServerProcess server(freshAddress());
    if (!server.waitReady()) return 1;
    StreamerOptions o;
    o.server = dotted(server.address);
    StreamerProcess client(freshAddress(), o);
    if (!client.clientLog.waitFor("Client started\n")) return 1;
    clock::sleepMs(500);
    double before = processorSeconds(client.process().pid());
    clock::sleepMs(seconds * 1000);
    double playing = processorSeconds(client.process().pid()) - before;
    client.waitPlayedOut(30000);
    before = processorSeconds(client.process().pid());
    clock::sleepMs(seconds * 1000);
    double idle = processorSeconds(client.process().pid()) - before;
    std::printf("streamer CPU (share of one core): playing %.2f%%, idle %.2f%%\n",
                100 * playing / seconds, 100 * idle / seconds);
    client.close();
  }
  // The receive wait alone: the same client in this process, idle, each way.
  auto dir = freshDirectory("stream-cpu");
  clock::RealClock clock;
  for (int pollMs : {1, 0}) {
    sound::AudioSystem audio("none", "file:" + (dir / "out.wav").string(), false, clock);
    streamer::StreamClientSettings s;
    s.serverHost = dotted(freshAddress());
    s.bindAddress = freshAddress();
    s.logPath = (dir / "client.log").string();
    s.mixerLogPath = (dir / "ksa.log").string();
    s.clock = &clock;
    s.pollMs = pollMs;
    s.openDevice = [&audio](event::ManualResetEvent& done, std::string* error) {
      return audio.openOutput(done, error);
    };
    streamer::StreamClient client(s);
    if (!client.start()) return 1;
    clock::sleepMs(300);
    double before = ownCpuSeconds();
    clock::sleepMs(seconds * 1000);
    double used = ownCpuSeconds() - before;
    std::printf("stream client idle, receive wait %s: %.2f%% of one core\n",
                pollMs ? "looking every 1 ms" : "woken by the socket or the stop",
                100 * used / seconds);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "delay") return delayBench();
  if (mode == "cpu") return cpuBench();
  std::fprintf(stderr, "usage: stream_bench delay|cpu\n");
  return 2;
}
