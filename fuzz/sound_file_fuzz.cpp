// A sound file of any content, as the file devices and the ring read one (ZEP_AUDIO_IN=file:,
// RINGIN.WAV): read through a file that exists only in memory.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/audio.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int fd = ::memfd_create("sound", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (::write(fd, data, size) == static_cast<ssize_t>(size)) {
    std::vector<std::int16_t> samples;
    std::string error;
    zep::sound::readSoundFile("/proc/self/fd/" + std::to_string(fd), &samples, &error);
  }
  ::close(fd);
  return 0;
}
