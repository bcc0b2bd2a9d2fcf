// Whole video sessions between two loopback hosts, one preset at a time: alice's camera (the
// test pattern, or a natural-looking moving picture from a Y4M file) goes to bob, and after
// the first re-tune the bench measures for five seconds:
//   - frames and bytes per second as alice's Statistics dialog counts them, and the bit rate
//     on the wire with every datagram's overhead (coded-frame payload, media header, UDP, IP);
//   - whether that plus GSM audio fits a 28.8 kbit/s modem;
//   - the capture-to-paint delay (alice's Mirror to bob's window, median and 95th percentile);
//   - the processor share of each video tool.
// Usage: video_session_bench [pattern|natural|both]
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "tests/driver/video.h"

using namespace zep;
using namespace zep::testing;

namespace {

// A smooth texture that pans, with a moving bright blob: about what a camera sees.
std::filesystem::path naturalClip() {
  auto path = freshDirectory("natural") / "natural.y4m";
  const int w = 320, h = 240, frames = 150;
  std::ofstream out(path, std::ios::binary);
  out << "YUV4MPEG2 W" << w << " H" << h << " F30:1 Ip A1:1 C420jpeg\n";
  std::mt19937 random(11);
  std::vector<float> noise(static_cast<std::size_t>(2 * w) * h);
  for (auto& v : noise) v = static_cast<float>(random() % 64);
  // Blur the noise so it looks like surfaces rather than static.
  for (int pass = 0; pass < 3; ++pass)
    for (std::size_t i = 1; i + 1 < noise.size(); ++i)
      noise[i] = (noise[i - 1] + 2 * noise[i] + noise[i + 1]) / 4;
  std::vector<std::uint8_t> y(static_cast<std::size_t>(w) * h),
      c(static_cast<std::size_t>(w / 2) * (h / 2));
  for (int n = 0; n < frames; ++n) {
    out << "FRAME\n";
    double bx = 160 + 100 * std::sin(n * 0.05), by = 120 + 60 * std::cos(n * 0.07);
    for (int r = 0; r < h; ++r)
      for (int col = 0; col < w; ++col) {
        double v = 90 + 50 * std::sin((col + n) * 0.03) * std::cos(r * 0.02) +
                   noise[static_cast<std::size_t>(r) * 2 * w + (col + n) % (2 * w)];
        double d = std::hypot(col - bx, r - by);
        if (d < 30) v += 80 * (1 - d / 30);
        y[static_cast<std::size_t>(r) * w + col] =
            static_cast<std::uint8_t>(std::clamp(v, 16.0, 235.0));
      }
    out.write(reinterpret_cast<const char*>(y.data()), static_cast<std::streamsize>(y.size()));
    for (int plane = 0; plane < 2; ++plane) {
      for (std::size_t i = 0; i < c.size(); ++i)
        c[i] = static_cast<std::uint8_t>(128 + (plane ? -20 : 25) * std::sin(i * 0.001 + n * 0.02));
      out.write(reinterpret_cast<const char*>(c.data()), static_cast<std::streamsize>(c.size()));
    }
  }
  return path;
}

// The number after "NAME = " in the tool's latest line of it.
double lastValue(const LogFile& log, const std::string& name) {
  std::string text = log.text();
  auto at = text.rfind(name + " = ");
  if (at == std::string::npos) return -1;
  return std::atof(text.c_str() + at + name.size() + 3);
}

void measure(const std::string& preset, const std::string& camera) {
  SessionHost alice("alice"), bob("bob");
  if (!formSession({&alice, &bob})) {
    std::printf("%-16s session not formed\n", preset.c_str());
    return;
  }
  VideoToolProcess a(alice.address, "alice", {{"ZEP_CAMERA", camera}});
  VideoToolProcess b(bob.address, "bob");
  a.out.waitFor("Status = Ready");
  a.command("click Tools/Connection");
  a.command("type Connection name = " + preset);
  a.command("click OK");
  a.command("click Capture/Start");
  // The first re-tune comes ten seconds after the start; measure after it.
  std::this_thread::sleep_for(std::chrono::milliseconds(10500));
  a.command("click Tools/Statistics");
  a.command("click Reset");
  double cpuA = processorSeconds(a.process().pid()), cpuB = processorSeconds(b.process().pid());
  std::size_t shownBefore = readDisplay(b.displays, 0).pictures.size();
  const double seconds = 5;
  std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
  int closed = a.out.count("Statistics: closed");
  a.command("click Update");
  cpuA = processorSeconds(a.process().pid()) - cpuA;
  cpuB = processorSeconds(b.process().pid()) - cpuB;
  a.command("click OK");
  // The dialog's last texts are those shown before it closed.
  waitUntil([&] { return a.out.count("Statistics: closed") > closed; }, 2000);
  double fps = lastValue(a.out, "Statistics: Frames per sec:");
  double bytes = lastValue(a.out, "Statistics: Bytes per sec:");
  // Per datagram: 15 bytes of coded-frame payload, 11 of media header and pad, 28 of UDP/IP.
  double wire = bytes + fps * (15 + 11 + 28);
  const double gsm = 10 * (165 + 11 + 28);  // GSM audio: ten 165-byte blocks a second
  auto window = readDisplay(b.displays, 0);
  auto mirror = readDisplay(a.displays, 20);
  window.pictures.erase(window.pictures.begin(),
                        window.pictures.begin() + std::min(shownBefore, window.pictures.size()));
  window.paintedMicros.erase(
      window.paintedMicros.begin(),
      window.paintedMicros.begin() + std::min(shownBefore, window.paintedMicros.size()));
  auto seen = compareWithMirror(window, mirror);
  std::printf(
      "%-16s %5.2f fps %7.0f B/s coded, %6.1f kbit/s on the wire%s  delay %4.0f ms "
      "(95%% %4.0f)  %4.1f dB  cpu alice %4.1f%% bob %4.1f%%\n",
      preset.c_str(), fps, bytes, wire * 8 / 1000,
      preset == "Modem 28.8"
          ? ((wire + gsm) * 8 <= 28800 ? " (+GSM fits 28.8)" : " (+GSM exceeds 28.8)")
          : "                  ",
      seen.medianDelayMs, seen.p95DelayMs, seen.medianPsnr, 100 * cpuA / seconds,
      100 * cpuB / seconds);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::string which = argc > 1 ? argv[1] : "both";
  std::vector<std::pair<std::string, std::string>> cameras;
  if (which != "natural") cameras.emplace_back("pattern", "pattern:alice");
  if (which != "pattern") cameras.emplace_back("natural", "file:" + naturalClip().string());
  for (const auto& [name, camera] : cameras) {
    std::printf("\nCamera: %s\n", name.c_str());
    for (const char* preset : {"Modem 28.8", "ISDN-1 channel", "ISDN-2 channels", "LAN"})
      measure(preset, camera);
  }
  return 0;
}
