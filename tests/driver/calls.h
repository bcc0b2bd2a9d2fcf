// Calls measured from outside: voices that are easy to find again in a loudspeaker file, the
// mouth-to-ear delay between a microphone file and a loudspeaker file, and a call between hosts
// of their own whose first host sits behind a shaped link.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zep::testing {

// A steady tone, after silentSeconds of silence.
std::vector<std::int16_t> tone(double hz, double seconds, double silentSeconds = 0);
// Bursts of a tone, half a second on and a quarter off.
std::vector<std::int16_t> toneBursts(double hz, double seconds);
// Where a tone's bursts begin, in ms from the start: 10 ms frames whose energy at hz rises
// above a tenth of the loudest after at least 100 ms below it.
std::vector<double> burstOnsetsMs(const std::vector<std::int16_t>& samples, double hz);
// Each burst spoken (file timeline starting at spokenStartMs, monotonic) matched to the first
// onset heard after it within 700 ms (heard timeline starting at heardStartMs); sorted.
// The share of the spoken file's loud 100 ms blocks inside a burst (as a capture device cuts
// them from the file's start) that are loud in the heard file delayMs later.
double heardBlockShare(const std::vector<std::int16_t>& spoken, double spokenStartMs,
                       const std::vector<std::int16_t>& heard, double heardStartMs, double hz,
                       double delayMs);
std::vector<double> burstDelaysMs(const std::vector<std::int16_t>& spoken, double spokenStartMs,
                                  const std::vector<std::int16_t>& heard, double heardStartMs,
                                  double hz);

struct ShapedCall {
  int hosts = 2;         // each in a network namespace of its own, on one bridge
  double kbitPerSecond;  // host 0's link, each way; 0: unshaped
  std::string codec;     // "ADPCM", "GSM" or "PCM", chosen in every audio tool
  double seconds = 6;    // how long everyone talks
};

struct ShapedCallResult {
  bool ran = false;           // the lab was made and the session formed
  std::string problem;        // when not
  bool stayedFormed = false;  // no member left any manager's list during the call
  long packetsSent = 0;       // host 0's link, outward: what passed
  long packetsDropped = 0;    //   and what the token bucket dropped
  double heardShare = 0;      // host 1: share of host 0's bursts heard
  double blockShare = 0;      // host 1: share of host 0's loud 100 ms blocks heard
  double medianDelayMs = -1;  // host 0's microphone to host 1's loudspeaker
  double p95DelayMs = -1;
};

// Managers in every host form a session (host 0 invites the others from Add Users), host 0's
// link is shaped, an audio tool on every host talks in the codec for a while, then everything
// ends. Needs network namespaces (NetworkLab::permitted).
ShapedCallResult runShapedCall(const ShapedCall& call);

}  // namespace zep::testing
