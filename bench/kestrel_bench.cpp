// Whole sessions of the integrated client on loopback hosts, with sound-file devices:
//   delay  mouth-to-ear delay, kestrel to kestrel and both ways between kestrel and an engine
//          host's audio tool: clicks in one microphone file found again in the other's
//          loudspeaker file, on the files' own timelines;
//   cpu    the share of one core each kestrel uses in a three-host conversation, per codec;
//   chat   how long a chat line takes from one kestrel's Send to the other's chat.log.
// Usage: kestrel_bench [delay|cpu|chat|all]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "kestrel/settings.h"
#include "platform/audio.h"
#include "platform/clock.h"
#include "tests/driver/kestrel.h"

using namespace zep;
using namespace zep::testing;

namespace {

constexpr std::size_t kClickPeriod = 16000;  // 2 s: longer than any delay, so pairs are sure
constexpr int kClicks = 10;

// Bursts of 400 ms: a receiver that primes with two blocks before it plays needs a spurt of
// at least that much (an isolated 100 ms block waits for the next spurt).
std::vector<std::int16_t> clicks() {
  std::vector<std::int16_t> v(kClickPeriod * (kClicks + 1), 0);
  for (std::size_t k = 1; k <= kClicks; ++k)
    for (std::size_t i = 0; i < 3200; ++i)
      v[k * kClickPeriod + i] = static_cast<std::int16_t>(20000 * std::sin(double(i) * 0.8));
  return v;
}

std::vector<std::size_t> onsets(const std::vector<std::int16_t>& s, int threshold) {
  std::vector<std::size_t> found;
  for (std::size_t i = 0; i < s.size(); ++i)
    if (std::abs(s[i]) > threshold && (found.empty() || i - found.back() > 2000))
      found.push_back(i);
  return found;
}

// A headless kestrel on a host of its own, its timelines traced, talking in a codec.
std::unique_ptr<KestrelProcess> client(const std::string& name, net::Ipv4 at,
                                       std::vector<std::int16_t> microphone, int codec = 14) {
  KestrelStart s;
  s.address = at;
  s.user = name;
  s.microphone = std::move(microphone);
  s.settings = [codec](kestrel::KestrelSettings& k) { k.audioCompression = codec; };
  s.environment = {{"ZEP_TRACE", "1"}, {"ZEP_CAMERA", "none"}};
  return std::make_unique<KestrelProcess>(s);
}

// An engine host's audio tool, its timelines traced.
std::unique_ptr<AudioToolProcess> tool(net::Ipv4 at, const std::filesystem::path& mic,
                                       const std::filesystem::path& speaker) {
  AudioToolOptions o(mic, speaker);
  o.environment = {{"ZEP_TRACE", "1"}};
  return std::make_unique<AudioToolProcess>(at, o);
}

void quit(KestrelProcess& k) {
  k.command("click File/Exit");
  k.process_.waitForExit(8000);
  k.process_.terminate();
}

void quit(AudioToolProcess& t) {
  t.command("click Control/Exit");
  t.process().waitForExit(8000);
  t.process().terminate();
}

// Where a program's sound timelines start, from its trace.
struct Timelines {
  std::string trace;
  std::filesystem::path speaker;
};
Timelines of(const KestrelProcess& k) {
  return {LogFile(k.dir / "errors.txt").text(), k.dir / "loudspeaker.wav"};
}

void report(const char* what, std::vector<double> d) {
  if (d.size() < kClicks / 2) {
    std::printf("%-28s only %zu of %d clicks found again\n", what, d.size(), kClicks);
    return;
  }
  std::sort(d.begin(), d.end());
  std::printf("%-28s median %4.0f ms, 95th percentile %4.0f ms (%zu clicks)\n", what,
              d[d.size() / 2], d[d.size() * 95 / 100], d.size());
}

std::vector<double> delays(const Timelines& talker, const Timelines& listener,
                           const std::vector<std::int16_t>& sent) {
  std::vector<std::int16_t> heard;
  std::string error;
  sound::readSoundFile(listener.speaker.string(), &heard, &error);
  double spokeAt = soundTimelineStart(talker.trace, "input") / 1000,
         heardAt = soundTimelineStart(listener.trace, "output") / 1000;
  std::vector<double> d;
  if (spokeAt < 0 || heardAt < 0) return d;
  auto got = onsets(heard, 3000);
  for (std::size_t k : onsets(sent, 5000))
    for (std::size_t g : got) {
      double ms = heardAt + double(g) / 8 - (spokeAt + double(k) / 8);
      if (ms > 0 && ms < 1900) {
        d.push_back(ms);
        break;
      }
    }
  return d;
}

void call(KestrelProcess& from, const KestrelProcess& to) {
  from.command("click Call");
  from.command("type User = " + to.user + "@" + dotted(to.address));
  from.command("click Call");
}

void delayBench() {
  auto dir = freshDirectory("kbench-delay");
  auto sent = clicks();
  std::string error;
  sound::writeSoundFile((dir / "clicks.wav").string(), sent, &error);
  sound::writeSoundFile((dir / "quiet.wav").string(), std::vector<std::int16_t>(8000, 0), &error);
  const int ms = static_cast<int>(sent.size() / 8) + 2000;
  const std::vector<std::int16_t> quiet(8000, 0);
  {
    auto a = client("kay", freshAddress(), sent), b = client("lou", freshAddress(), quiet);
    a->out.waitFor("ready to use");
    b->out.waitFor("ready to use");
    call(*a, *b);
    clock::sleepMs(ms);
    quit(*a);
    quit(*b);
    report("kestrel to kestrel:", delays(of(*a), of(*b), sent));
  }
  for (bool clientTalks : {true, false}) {
    SessionHost engine("tool");
    auto kAt = freshAddress();
    auto k = client("kay", kAt, clientTalks ? sent : quiet);
    k->out.waitFor("ready to use");
    auto speaker = dir / (clientTalks ? "tool-heard-kay.wav" : "tool-speaker.wav");
    auto t = tool(engine.address, dir / (clientTalks ? "quiet.wav" : "clicks.wav"), speaker);
    t->out.waitFor("Audio Tool: opened");
    engine.manager.send(engine::LOCAL_CREATE);
    engine.manager.send(engine::LOCAL_ADD_MEMBER, engine::encodeMemberRecord(recordOf("kay", kAt)));
    clock::sleepMs(ms);
    quit(*k);
    quit(*t);
    Timelines toolLines{t->err.text(), speaker};
    if (clientTalks)
      report("kestrel to audio tool:", delays(of(*k), toolLines, sent));
    else
      report("audio tool to kestrel:", delays(toolLines, of(*k), sent));
  }
}

void cpuBench() {
  std::vector<std::int16_t> voice(8000 * 14);
  for (std::size_t i = 0; i < voice.size(); ++i)
    voice[i] = static_cast<std::int16_t>(8000 * std::sin(0.2 * double(i)) * (i % 8000 < 5000));
  for (int codec : {13, 14, 15}) {
    std::vector<std::unique_ptr<KestrelProcess>> p;
    for (int i = 0; i < 3; ++i)
      p.push_back(client("k" + std::to_string(i), freshAddress(), voice, codec));
    for (auto& q : p) q->out.waitFor("ready to use");
    for (std::size_t i = 1; i < 3; ++i) {
      call(*p[0], *p[i]);
      p[0]->out.waitForCount("Participants + ", static_cast<int>(i) + 1);
    }
    clock::sleepMs(2000);
    std::vector<double> before;
    for (auto& q : p) before.push_back(processorSeconds(q->process_.pid()));
    clock::sleepMs(5000);
    std::printf("cpu, %s:", codec == 13 ? "ADPCM" : codec == 14 ? "GSM" : "PCM");
    for (std::size_t i = 0; i < p.size(); ++i)
      std::printf(" %.1f%%", 100 * (processorSeconds(p[i]->process_.pid()) - before[i]) / 5);
    std::printf(" of a core per kestrel\n");
    for (auto& q : p) quit(*q);
  }
}

void chatBench() {
  const std::vector<std::int16_t> quiet(8000, 0);
  auto a = client("kay", freshAddress(), quiet), b = client("lou", freshAddress(), quiet);
  a->out.waitFor("ready to use");
  b->out.waitFor("ready to use");
  call(*a, *b);
  b->out.waitFor("Participants + kay@");
  a->command("click Tools/Text Chat");
  std::vector<double> ms;
  LogFile chat(b->dir / "chat.log");
  for (int i = 0; i < 20; ++i) {
    std::string line = "line " + std::to_string(i);
    a->command("type Message = " + line);
    auto t0 = std::chrono::steady_clock::now();
    a->command("click Send");
    if (!waitUntil([&] { return chat.contains(line + "\r\n"); }, 3000)) continue;
    ms.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  a->command("click Close");
  quit(*a);
  quit(*b);
  std::sort(ms.begin(), ms.end());
  if (ms.empty()) return;
  std::printf(
      "chat line Send to the other's chat.log: median %.1f ms, worst %.1f ms (%zu lines; "
      "includes the typed line's way through the headless front end)\n",
      ms[ms.size() / 2], ms.back(), ms.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "all";
  if (mode == "delay" || mode == "all") delayBench();
  if (mode == "cpu" || mode == "all") cpuBench();
  if (mode == "chat" || mode == "all") chatBench();
  return 0;
}
