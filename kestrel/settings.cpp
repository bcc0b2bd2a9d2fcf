#include "kestrel/settings.h"

#include <cstdio>
#include <vector>

#include "platform/bytes.h"

namespace zep::kestrel {

namespace {

void field(ByteWriter& w, const std::string& text, std::size_t width) {
  // Cut so the NUL always fits.
  w.text(text.substr(0, width - 1), width);
}

std::int32_t oneOf(std::int32_t v, std::initializer_list<std::int32_t> allowed,
                   std::int32_t fallback) {
  for (auto a : allowed)
    if (v == a) return v;
  return fallback;
}

std::int32_t within(std::int32_t v, std::int32_t low, std::int32_t high, std::int32_t fallback) {
  return v >= low && v <= high ? v : fallback;
}

}  // namespace

std::array<std::uint8_t, kSettingsSize> encodeSettings(const KestrelSettings& s) {
  ByteWriter w;
  field(w, s.preset, 20);
  field(w, s.directoryServer, 50);
  field(w, s.name, 30);
  field(w, s.email, 32);
  for (std::int32_t v : {s.autoAccept, s.audioCompression, s.reservedAudio[0], s.reservedAudio[1],
                         s.reservedAudio[2], s.reservedAudio[3], s.duplexMode, s.volume, s.micGain,
                         s.mute, s.micOff, s.reservedAudio2, s.captureDevice, s.videoCompression,
                         s.intraOnly, s.frameRate, s.highestFrameRate, s.receiveOff})
    w.i32(v, ByteOrder::kLittle);
  std::array<std::uint8_t, kSettingsSize> out{};
  auto bytes = w.take();
  std::copy(bytes.begin(), bytes.end(), out.begin());
  return out;
}

KestrelSettings decodeSettings(std::span<const std::uint8_t> bytes) {
  KestrelSettings d;
  if (bytes.size() < kSettingsSize) return d;
  ByteReader r(bytes.first(kSettingsSize));
  KestrelSettings s;
  s.preset = r.text(20, 19);
  s.directoryServer = r.text(50, 49);
  s.name = r.text(30, 29);
  s.email = r.text(32, 31);
  auto next = [&] { return r.i32(ByteOrder::kLittle); };
  s.autoAccept = oneOf(next(), {0, 1}, d.autoAccept);
  s.audioCompression = oneOf(next(), {13, 14, 15}, d.audioCompression);
  for (auto& v : s.reservedAudio) v = next();
  s.duplexMode = next();
  s.volume = within(next(), 0, 100, d.volume);
  s.micGain = within(next(), 0, 100, d.micGain);
  s.mute = oneOf(next(), {0, 1}, d.mute);
  s.micOff = oneOf(next(), {0, 1}, d.micOff);
  s.reservedAudio2 = next();
  s.captureDevice = within(next(), 0, 63, d.captureDevice);
  s.videoCompression = oneOf(next(), {0, 1, 10}, d.videoCompression);
  s.intraOnly = oneOf(next(), {0, 1}, d.intraOnly);
  // A frame rate of 0 would stop the pacing: one a second is the least.
  s.frameRate = within(next(), 1, 10, d.frameRate);
  s.highestFrameRate = within(next(), 1, 10, d.highestFrameRate);
  s.receiveOff = oneOf(next(), {0, 1}, d.receiveOff);
  if (!r.ok()) return d;
  return s;
}

KestrelSettings readSettingsFile(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return {};
  std::vector<std::uint8_t> bytes(kSettingsSize);
  std::size_t n = std::fread(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  bytes.resize(n);
  return decodeSettings(bytes);
}

bool writeSettingsFile(const std::string& path, const KestrelSettings& s) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  auto bytes = encodeSettings(s);
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

void applyPreset(KestrelSettings& s) {
  auto set = [&](int audio, int video, int intra, int rate) {
    s.audioCompression = audio;
    s.videoCompression = video;
    if (intra >= 0) s.intraOnly = intra;
    s.frameRate = s.highestFrameRate = rate;
  };
  if (s.preset == "Modem 28.8") set(14, 0, -1, 4);
  if (s.preset == "ISDN-1") set(13, 1, 0, 5);
  if (s.preset == "ISDN-2") set(13, 1, 0, 10);
  if (s.preset == "LAN") set(15, 10, -1, 10);
}

std::string programFile(const std::string& commandLine, const std::string& name) {
  auto cut = commandLine.find_last_of('/');
  if (cut == std::string::npos) return name;
  std::string dir = commandLine.substr(0, cut);
  if (!dir.empty() && dir.front() == '"') dir.erase(0, 1);
  return dir + "/" + name;
}

}  // namespace zep::kestrel
