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
#include "tests/driver/driver.h"

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

// A headless kestrel or zepaudio on a host of its own, its timelines traced.
struct Program {
  Program(const std::string& name, net::Ipv4 at, const std::filesystem::path& mic, int codec = 14)
      : dir(freshDirectory("kbench-" + name)) {
    err = LogFile(dir / "err.txt");
    out = LogFile(dir / "out.txt");
    process::StartOptions o;
    o.stdoutPath = out.path();
    o.stderrPath = err.path();
    o.pipeStdin = true;
    o.args = {"--headless"};
    o.workingDirectory = dir;
    o.environment = {{"ZEP_HOST", dotted(at)},
                     {"ZEP_USER", name},
                     {"ZEP_TRACE", "1"},
                     {"ZEP_AUDIO_IN", "file:" + mic.string()},
                     {"ZEP_AUDIO_OUT", "file:" + (dir / "out.wav").string()}};
    kestrel::KestrelSettings s;
    s.audioCompression = codec;
    s.name = name;  // no personal information form
    s.email = name + "@example.org";
    kestrel::writeSettingsFile((dir / "Kestrel.cfg").string(), s);
    o.environment.emplace_back("ZEP_KESTREL_CFG", (dir / "Kestrel.cfg").string());
    std::string why;
    bool tool = name == "tool";
    process = process::start((installTree() / (tool ? "zepaudio" : "kestrel")).string(), o, &why);
    exitLine = tool ? "click Control/Exit" : "click File/Exit";
  }
  void quit() {
    process.writeLine(exitLine);
    process.waitForExit(8000);
    process.terminate();
  }
  double startOf(const std::string& direction) { return soundTimelineStart(err.text(), direction); }
  std::filesystem::path dir;
  LogFile err, out;
  process::Process process;
  std::string exitLine;
};

void report(const char* what, std::vector<double> d) {
  if (d.size() < kClicks / 2) {
    std::printf("%-28s only %zu of %d clicks found again\n", what, d.size(), kClicks);
    return;
  }
  std::sort(d.begin(), d.end());
  std::printf("%-28s median %4.0f ms, 95th percentile %4.0f ms (%zu clicks)\n", what,
              d[d.size() / 2], d[d.size() * 95 / 100], d.size());
}

std::vector<double> delays(Program& talker, Program& listener,
                           const std::vector<std::int16_t>& sent) {
  std::vector<std::int16_t> heard;
  std::string error;
  sound::readSoundFile((listener.dir / "out.wav").string(), &heard, &error);
  double spokeAt = talker.startOf("input") / 1000, heardAt = listener.startOf("output") / 1000;
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

void delayBench() {
  auto dir = freshDirectory("kbench-delay");
  auto sent = clicks();
  std::string error;
  sound::writeSoundFile((dir / "clicks.wav").string(), sent, &error);
  sound::writeSoundFile((dir / "quiet.wav").string(), std::vector<std::int16_t>(8000, 0), &error);
  const int ms = static_cast<int>(sent.size() / 8) + 2000;
  {
    auto aAt = freshAddress(), bAt = freshAddress();
    Program a("kay", aAt, dir / "clicks.wav"), b("lou", bAt, dir / "quiet.wav");
    a.out.waitFor("ready to use");
    b.out.waitFor("ready to use");
    a.process.writeLine("click Call");
    a.process.writeLine("type User = lou@" + dotted(bAt));
    a.process.writeLine("click Call");
    clock::sleepMs(ms);
    a.quit();
    b.quit();
    report("kestrel to kestrel:", delays(a, b, sent));
  }
  for (bool clientTalks : {true, false}) {
    SessionHost engine("tool");
    auto kAt = freshAddress();
    Program k("kay", kAt, dir / (clientTalks ? "clicks.wav" : "quiet.wav"));
    k.out.waitFor("ready to use");
    Program t("tool", engine.address, dir / (clientTalks ? "quiet.wav" : "clicks.wav"));
    t.out.waitFor("Audio Tool: opened");
    engine.manager.send(engine::LOCAL_CREATE);
    engine.manager.send(engine::LOCAL_ADD_MEMBER, engine::encodeMemberRecord(recordOf("kay", kAt)));
    clock::sleepMs(ms);
    k.quit();
    t.quit();
    if (clientTalks)
      report("kestrel to audio tool:", delays(k, t, sent));
    else
      report("audio tool to kestrel:", delays(t, k, sent));
  }
}

void cpuBench() {
  auto dir = freshDirectory("kbench-cpu");
  std::string error;
  std::vector<std::int16_t> voice(8000 * 14);
  for (std::size_t i = 0; i < voice.size(); ++i)
    voice[i] = static_cast<std::int16_t>(8000 * std::sin(0.2 * double(i)) * (i % 8000 < 5000));
  sound::writeSoundFile((dir / "voice.wav").string(), voice, &error);
  for (int codec : {13, 14, 15}) {
    std::vector<net::Ipv4> at = {freshAddress(), freshAddress(), freshAddress()};
    std::vector<std::unique_ptr<Program>> p;
    for (int i = 0; i < 3; ++i)
      p.push_back(
          std::make_unique<Program>("k" + std::to_string(i), at[i], dir / "voice.wav", codec));
    for (auto& q : p) q->out.waitFor("ready to use");
    for (int i = 1; i < 3; ++i) {
      p[0]->process.writeLine("click Call");
      p[0]->process.writeLine("type User = k" + std::to_string(i) + "@" + dotted(at[i]));
      p[0]->process.writeLine("click Call");
      p[0]->out.waitForCount("Participants + ", i + 1);
    }
    clock::sleepMs(2000);
    std::vector<double> before;
    for (auto& q : p) before.push_back(processorSeconds(q->process.pid()));
    clock::sleepMs(5000);
    std::printf("cpu, %s:", codec == 13 ? "ADPCM" : codec == 14 ? "GSM" : "PCM");
    for (std::size_t i = 0; i < p.size(); ++i)
      std::printf(" %.1f%%", 100 * (processorSeconds(p[i]->process.pid()) - before[i]) / 5);
    std::printf(" of a core per kestrel\n");
    for (auto& q : p) q->quit();
  }
}

void chatBench() {
  auto dir = freshDirectory("kbench-chat");
  std::string error;
  sound::writeSoundFile((dir / "quiet.wav").string(), std::vector<std::int16_t>(8000, 0), &error);
  auto aAt = freshAddress(), bAt = freshAddress();
  Program a("kay", aAt, dir / "quiet.wav"), b("lou", bAt, dir / "quiet.wav");
  a.out.waitFor("ready to use");
  b.out.waitFor("ready to use");
  a.process.writeLine("click Call");
  a.process.writeLine("type User = lou@" + dotted(bAt));
  a.process.writeLine("click Call");
  b.out.waitFor("Participants + kay@");
  a.process.writeLine("click Tools/Text Chat");
  std::vector<double> ms;
  LogFile chat(b.dir / "chat.log");
  for (int i = 0; i < 20; ++i) {
    std::string line = "line " + std::to_string(i);
    a.process.writeLine("type Message = " + line);
    auto t0 = std::chrono::steady_clock::now();
    a.process.writeLine("click Send");
    if (!waitUntil([&] { return chat.contains(line + "\r\n"); }, 3000)) continue;
    ms.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  a.process.writeLine("click Close");
  a.quit();
  b.quit();
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
