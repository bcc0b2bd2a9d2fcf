#include "tests/driver/calls.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "platform/audio.h"
#include "platform/clock.h"
#include "tests/driver/driver.h"
#include "tests/driver/netns.h"

namespace zep::testing {

std::vector<std::int16_t> tone(double hz, double seconds, double silentSeconds) {
  std::vector<std::int16_t> v(static_cast<std::size_t>(8000 * seconds));
  for (std::size_t i = static_cast<std::size_t>(8000 * silentSeconds); i < v.size(); ++i)
    v[i] =
        static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * hz * static_cast<double>(i) / 8000));
  return v;
}

std::vector<std::int16_t> toneBursts(double hz, double seconds) {
  std::vector<std::int16_t> v(static_cast<std::size_t>(8000 * seconds));
  for (std::size_t i = 0; i < v.size(); ++i) {
    bool on = (i % 6000) < 4000;
    v[i] = on ? static_cast<std::int16_t>(9000 *
                                          std::sin(2 * M_PI * hz * static_cast<double>(i) / 8000))
              : 0;
  }
  return v;
}

std::vector<double> burstOnsetsMs(const std::vector<std::int16_t>& s, double hz) {
  const std::size_t frame = 80;
  std::vector<double> energy;
  for (std::size_t b = 0; b + frame <= s.size(); b += frame)
    energy.push_back(
        sound::toneEnergy(std::vector<std::int16_t>(s.begin() + static_cast<long>(b),
                                                    s.begin() + static_cast<long>(b + frame)),
                          hz));
  double peak = energy.empty() ? 0 : *std::max_element(energy.begin(), energy.end());
  std::vector<double> onsets;
  int quiet = 10;
  for (std::size_t i = 0; i < energy.size(); ++i) {
    if (energy[i] > peak / 10) {
      if (quiet >= 10) onsets.push_back(static_cast<double>(i) * 10);
      quiet = 0;
    } else {
      ++quiet;
    }
  }
  return onsets;
}

std::vector<double> burstDelaysMs(const std::vector<std::int16_t>& spoken, double spokenStartMs,
                                  const std::vector<std::int16_t>& heard, double heardStartMs,
                                  double hz) {
  std::vector<double> delays;
  auto heardOnsets = burstOnsetsMs(heard, hz);
  for (double s : burstOnsetsMs(spoken, hz)) {
    for (double h : heardOnsets) {
      double d = (heardStartMs + h) - (spokenStartMs + s);
      if (d > 0 && d < 700) {
        delays.push_back(d);
        break;
      }
    }
  }
  std::sort(delays.begin(), delays.end());
  return delays;
}

double heardBlockShare(const std::vector<std::int16_t>& spoken, double spokenStartMs,
                       const std::vector<std::int16_t>& heard, double heardStartMs, double hz,
                       double delayMs) {
  const std::size_t block = 800;
  auto energyAt = [&](const std::vector<std::int16_t>& s, long from) {
    if (from < 0 || static_cast<std::size_t>(from) + block > s.size()) return -1.0;
    return sound::toneEnergy(std::vector<std::int16_t>(s.begin() + from, s.begin() + from + block),
                             hz);
  };
  double peak = 0;
  for (std::size_t b = 0; b + block <= spoken.size(); b += block)
    peak = std::max(peak, energyAt(spoken, static_cast<long>(b)));
  int loud = 0, heardLoud = 0;
  for (std::size_t b = block; b + 2 * block <= spoken.size(); b += block) {
    // Only blocks inside a burst: a block at its edge is half silence, and where it lands
    // depends on the delay to within a few ms.
    bool inside = true;
    for (std::size_t n : {b - block, b, b + block})
      if (energyAt(spoken, static_cast<long>(n)) < peak / 2) inside = false;
    if (!inside) continue;
    // Where this block plays: its start in the heard file's samples.
    double ms = spokenStartMs + static_cast<double>(b) / 8 + delayMs - heardStartMs;
    // The heard file's first second is left out: the decoders and rings settle there.
    double e = ms < 1000 ? -1 : energyAt(heard, static_cast<long>(ms * 8));
    if (e < 0) continue;  // before or after what is judged
    ++loud;
    if (e > peak / 20) ++heardLoud;
  }
  return loud > 0 ? static_cast<double>(heardLoud) / loud : 0;
}

namespace {

const char* const kUsers[] = {"alice", "bob", "carol", "dave", "erin"};
const double kVoices[] = {440, 1000, 1500, 700, 1250};

}  // namespace

