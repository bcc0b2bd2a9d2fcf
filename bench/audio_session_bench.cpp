// Whole audio sessions on loopback hosts with sound-file devices:
//   delay  the receive half first: blocks that this program sends to an audio tool as member 1,
//          from their arrival to their first sample in its loudspeaker file (on the file's own
//          timeline); then the mouth-to-ear delay: clicks in alice's microphone file found again
//          in bob's loudspeaker file, through capture, coding, the network, decoding, the ring,
//          the mixer and the output queue, over four sessions started at different phases;
//          median and 95th percentile.
//   cpu    the share of one core each audio tool uses in a three-host session, per codec.
//   snr    signal-to-noise ratio of a tone carried from one host to another, per codec: the
//          tone fitted to each 100 ms block of the middle two seconds heard, against what is
//          left (block by block, so a slip of the playout timeline does not count as noise).
#include <sys/times.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <random>

#include "applink/link.h"
#include "platform/audio.h"
#include "platform/clock.h"
#include "tests/driver/driver.h"

using namespace zep;
using namespace zep::testing;

namespace {

struct AudioTool {
  AudioTool(net::Ipv4 host, const std::filesystem::path& mic,
            const std::filesystem::path& speaker) {
    auto dir = freshDirectory("bench-zepaudio");
    err = LogFile(dir / "err.txt");
    process::StartOptions o;
    o.stdoutPath = "/dev/null";
    o.stderrPath = err.path();
    o.pipeStdin = true;
    o.args = {"--headless"};
    o.environment = {{"ZEP_HOST", dotted(host)},
                     {"ZEP_TRACE", "1"},
                     {"ZEP_AUDIO_IN", "file:" + mic.string()},
                     {"ZEP_AUDIO_OUT", "file:" + speaker.string()}};
    std::string why;
    process = process::start((installTree() / "zepaudio").string(), o, &why);
  }
  void quit() {
    process.writeLine("click Control/Exit");
    process.waitForExit(5000);
    process.terminate();
  }
  // Start of a timeline traced on standard error, in monotonic microseconds.
  double startOf(const std::string& direction) { return soundTimelineStart(err.text(), direction); }
  double cpuSeconds() { return processorSeconds(process.pid()); }
  LogFile err;
  process::Process process;
};

// Onsets: the first sample of each run above the threshold, at least `gap` samples apart.
std::vector<std::size_t> onsets(const std::vector<std::int16_t>& s, int threshold,
                                std::size_t gap) {
  std::vector<std::size_t> found;
  for (std::size_t i = 0; i < s.size(); ++i)
    if (std::abs(s[i]) > threshold && (found.empty() || i - found.back() > gap)) found.push_back(i);
  return found;
}

void printDelays(const char* what, std::vector<double> delays, std::size_t of) {
  std::sort(delays.begin(), delays.end());
  std::printf(
      "%s over %zu of %zu: median %.0f ms, 95th percentile %.0f ms, best %.0f ms, worst %.0f "
      "ms\n",
      what, delays.size(), of, delays[delays.size() / 2], delays[delays.size() * 95 / 100],
      delays.front(), delays.back());
}

// Marked blocks sent straight to an audio tool's media port as member 1, at uneven times so
// that they meet its mixing steps at every phase, each found again in the loudspeaker file.
int arrivalBench() {
  SessionHost b("bob");
  auto dir = freshDirectory("arrival-bench");
  std::string error;
  sound::writeSoundFile((dir / "b-mic.wav").string(), std::vector<std::int16_t>(8000, 0), &error);
  AudioTool tb(b.address, dir / "b-mic.wav", dir / "b-out.wav");
  if (!waitUntil([&] { return tb.startOf("output") > 0; }, 10000)) {
    std::fprintf(stderr, "arrival: the audio tool did not start playing\n");
    return 1;
  }
  clock::sleepMs(500);
  const char* failed = nullptr;
  net::Socket socket = net::openUdp(freshAddress(), 0, &failed);
  if (!socket.valid()) {
    std::fprintf(stderr, "arrival: no socket (%s)\n", failed);
    return 1;
  }
  // A loud block, big-endian as the PCM message carries it.
  std::vector<std::uint8_t> pcm(1600);
  for (std::size_t i = 0; i < 800; ++i) {
    auto v = static_cast<std::uint16_t>(
        static_cast<std::int16_t>(12000 * std::sin(0.7 + 0.8 * double(i))));
    pcm[2 * i] = static_cast<std::uint8_t>(v >> 8);
    pcm[2 * i + 1] = static_cast<std::uint8_t>(v);
  }
  auto datagram = applink::encodeMediaDatagram(15, 1, pcm);
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> pause(400, 537);  // never in step with the 100 ms mixing
  clock::RealClock clock;
  std::vector<double> sentAt;  // monotonic ms
  const int blocks = 50;
  for (int i = 0; i < blocks; ++i) {
    sentAt.push_back(double(clock.nowMicros()) / 1000);
    net::sendTo(socket, b.address, 12567, datagram);
    clock::sleepMs(pause(random));
  }
  clock::sleepMs(800);
  const double outStart = tb.startOf("output") / 1000;
  tb.quit();
  std::vector<std::int16_t> heard;
  if (!sound::readSoundFile((dir / "b-out.wav").string(), &heard, &error)) {
    std::fprintf(stderr, "arrival: %s\n", error.c_str());
    return 1;
  }
  auto got = onsets(heard, 3000, 1600);
  std::vector<double> delays;
  for (double s : sentAt) {
    for (std::size_t g : got) {
      double d = outStart + double(g) / 8 - s;
      if (d > -20 && d < 400) {
        delays.push_back(d);
        break;
      }
    }
  }
  if (delays.size() < blocks * 9 / 10) {
    std::fprintf(stderr, "arrival: only %zu of %d blocks found again (seed %u)\n", delays.size(),
                 blocks, seed);
    return 1;
  }
  printDelays("arrival to loudspeaker", delays, blocks);
  return 0;
}

// One session: alice's clicks found again in bob's loudspeaker file. bob's tool starts
// `staggerMs` after alice's: every step on the way is paced in whole blocks, so the delay is the
// same for every click of a session and depends on the phase of bob's mixer against alice's
// microphone, which tools started at the same instant share.
bool mouthToEarSession(int staggerMs, std::vector<double>* delays, std::size_t* clicksSent) {
  SessionHost a("alice"), b("bob");
  if (!formSession({&a, &b})) return false;
  auto dir = freshDirectory("delay-bench");
  // A click every 700 ms: far apart enough to pair without doubt.
  const std::size_t period = 5600, clickCount = 12;
  std::vector<std::int16_t> clicks(period * (clickCount + 1), 0);
  for (std::size_t k = 1; k <= clickCount; ++k)
    for (std::size_t i = 0; i < 40; ++i)
      clicks[k * period + i] = static_cast<std::int16_t>(20000 * std::sin(double(i) * 0.8));
  std::string error;
  sound::writeSoundFile((dir / "a-mic.wav").string(), clicks, &error);
  sound::writeSoundFile((dir / "b-mic.wav").string(), std::vector<std::int16_t>(8000, 0), &error);
  double aStart, bStart;
  {
    AudioTool ta(a.address, dir / "a-mic.wav", dir / "a-out.wav");
    clock::sleepMs(staggerMs);
    AudioTool tb(b.address, dir / "b-mic.wav", dir / "b-out.wav");
    clock::sleepMs(static_cast<int>(clicks.size() / 8) + 1000);
    aStart = ta.startOf("input");
    bStart = tb.startOf("output");
    ta.quit();
    tb.quit();
  }
  std::vector<std::int16_t> heard;
  if (!sound::readSoundFile((dir / "b-out.wav").string(), &heard, &error) || aStart < 0 ||
      bStart < 0) {
    std::fprintf(stderr, "delay: no timelines (%s)\n", error.c_str());
    return false;
  }
  auto sent = onsets(clicks, 5000, 2000);
  auto got = onsets(heard, 3000, 2000);
  *clicksSent += sent.size();
  for (std::size_t k : sent) {
    double spoken = aStart / 1000 + double(k) / 8;  // ms, monotonic
    for (std::size_t g : got) {
      double d = bStart / 1000 + double(g) / 8 - spoken;
      if (d > 0 && d < 650) {
        delays->push_back(d);
        break;
      }
    }
  }
  return true;
}

// Sessions with bob's tool started at different phases, as people start their tools at any
// time; the staggers are seeded and the seed printed.
int mouthToEarBench() {
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> stagger(0, 99);
  std::vector<double> delays;
  std::size_t sent = 0;
  const int sessions = 4;
  for (int i = 0; i < sessions; ++i)
    if (!mouthToEarSession(stagger(random), &delays, &sent)) return 1;
  if (delays.size() < sent * 8 / 10) {
    std::fprintf(stderr, "delay: only %zu of %zu clicks found again (seed %u)\n", delays.size(),
                 sent, seed);
    return 1;
  }
  printDelays("mouth-to-ear delay", delays, sent);
  return 0;
}

int delayBench() {
  int failed = arrivalBench();
  return mouthToEarBench() | failed;
}

int cpuBench() {
  SessionHost a("alice"), b("bob"), c("carol");
  if (!formSession({&a, &b, &c})) return 1;
  auto dir = freshDirectory("cpu-bench");
  std::string error;
  std::vector<std::int16_t> voice(8000 * 12);
  for (std::size_t i = 0; i < voice.size(); ++i)
    voice[i] = static_cast<std::int16_t>(8000 * std::sin(0.2 * double(i)) * (i % 8000 < 5000));
  sound::writeSoundFile((dir / "mic.wav").string(), voice, &error);
  for (const char* codec : {"ADPCM", "GSM", "PCM"}) {
    std::vector<std::unique_ptr<AudioTool>> tools;
    int n = 0;
    for (auto* h : {&a, &b, &c})
      tools.push_back(std::make_unique<AudioTool>(h->address, dir / "mic.wav",
                                                  dir / ("out" + std::to_string(n++) + ".wav")));
    clock::sleepMs(1000);
    for (auto& t : tools) t->process.writeLine(std::string("click ") + codec);
    std::vector<double> before;
    for (auto& t : tools) before.push_back(t->cpuSeconds());
    const int seconds = 5;
    clock::sleepMs(seconds * 1000);
    std::printf("%-5s CPU per audio tool (share of one core):", codec);
    for (std::size_t i = 0; i < tools.size(); ++i)
      std::printf(" %5.1f%%", 100 * (tools[i]->cpuSeconds() - before[i]) / seconds);
    std::printf("\n");
    for (auto& t : tools) t->quit();
  }
  return 0;
}

// The tone at hz fitted to each block of s (least squares, amplitude and phase) against the
// rest, in dB.
double toneSnr(const std::vector<std::int16_t>& s, double hz) {
  double signal = 0, noise = 0;
  for (std::size_t b = 0; b + 800 <= s.size(); b += 800) {
    double sc = 0, cc = 0, ss = 0, ys = 0, yc = 0;
    for (std::size_t i = b; i < b + 800; ++i) {
      double a = 2 * M_PI * hz * double(i) / 8000, si = std::sin(a), co = std::cos(a);
      ss += si * si, cc += co * co, sc += si * co, ys += s[i] * si, yc += s[i] * co;
    }
    double det = ss * cc - sc * sc;
    double p = (ys * cc - yc * sc) / det, q = (yc * ss - ys * sc) / det;
    for (std::size_t i = b; i < b + 800; ++i) {
      double a = 2 * M_PI * hz * double(i) / 8000;
      double fit = p * std::sin(a) + q * std::cos(a);
      signal += fit * fit;
      noise += (s[i] - fit) * (s[i] - fit);
    }
  }
  return 10 * std::log10(signal / std::max(noise, 1.0));
}

int snrBench() {
  SessionHost a("alice"), b("bob");
  if (!formSession({&a, &b})) return 1;
  auto dir = freshDirectory("snr-bench");
  std::string error;
  std::vector<std::int16_t> tone(8000 * 6);
  for (std::size_t i = 0; i < tone.size(); ++i)
    tone[i] = static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * 440 * double(i) / 8000));
  sound::writeSoundFile((dir / "a-mic.wav").string(), tone, &error);
  sound::writeSoundFile((dir / "b-mic.wav").string(), std::vector<std::int16_t>(800, 0), &error);
  for (const char* codec : {"ADPCM", "GSM", "PCM"}) {
    auto heardPath = dir / (std::string(codec) + "-b-out.wav");
    {
      AudioTool ta(a.address, dir / "a-mic.wav", dir / "a-out.wav");
      AudioTool tb(b.address, dir / "b-mic.wav", heardPath);
      ta.process.writeLine(std::string("click ") + codec);
      clock::sleepMs(5000);
      ta.quit();
      tb.quit();
    }
    std::vector<std::int16_t> heard;
    sound::readSoundFile(heardPath.string(), &heard, &error);
    auto first =
        std::find_if(heard.begin(), heard.end(), [](std::int16_t v) { return std::abs(v) > 1000; });
    std::size_t start = static_cast<std::size_t>(first - heard.begin()) + 8000;
    if (start + 16000 > heard.size()) {
      std::printf("%-5s too little was heard\n", codec);
      continue;
    }
    std::vector<std::int16_t> middle(heard.begin() + static_cast<long>(start),
                                     heard.begin() + static_cast<long>(start + 16000));
    std::printf("%-5s tone carried with a signal-to-noise ratio of %.1f dB\n", codec,
                toneSnr(middle, 440));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string what = argc > 1 ? argv[1] : "delay";
  if (what == "delay") return delayBench();
  if (what == "cpu") return cpuBench();
  if (what == "snr") return snrBench();
  std::fprintf(stderr, "usage: %s delay|cpu|snr\n", argv[0]);
  return 2;
}
