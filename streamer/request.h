// The stream request: one 100-byte datagram from the stream client to an audio stream server,
// naming the clip to stream. The server answers with raw audio datagrams, 16-bit signed
// little-endian mono samples at 8000 Hz, at most 1600 bytes each and without a header.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zep::streamer {

inline constexpr std::uint16_t kStreamServerPort = 23879;
inline constexpr std::uint16_t kStreamClientPort = 23880;
inline constexpr std::size_t kStreamRequestSize = 100;
inline constexpr std::uint8_t kStreamRequestTag = 'o';
// The clip name field: the name and its terminating NUL.
inline constexpr std::size_t kClipNameField = 9;
inline constexpr std::size_t kMaxClipName = kClipNameField - 1;
inline constexpr std::size_t kStreamDatagramBytes = 1600;
inline constexpr const char* kDefaultClip = "clip.aud";

using StreamRequest = std::array<std::uint8_t, kStreamRequestSize>;

// The request for a clip; none when the name is empty or does not fit the field.
std::optional<StreamRequest> encodeStreamRequest(std::string_view clip);

// The clip a request names. None, with *why saying what is wrong, unless the datagram has
// exactly the request's layout: 100 bytes, the tag, a name of printable characters ended by a
// NUL inside its field, zeros after it, and a name that is a plain file name (no path
// separators, not "." or "..") so that it cannot reach outside a clip folder.
std::optional<std::string> parseStreamRequest(std::span<const std::uint8_t> datagram,
                                              std::string* why);

}  // namespace zep::streamer
