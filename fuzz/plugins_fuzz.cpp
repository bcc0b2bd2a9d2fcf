// PLUGINS.CFG reading on arbitrary text.
#include <cstdint>
#include <string_view>

#include "manager/plugins.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const auto& p : zep::manager::parsePlugins(text, "/install")) {
    if (p.path.size() > zep::manager::kPluginPathField) __builtin_trap();
  }
  return 0;
}
