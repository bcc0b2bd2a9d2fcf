// The integrated client's settings: one 204-byte record, the whole of Kestrel.cfg, also handed
// to the directory library. Texts are NUL-terminated within their fields; numbers are 32-bit
// little-endian.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace zep::kestrel {

inline constexpr std::size_t kSettingsSize = 204;
inline constexpr const char* kDefaultDirectoryServer = "localhost";

struct KestrelSettings {
  std::string preset = "Modem 28.8";                        // 0, 20 bytes
  std::string directoryServer = kDefaultDirectoryServer;    // 20, 50
  std::string name;                                         // 70, 30
  std::string email;                                        // 100, 32
  std::int32_t autoAccept = 1;                              // 132
  std::int32_t audioCompression = 14;                       // 136: 13 ADPCM, 14 GSM, 15 PCM
  std::array<std::int32_t, 4> reservedAudio{0, 0, 20, 20};  // 140..152, read nowhere
  std::int32_t duplexMode = 21;                             // 156: 21 half duplex, shown only
  std::int32_t volume = 50;                                 // 160
  std::int32_t micGain = 50;                                // 164
  std::int32_t mute = 0;                                    // 168
  std::int32_t micOff = 0;                                  // 172
  std::int32_t reservedAudio2 = 0;                          // 176
  std::int32_t captureDevice = 0;                           // 180
  std::int32_t videoCompression = 0;                        // 184: 0 H.263, 1 H.261, 10 YUV9
  std::int32_t intraOnly = 0;                               // 188
  std::int32_t frameRate = 5;                               // 192
  std::int32_t highestFrameRate = 5;                        // 196
  std::int32_t receiveOff = 0;                              // 200
};

std::array<std::uint8_t, kSettingsSize> encodeSettings(const KestrelSettings& s);
// Fewer than 204 bytes: every field takes its default. Otherwise every field is taken as the
// record holds it (texts end at their NUL or their field's end), so what the program does not
// understand is written back unchanged; usable() makes it safe to act on.
KestrelSettings decodeSettings(std::span<const std::uint8_t> bytes);

// Pictures a second: the Options' slider and the record may say 0 (or anything), but the
// pacing divides by it; below 1 means 1, above 10 means 10, wherever it comes from.
inline constexpr int kMinFrameRate = 1;
inline constexpr int kMaxFrameRate = 10;
int usableFrameRate(int stored);

// What the program acts on, from the record: a value it does not know becomes its default
// (a compression), a flag is on when not 0, the frame rate is brought into its range.
struct UsableSettings {
  bool autoAccept = true;
  int audioCompression = 14;
  bool mute = false, micOff = false;
  int videoCompression = 0;
  bool intraOnly = false;
  int frameRate = 5;
};
UsableSettings usable(const KestrelSettings& s);

// Defaults when the file cannot be read or is short.
KestrelSettings readSettingsFile(const std::string& path);
bool writeSettingsFile(const std::string& path, const KestrelSettings& s);

// The connection preset by name: audio and video compression, intra-only, the frame rate
// and its highest value. Other names change nothing.
void applyPreset(KestrelSettings& s);

// Kestrel.cfg (or any file of the program) in the directory the command line names, like
// video.cfg: before its last "/", without a leading double quote; none: the current one.
std::string programFile(const std::string& commandLine, const std::string& name);

}  // namespace zep::kestrel
