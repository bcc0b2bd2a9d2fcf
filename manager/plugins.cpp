#include "manager/plugins.h"

#include <cctype>
#include <fstream>
#include <sstream>

namespace zep::manager {

namespace {

// Reads the file the way its format was defined: numbers followed by any white space, lines
// of bounded length whose last character read is dropped (a longer line goes on as the next).
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  std::optional<int> number() {
    skipSpace();
    std::size_t start = pos_;
    if (pos_ < text_.size() && (text_[pos_] == '-' || text_[pos_] == '+')) ++pos_;
    std::size_t digits = pos_;
    long value = 0;
    while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) {
      value = std::min(value * 10 + (text_[pos_] - '0'), 1L << 31);
      ++pos_;
    }
    if (pos_ == digits) {
      pos_ = start;
      return std::nullopt;
    }
    skipSpace();
    return static_cast<int>(text_[start] == '-' ? -value : value);
  }

  // Up to the line break but at most limit characters, the line break included; the last
  // character read is dropped. A CR LF pair counts as one line break, as in text mode.
  std::optional<std::string> line(std::size_t limit) {
    if (pos_ >= text_.size()) return std::nullopt;
    std::string s;
    while (pos_ < text_.size() && s.size() < limit) {
      char c = text_[pos_++];
      if (c == '\r' && pos_ < text_.size() && text_[pos_] == '\n') c = text_[pos_++];
      s.push_back(c);
      if (c == '\n') break;
    }
    s.pop_back();
    return s;
  }

 private:
  void skipSpace() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  }
  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

std::vector<Plugin> parsePlugins(std::string_view text, const std::string& installDirectory) {
  Reader r(text);
  std::vector<Plugin> plugins;
  auto count = r.number();
  if (!count) return plugins;
  for (int i = 0; i < *count && i < kMaxPlugins; ++i) {
    auto port = r.number();
    if (!port) break;
    auto name = r.line(kPluginNameLine);
    auto path = r.line(kPluginPathLine);
    if (!name || !path) break;
    Plugin p;
    p.port = *port;
    p.name = *name;
    p.path = (installDirectory + *path).substr(0, kPluginPathField);
    plugins.push_back(std::move(p));
  }
  return plugins;
}

std::optional<std::vector<Plugin>> readPlugins(const std::string& installDirectory) {
  std::ifstream file(installDirectory + "/PLUGINS.CFG", std::ios::binary);
  if (!file) return std::nullopt;
  std::stringstream text;
  text << file.rdbuf();
  return parsePlugins(text.str(), installDirectory);
}

}  // namespace zep::manager
