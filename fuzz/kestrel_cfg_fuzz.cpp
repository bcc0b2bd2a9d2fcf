// Kestrel.cfg of any length and content: decoded, made usable, applied and written back
// unchanged.
#include <cstdint>
#include <span>

#include "kestrel/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zep::kestrel;
  KestrelSettings s = decodeSettings(std::span(data, size));
  auto again = decodeSettings(encodeSettings(s));
  if (again.name != s.name || again.frameRate != s.frameRate) __builtin_trap();
  auto u = usable(s);
  if (u.frameRate < kMinFrameRate || u.frameRate > kMaxFrameRate) __builtin_trap();
  applyPreset(s);
  return 0;
}
