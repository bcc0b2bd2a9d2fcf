// The video tool of the installation tree on loopback hosts, and what its display files show:
// each window's pictures matched against the sender's own Mirror pictures.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/driver/driver.h"

namespace zep::testing {

// A headless zepvideo on host `address`, its camera a pattern with `user` drawn on it, its
// displays written to display/ under its own folder; typed commands through command().
class VideoToolProcess {
 public:
  VideoToolProcess(net::Ipv4 address, const std::string& user,
                   std::vector<std::pair<std::string, std::string>> extraEnvironment = {});
  ~VideoToolProcess();
  VideoToolProcess(const VideoToolProcess&) = delete;
  VideoToolProcess& operator=(const VideoToolProcess&) = delete;
  bool command(const std::string& line) { return process_.writeLine(line); }
  process::Process& process() { return process_; }
  std::filesystem::path displays;  // slot-NN.y4m and slot-NN.times
  LogFile out;
  LogFile err;

 private:
  process::Process process_;
};

// One display file: its pictures (176 x 144 4:2:0) and when each was painted (monotonic µs).
struct DisplayRecord {
  std::vector<std::vector<std::uint8_t>> pictures;
  std::vector<double> paintedMicros;
};
DisplayRecord readDisplay(const std::filesystem::path& displays, int slot);
// True once a window has shown at least n pictures.
bool waitForPictures(const std::filesystem::path& displays, int slot, std::size_t n,
                     int timeoutMs = 15000);

// How well a window showed a sender: each received picture matched to the most alike of the
// sender's Mirror pictures.
struct SeenPictures {
  std::size_t pictures = 0;
  double medianPsnr = 0;  // luminance, dB
  double framesPerSecond = 0;
  double medianDelayMs = -1;  // Mirror paint to window paint of the matched picture
  double p95DelayMs = -1;
};
SeenPictures compareWithMirror(const DisplayRecord& window, const DisplayRecord& mirror);

}  // namespace zep::testing
