#include "platform/y4m.h"

#include <algorithm>
#include <string_view>

namespace zep::y4m {

namespace {

constexpr std::string_view kMagic = "YUV4MPEG2";
constexpr std::string_view kFrame = "FRAME";

// The line at the start of data without its '\n'; nullopt when no '\n' within kMaxLine.
std::optional<std::string_view> firstLine(std::span<const std::uint8_t> data) {
  auto limit = std::min(data.size(), kMaxLine);
  auto end = std::find(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(limit), '\n');
  if (end == data.begin() + static_cast<std::ptrdiff_t>(limit)) return std::nullopt;
  return std::string_view(reinterpret_cast<const char*>(data.data()),
                          static_cast<std::size_t>(end - data.begin()));
}

// A decimal number of at most 9 digits filling all of text.
std::optional<std::uint32_t> number(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return value;
}

}  // namespace

int Header::chromaWidth() const {
  switch (chroma) {
    case Chroma::k420:
    case Chroma::k422:
      return (width + 1) / 2;
    case Chroma::k444:
      return width;
    case Chroma::kMono:
      return 0;
  }
  return 0;
}

int Header::chromaHeight() const {
  switch (chroma) {
    case Chroma::k420:
      return (height + 1) / 2;
    case Chroma::k422:
    case Chroma::k444:
      return height;
    case Chroma::kMono:
      return 0;
  }
  return 0;
}

std::optional<Header> parseHeader(std::span<const std::uint8_t> data, std::string* error) {
  auto line = firstLine(data);
  if (!line) {
    *error = data.size() < kMaxLine ? "the Y4M header line is incomplete"
                                    : "the Y4M header line is longer than 4096 bytes";
    return std::nullopt;
  }
  if (line->substr(0, kMagic.size()) != kMagic ||
      (line->size() > kMagic.size() && (*line)[kMagic.size()] != ' ')) {
    *error = "not a Y4M file (no YUV4MPEG2 header)";
    return std::nullopt;
  }
  Header h;
  h.headerBytes = line->size() + 1;
  bool haveRate = false;
  std::string_view rest = line->substr(kMagic.size());
  while (!rest.empty()) {
    if (rest.front() == ' ') {
      rest.remove_prefix(1);
      continue;
    }
    auto space = rest.find(' ');
    std::string_view field = rest.substr(0, space);
    rest = space == std::string_view::npos ? std::string_view{} : rest.substr(space);
    char tag = field.front();
    std::string_view value = field.substr(1);
    if (tag == 'W' || tag == 'H') {
      auto v = number(value);
      if (!v || *v == 0 || *v > static_cast<std::uint32_t>(kMaxSide)) {
        *error = std::string("the Y4M ") + (tag == 'W' ? "width" : "height") + " '" +
                 std::string(value) + "' is not 1 to 8192";
        return std::nullopt;
      }
      (tag == 'W' ? h.width : h.height) = static_cast<int>(*v);
    } else if (tag == 'F') {
      auto colon = value.find(':');
      auto num = number(value.substr(0, colon));
      auto den = colon == std::string_view::npos ? std::nullopt : number(value.substr(colon + 1));
      if (!num || !den || *num == 0 || *den == 0) {
        *error = "the Y4M frame rate '" + std::string(value) + "' is not N:D with N, D above 0";
        return std::nullopt;
      }
      h.rateNumerator = *num;
      h.rateDenominator = *den;
      haveRate = true;
    } else if (tag == 'C') {
      if (value == "420jpeg" || value == "420paldv" || value == "420mpeg2" || value == "420")
        h.chroma = Chroma::k420;
      else if (value == "422")
        h.chroma = Chroma::k422;
      else if (value == "444")
        h.chroma = Chroma::k444;
      else if (value == "mono")
        h.chroma = Chroma::kMono;
      else {
        *error = "the Y4M colour space '" + std::string(value) +
                 "' is not supported (420jpeg, 420paldv, 420mpeg2, 420, 422, 444 or mono)";
        return std::nullopt;
      }
    }
    // I (interlacing), A (aspect), X (comments) and tags yet unknown change nothing here.
  }
  if (h.width == 0 || h.height == 0 || !haveRate) {
    *error = std::string("the Y4M header has no ") + (h.width == 0    ? "width (W)"
                                                      : h.height == 0 ? "height (H)"
                                                                      : "frame rate (F)");
    return std::nullopt;
  }
  h.frameBytes =
      static_cast<std::size_t>(h.width) * static_cast<std::size_t>(h.height) +
      2 * static_cast<std::size_t>(h.chromaWidth()) * static_cast<std::size_t>(h.chromaHeight());
  return h;
}

std::optional<std::size_t> parseFrameLine(std::span<const std::uint8_t> data, std::string* error) {
  auto line = firstLine(data);
  if (!line) {
    *error = "a Y4M frame line is incomplete";
    return std::nullopt;
  }
  if (line->substr(0, kFrame.size()) != kFrame ||
      (line->size() > kFrame.size() && (*line)[kFrame.size()] != ' ')) {
    *error = "a Y4M frame does not start with FRAME";
    return std::nullopt;
  }
  return line->size() + 1;
}

}  // namespace zep::y4m
