#include "kestrel/settings.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/bytes.h"

namespace zep::kestrel {

namespace {

void field(ByteWriter& w, const std::string& text, std::size_t width) {
  // Cut so the NUL always fits.
  w.text(text.substr(0, width - 1), width);
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
  // A present, whole record is taken as it is: values outside what the program offers are
  // kept (and written back), and made safe only where they are used (usable()).
  auto next = [&] { return r.i32(ByteOrder::kLittle); };
  s.autoAccept = next();
  s.audioCompression = next();
  for (auto& v : s.reservedAudio) v = next();
  s.duplexMode = next();
  s.volume = next();
  s.micGain = next();
  s.mute = next();
  s.micOff = next();
  s.reservedAudio2 = next();
  s.captureDevice = next();
  s.videoCompression = next();
  s.intraOnly = next();
  s.frameRate = next();
  s.highestFrameRate = next();
  s.receiveOff = next();
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

int usableFrameRate(int stored) {
  return std::clamp(stored, kMinFrameRate, kMaxFrameRate);
}

UsableSettings usable(const KestrelSettings& s) {
  auto oneOf = [](int v, std::initializer_list<int> allowed, int fallback) {
    return std::find(allowed.begin(), allowed.end(), v) != allowed.end() ? v : fallback;
  };
  const KestrelSettings d;
  UsableSettings u;
  u.autoAccept = s.autoAccept != 0;
  u.audioCompression = oneOf(s.audioCompression, {13, 14, 15}, d.audioCompression);
  u.mute = s.mute != 0;
  u.micOff = s.micOff != 0;
  u.videoCompression = oneOf(s.videoCompression, {0, 1, 10}, d.videoCompression);
  u.intraOnly = s.intraOnly != 0;
  u.frameRate = usableFrameRate(s.frameRate);
  return u;
}

std::string programFile(const std::string& commandLine, const std::string& name) {
  auto cut = commandLine.find_last_of('/');
  if (cut == std::string::npos) return name;
  std::string dir = commandLine.substr(0, cut);
  if (!dir.empty() && dir.front() == '"') dir.erase(0, 1);
  return dir + "/" + name;
}

}  // namespace zep::kestrel
