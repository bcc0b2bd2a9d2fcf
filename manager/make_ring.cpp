// Makes RINGIN.WAV: two short bursts of a two-tone ring, 8000 Hz mono.
#include <cmath>
#include <cstdio>
#include <vector>

#include "platform/audio.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::vector<std::int16_t> samples;
  const double pi = std::acos(-1.0);
  for (int burst = 0; burst < 2; ++burst) {
    for (int i = 0; i < 3200; ++i) {  // 400 ms of 440 Hz + 480 Hz
      double t = i / 8000.0;
      double fade = std::min(1.0, std::min(i, 3200 - i) / 160.0);
      samples.push_back(static_cast<std::int16_t>(
          fade * 6000 * (std::sin(2 * pi * 440 * t) + std::sin(2 * pi * 480 * t))));
    }
    samples.insert(samples.end(), 1600, 0);  // 200 ms pause
  }
  std::string error;
  if (!zep::sound::writeSoundFile(argv[1], samples, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  return 0;
}
