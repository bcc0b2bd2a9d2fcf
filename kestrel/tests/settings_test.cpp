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

TEST(KestrelSettings, ShortFilesGiveDefaultsAndTextsEndAtTheirFields) {
  KestrelSettings s;
  s.name = "bob";
  auto b = encodeSettings(s);
  EXPECT_EQ(decodeSettings(std::span(b).first(100)).name, "") << "100 bytes: the defaults";
  EXPECT_EQ(decodeSettings(std::span(b).first(203)).autoAccept, 1);
  // A name without a NUL ends at its field.
  for (int i = 70; i < 100; ++i) b[static_cast<std::size_t>(i)] = 'x';
  EXPECT_EQ(decodeSettings(b).name, std::string(29, 'x'));
  KestrelSettings longName;
  longName.name = std::string(40, 'n');
  EXPECT_EQ(decodeSettings(encodeSettings(longName)).name, std::string(29, 'n'));
}

// A whole record is not the program's to correct: what it does not know stays as the file says
// and is written back so, and only what the program acts on is made safe.
TEST(KestrelSettings, ValuesOutsideTheProgramsRangesAreKeptAndWrittenBackNotReplaced) {
  auto path = std::filesystem::temp_directory_path() / ("odd-" + std::to_string(::getpid()));
  KestrelSettings s;
  s.mute = 2;
  s.volume = 150;
  s.micGain = -7;
  s.autoAccept = 5;
  s.audioCompression = 99;
  s.videoCompression = 7;
  s.intraOnly = 3;
  s.frameRate = 0;
  s.highestFrameRate = 40;
  s.captureDevice = 200;
  s.receiveOff = 9;
  ASSERT_TRUE(writeSettingsFile(path.string(), s));
  auto read = readSettingsFile(path.string());
  EXPECT_EQ(encodeSettings(read), encodeSettings(s)) << "every field as the file says";
  ASSERT_TRUE(writeSettingsFile(path.string(), read));
  EXPECT_EQ(readSettingsFile(path.string()).volume, 150) << "and so written back";
  std::filesystem::remove(path);

  auto u = usable(read);
  EXPECT_TRUE(u.mute) << "a flag is on when not 0";
  EXPECT_TRUE(u.autoAccept);
  EXPECT_TRUE(u.intraOnly);
  EXPECT_EQ(u.audioCompression, 14) << "a compression it does not know: the default";
  EXPECT_EQ(u.videoCompression, 0);
  EXPECT_EQ(u.frameRate, 1);
  EXPECT_EQ(usableFrameRate(40), 10);
  EXPECT_EQ(usableFrameRate(-3), 1);
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
