#include "streamer/request.h"

#include <algorithm>

namespace zep::streamer {

std::optional<StreamRequest> encodeStreamRequest(std::string_view clip) {
  if (clip.empty() || clip.size() > kMaxClipName) return std::nullopt;
  StreamRequest r{};
  r[0] = kStreamRequestTag;
  std::copy(clip.begin(), clip.end(), r.begin() + 1);
  return r;
}

std::optional<std::string> parseStreamRequest(std::span<const std::uint8_t> datagram,
                                              std::string* why) {
  auto fail = [&](std::string text) -> std::optional<std::string> {
    *why = std::move(text);
    return std::nullopt;
  };
  if (datagram.size() != kStreamRequestSize)
    return fail("a request of " + std::to_string(datagram.size()) + " bytes, not " +
                std::to_string(kStreamRequestSize));
  if (datagram[0] != kStreamRequestTag)
    return fail("a request tagged " + std::to_string(datagram[0]) + ", not 'o'");
  auto field = datagram.subspan(1, kClipNameField);
  auto nul = std::find(field.begin(), field.end(), 0);
  if (nul == field.end()) return fail("a clip name without its NUL in the name field");
  std::string name(field.begin(), nul);
  if (!std::all_of(datagram.begin() + 1 + static_cast<long>(name.size()), datagram.end(),
                   [](std::uint8_t b) { return b == 0; }))
    return fail("a request with bytes after the clip name that are not zero");
  if (name.empty()) return fail("a request without a clip name");
  for (unsigned char c : name)
    if (c < 0x20 || c > 0x7E || c == '/' || c == '\\')
      return fail("a clip name that is not a plain file name");
  if (name == "." || name == "..") return fail("a clip name that is not a plain file name");
  return name;
}

}  // namespace zep::streamer
