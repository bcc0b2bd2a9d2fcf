#include "tests/driver/video.h"

#include <signal.h>

#include <algorithm>
#include <cmath>
#include <fstream>

namespace zep::testing {

namespace {
constexpr std::size_t kPicture = 176 * 144 * 3 / 2;
constexpr std::size_t kLuma = 176 * 144;

double psnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  double sum = 0;
  for (std::size_t i = 0; i < kLuma; ++i) {
    double d = double(a[i]) - double(b[i]);
    sum += d * d;
  }
  return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * kLuma / sum);
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}
}  // namespace

VideoToolProcess::VideoToolProcess(net::Ipv4 address, const std::string& user,
                                   std::vector<std::pair<std::string, std::string>> extra) {
  ::signal(SIGPIPE, SIG_IGN);
  auto dir = freshDirectory("videotool-" + user);
  displays = dir / "display";
  out = LogFile(dir / "stdout.txt");
  err = LogFile(dir / "stderr.txt");
  process::StartOptions start;
  start.stdoutPath = out.path();
  start.stderrPath = err.path();
  start.pipeStdin = true;
  start.args = {"--headless"};
  // Its video.cfg goes beside the program as its command line names it: in its own folder.
  start.argv0 = (dir / "zepvideo").string();
  start.environment = {{"ZEP_HOST", dotted(address)},
                       {"ZEP_USER", user},
                       {"ZEP_CAMERA", "pattern:" + user},
                       {"ZEP_VIDEO_OUT", "dir:" + displays.string()}};
  for (auto& [key, value] : extra) {
    std::erase_if(start.environment, [&](const auto& e) { return e.first == key; });
    start.environment.emplace_back(key, value);
  }
  std::string why;
  process_ = process::start((installTree() / "zepvideo").string(), start, &why);
}

VideoToolProcess::~VideoToolProcess() {
  if (process_.running()) {
    command("click File/Exit");
    process_.waitForExit(3000);
  }
  process_.terminate(1000);
}

DisplayRecord readDisplay(const std::filesystem::path& displays, int slot) {
  DisplayRecord r;
  char name[32];
  std::snprintf(name, sizeof name, "slot-%02d", slot);
  std::ifstream y4m(displays / (std::string(name) + ".y4m"), std::ios::binary);
  std::string line;
  if (!std::getline(y4m, line) || line.rfind("YUV4MPEG2", 0) != 0) return r;
  while (std::getline(y4m, line) && line.rfind("FRAME", 0) == 0) {
    std::vector<std::uint8_t> picture(kPicture);
    if (!y4m.read(reinterpret_cast<char*>(picture.data()), kPicture)) break;
    r.pictures.push_back(std::move(picture));
  }
  std::ifstream times(displays / (std::string(name) + ".times"));
  double t;
  while (times >> t) r.paintedMicros.push_back(t);
  r.paintedMicros.resize(std::min(r.paintedMicros.size(), r.pictures.size()));
  return r;
}

SeenPictures compareWithMirror(const DisplayRecord& window, const DisplayRecord& mirror) {
  SeenPictures seen;
  seen.pictures = window.pictures.size();
  if (window.pictures.empty() || mirror.pictures.empty()) return seen;
  std::vector<double> psnrs, delays;
  const bool timed = mirror.paintedMicros.size() == mirror.pictures.size();
  for (std::size_t i = 0; i < window.pictures.size(); ++i) {
    // The pattern repeats after each restart of capture: of the equally good matches, the
    // latest Mirror picture painted before this one is the picture that was sent.
    double shownAt = i < window.paintedMicros.size() ? window.paintedMicros[i] : 0;
    double best = -1;
    std::size_t match = 0;
    for (std::size_t j = 0; j < mirror.pictures.size(); ++j) {
      if (timed && shownAt > 0 && mirror.paintedMicros[j] > shownAt) break;
      double p = psnr(window.pictures[i], mirror.pictures[j]);
      if (p >= best - 0.01) {
        if (p > best) best = p;
        match = j;
      }
    }
    if (best < 0) continue;
    psnrs.push_back(best);
    if (timed && shownAt > 0) delays.push_back((shownAt - mirror.paintedMicros[match]) / 1000);
  }
  seen.medianPsnr = percentile(psnrs, 0.5);
  seen.medianDelayMs = percentile(delays, 0.5);
  seen.p95DelayMs = percentile(delays, 0.95);
  if (window.paintedMicros.size() > 1) {
    double span = (window.paintedMicros.back() - window.paintedMicros.front()) / 1e6;
    if (span > 0)
      seen.framesPerSecond = static_cast<double>(window.paintedMicros.size() - 1) / span;
  }
  return seen;
}

bool waitForPictures(const std::filesystem::path& displays, int slot, std::size_t n,
                     int timeoutMs) {
  return waitUntil([&] { return readDisplay(displays, slot).pictures.size() >= n; }, timeoutMs);
}

}  // namespace zep::testing