ShapedCallResult runShapedCall(const ShapedCall& call) {
  ShapedCallResult result;
  const int n = std::clamp(call.hosts, 2, 5);
  NetworkLab lab(n);
  if (!lab.ready()) {
    result.problem = lab.problem();
    return result;
  }
  auto dir = freshDirectory("shaped-call");
  std::vector<std::unique_ptr<ManagerProcess>> managers;
  for (int i = 0; i < n; ++i)
    managers.push_back(std::make_unique<ManagerProcess>(
        lab.address(i), kUsers[i],
        std::vector<std::pair<std::string, std::string>>{{"ZEP_RING_OUT", "none"}},
        lab.launcher(i)));
  for (auto& m : managers)
    if (!m->out.waitFor("Status = Conferencing panel ready to use", 15000)) {
      result.problem = m->user + "'s manager did not start";
      return result;
    }
  auto& host0 = *managers[0];
  host0.command("click Add");
  for (int i = 1; i < n; ++i) {
    host0.command("type User = " + std::string(kUsers[i]) + "@" + dotted(lab.address(i)));
    host0.command("click Add ->");
  }
  host0.command("click OK");
  for (int i = 1; i < n; ++i) {
    if (!managers[i]->out.waitFor("RECEIVED INVITATION", 10000)) {
      result.problem = managers[i]->user + " was not invited";
      return result;
    }
    managers[i]->command("click Accept");
  }
  for (auto& m : managers)
    if (!m->out.waitForCount("Members + ", n, 10000)) {
      result.problem = m->user + " does not list every member";
      return result;
    }
  std::string why;
  if (call.kbitPerSecond > 0 && !lab.shape(0, call.kbitPerSecond, 200, &why)) {
    result.problem = why;
    return result;
  }
  result.ran = true;

  double spokenStart = -1, heardStart = -1;
  {
    std::vector<std::unique_ptr<AudioToolProcess>> tools;
    for (int i = 0; i < n; ++i) {
      std::string user = kUsers[i];
      std::string error;
      sound::writeSoundFile((dir / (user + "-mic.wav")).string(),
                            toneBursts(kVoices[i], call.seconds + 5), &error);
      AudioToolOptions o(dir / (user + "-mic.wav"), dir / (user + "-speaker.wav"));
      o.environment = {{"ZEP_TRACE", "1"}};
      o.launcher = lab.launcher(i);
      tools.push_back(std::make_unique<AudioToolProcess>(lab.address(i), o));
    }
    for (auto& t : tools) {
      t->out.waitFor("Audio Tool: opened", 10000);
      t->command("click " + call.codec);
    }
    clock::sleepMs(static_cast<int>(call.seconds * 1000));
    lab.outwardStatistics(0, &result.packetsSent, &result.packetsDropped);
    spokenStart = soundTimelineStart(tools[0]->err.text(), "input") / 1000;
    heardStart = soundTimelineStart(tools[1]->err.text(), "output") / 1000;
  }
  result.stayedFormed = true;
  for (auto& m : managers)
    if (m->out.contains("Members - ")) result.stayedFormed = false;

  std::vector<std::int16_t> spoken, heard;
  std::string error;
  sound::readSoundFile((dir / "alice-mic.wav").string(), &spoken, &error);
  sound::readSoundFile((dir / "bob-speaker.wav").string(), &heard, &error);
  if (spokenStart < 0 || heardStart < 0) {
    result.problem = "the sound files did not trace their timelines";
    return result;
  }
  // The bursts alice spoke while bob's loudspeaker ran (less the last 700 ms).
  const double heardEnd = heardStart + static_cast<double>(heard.size()) / 8;
  int due = 0;
  for (double s : burstOnsetsMs(spoken, kVoices[0]))
    if (spokenStart + s >= heardStart && spokenStart + s + 700 <= heardEnd) ++due;
  auto delays = burstDelaysMs(spoken, spokenStart, heard, heardStart, kVoices[0]);
  result.heardShare = due > 0 ? std::min(1.0, static_cast<double>(delays.size()) / due) : 0;
  if (!delays.empty()) {
    result.medianDelayMs = delays[delays.size() / 2];
    result.p95DelayMs = delays[std::min(delays.size() - 1, delays.size() * 95 / 100)];
    result.blockShare =
        heardBlockShare(spoken, spokenStart, heard, heardStart, kVoices[0], result.medianDelayMs);
  }
  return result;
}

}  // namespace zep::testing
