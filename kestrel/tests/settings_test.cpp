// Kestrel.cfg: the 204-byte record, its defaults, bad contents and the presets.
#include "kestrel/settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace zep::kestrel {
namespace {

TEST(KestrelSettings, TheRecordsFieldsSitAtTheirOffsetsLittleEndian) {
  KestrelSettings s;
  s.directoryServer = "dir.example";
  s.name = "alice";
  s.email = "alice@example.org";
  s.audioCompression = 13;
  s.frameRate = 7;
  auto b = encodeSettings(s);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[0])), "Modem 28.8");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[20])), "dir.example");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[70])), "alice");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[100])), "alice@example.org");
  EXPECT_EQ(b[132], 1);
  EXPECT_EQ(b[136], 13);
  EXPECT_EQ(b[148], 20) << "reserved fields keep their defaults";
  EXPECT_EQ(b[156], 21);
  EXPECT_EQ(b[192], 7);
  EXPECT_EQ(b[196], 5);
  auto back = decodeSettings(b);
  EXPECT_EQ(back.name, "alice");
  EXPECT_EQ(back.email, "alice@example.org");
  EXPECT_EQ(back.frameRate, 7);
}

TEST(KestrelSettings, ShortFilesGiveDefaultsAndBadFieldsTheirOwnDefault) {
  KestrelSettings s;
  s.name = "bob";
  auto b = encodeSettings(s);
  EXPECT_EQ(decodeSettings(std::span(b).first(100)).name, "") << "100 bytes: the defaults";
  // A name without a NUL ends at its field; numbers out of range fall back.
  for (int i = 70; i < 100; ++i) b[static_cast<std::size_t>(i)] = 'x';
  b[136] = 99;
  b[192] = 0;  // a frame rate of 0
  b[184] = 7;
  auto odd = decodeSettings(b);
  EXPECT_EQ(odd.name, std::string(29, 'x'));
  EXPECT_EQ(odd.audioCompression, 14);
  EXPECT_EQ(odd.frameRate, 5);
  EXPECT_EQ(odd.videoCompression, 0);
  KestrelSettings longName;
  longName.name = std::string(40, 'n');
  EXPECT_EQ(decodeSettings(encodeSettings(longName)).name, std::string(29, 'n'));
}

TEST(KestrelSettings, FileRoundTripAndMissingFile) {
  auto path = std::filesystem::temp_directory_path() / ("kestrel-" + std::to_string(::getpid()));
  KestrelSettings s;
  s.email = "e@x";
  ASSERT_TRUE(writeSettingsFile(path.string(), s));
  EXPECT_EQ(std::filesystem::file_size(path), 204u);
  EXPECT_EQ(readSettingsFile(path.string()).email, "e@x");
  std::filesystem::remove(path);
  EXPECT_EQ(readSettingsFile(path.string()).preset, "Modem 28.8");
  EXPECT_EQ(programFile("/opt/zep/kestrel", "Kestrel.cfg"), "/opt/zep/Kestrel.cfg");
  EXPECT_EQ(programFile("kestrel", "RINGIN.WAV"), "RINGIN.WAV");
}

TEST(KestrelSettings, PresetsSetCompressionAndFrameRates) {
  KestrelSettings s;
  s.preset = "LAN";
  applyPreset(s);
  EXPECT_EQ(s.audioCompression, 15);
  EXPECT_EQ(s.videoCompression, 10);
  EXPECT_EQ(s.frameRate, 10);
  s.intraOnly = 1;
  s.preset = "ISDN-1";
  applyPreset(s);
  EXPECT_EQ(s.intraOnly, 0);
  EXPECT_EQ(s.highestFrameRate, 5);
  s.intraOnly = 1;
  s.preset = "Modem 28.8";
  applyPreset(s);
  EXPECT_EQ(s.intraOnly, 1) << "unchanged";
  EXPECT_EQ(s.audioCompression, 14);
  s.preset = "other";
  applyPreset(s);
  EXPECT_EQ(s.frameRate, 4);
}

}  // namespace
}  // namespace zep::kestrel
