// video.cfg of any content: read, applied as a connection name, written back.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "video/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zep::video;
  static const std::string path = "/tmp/video-cfg-fuzz-" + std::to_string(::getpid());
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  std::string name;
  if (read_settings(path, &name)) {
    if (name.size() > 19) __builtin_trap();
    VideoSettings s;
    apply_connection(s, name);
    write_settings(path, s.connection);
  }
  std::remove(path.c_str());
  return 0;
}
