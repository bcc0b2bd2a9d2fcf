// PLUGINS.CFG: the media applications the manager can run. A count, then per entry three
// lines: port, name, and a path appended to the installation directory.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zep::manager {

inline constexpr int kMaxPlugins = 20;
// The most characters a line read takes, its line break included: names have at most 48
// characters, paths at most 98.
inline constexpr std::size_t kPluginNameLine = 49;
inline constexpr std::size_t kPluginPathLine = 99;
inline constexpr std::size_t kPluginPathField = 101;  // installation directory + path

struct Plugin {
  int port = 0;
  std::string name;
  std::string path;
  bool running = false;
};

// Reads the entries the text holds, at most 20; stops at the first field that is not valid.
std::vector<Plugin> parsePlugins(std::string_view text, const std::string& installDirectory);
// Empty when the file cannot be opened.
std::optional<std::vector<Plugin>> readPlugins(const std::string& installDirectory);

}  // namespace zep::manager
