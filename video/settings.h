// The connection presets, the Advanced compression choice, the capture-rate re-tune and the
// one-line settings file "video.cfg".
#pragma once

#include <string>

namespace zep::video {

enum SendMode { MODE_H263 = 0, MODE_H261 = 1, MODE_YUV9 = 10 };
inline constexpr int MODE_H261_INTRA = 11;  // an Advanced choice, not a send mode
inline constexpr const char* kDefaultConnection = "Modem 28.8";
inline constexpr const char* kPresetNames[] = {"Modem 28.8", "ISDN-1 channel", "ISDN-2 channels",
                                               "LAN"};
inline constexpr std::size_t kMaxConnectionName = 20;

struct VideoSettings {
  std::string connection;
  int mode = MODE_H263;
  bool intra = false;  // H.261 codes every picture intra
  int rate = 4;        // target frames per second
};

// Sets mode, intra and rate from the preset of that exact name; other names change nothing
// but the name itself.
void apply_connection(VideoSettings& settings, const std::string& name);

// The Advanced dialog's choice for the current settings (MODE_H261_INTRA for H.261 intra), and
// what choosing one does.
int advancedChoice(const VideoSettings& settings);
void applyAdvancedChoice(VideoSettings& settings, int choice);

// The capture period after the first re-tune: at least twice (three times for H.261 intra
// coding) the last frame's processing time, and no faster than the target rate.
int retunePeriod(const VideoSettings& settings, int processingMs);

// video.cfg lies in the program's directory, taken from its command line whatever its length:
// the text up to its last "/", without a leading double quote; with no "/" it is "video.cfg"
// in the current directory.
std::string settingsPath(const std::string& commandLine);

// At most 19 characters of the file's first line, its line end included when it fits; false
// when the file cannot be opened. The name ends at a NUL byte.
bool read_settings(const std::string& path, std::string* connection);
// The name as plain text, without a line end; false when the file cannot be written.
bool write_settings(const std::string& path, const std::string& connection);

}  // namespace zep::video
