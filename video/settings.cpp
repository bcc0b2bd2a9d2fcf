#include "video/settings.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace zep::video {

void apply_connection(VideoSettings& s, const std::string& name) {
  s.connection = name.substr(0, kMaxConnectionName);
  if (name == "Modem 28.8") {
    s.mode = MODE_H263;
    s.rate = 4;
  } else if (name == "ISDN-1 channel") {
    s.mode = MODE_H261;
    s.intra = false;
    s.rate = 5;
  } else if (name == "ISDN-2 channels") {
    s.mode = MODE_H261;
    s.intra = false;
    s.rate = 10;
  } else if (name == "LAN") {
    s.mode = MODE_YUV9;
    s.rate = 10;
  }
}

int advancedChoice(const VideoSettings& s) {
  return s.mode == MODE_H261 && s.intra ? MODE_H261_INTRA : s.mode;
}

void applyAdvancedChoice(VideoSettings& s, int choice) {
  s.intra = choice == MODE_H261_INTRA;
  s.mode = choice == MODE_H261_INTRA ? MODE_H261 : choice;
}

int retunePeriod(const VideoSettings& s, int processingMs) {
  int k = s.mode != MODE_H263 && s.intra ? 3 : 2;
  return std::max(k * processingMs, 1000 / std::max(s.rate, 1));
}

std::string settingsPath(const std::string& commandLine) {
  std::string text = commandLine;
  auto cut = text.find_last_of('/');
  if (cut == std::string::npos) return "video.cfg";
  text.resize(cut);
  if (!text.empty() && text.front() == '"') text.erase(0, 1);
  return text + "/video.cfg";
}

bool read_settings(const std::string& path, std::string* connection) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char line[20] = {};
  if (!std::fgets(line, sizeof line, f)) line[0] = '\0';
  std::fclose(f);
  *connection = std::string(line, ::strnlen(line, sizeof line));
  return true;
}

bool write_settings(const std::string& path, const std::string& connection) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(connection.data(), 1, connection.size(), f) == connection.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace zep::video
