#include "video/display_files.h"

#include <filesystem>

#include "platform/host.h"

namespace zep::video {

DisplayFiles::~DisplayFiles() {
  for (auto& f : files_) {
    if (f.pictures) std::fclose(f.pictures);
    if (f.times) std::fclose(f.times);
  }
}

std::unique_ptr<DisplayFiles> DisplayFiles::fromEnvironment(std::string* error) {
  std::string choice = host::environment("ZEP_VIDEO_OUT");
  if (choice.empty()) return nullptr;
  if (choice.rfind("dir:", 0) != 0 || choice.size() == 4) {
    *error = "ZEP_VIDEO_OUT must be dir:PATH, not \"" + choice + "\"";
    return nullptr;
  }
  std::string directory = choice.substr(4);
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec) {
    *error = "cannot make the folder " + directory + ": " + ec.message();
    return nullptr;
  }
  return std::make_unique<DisplayFiles>(directory);
}

void DisplayFiles::write(int slot, const picture::VideoFrame420& frame, std::uint64_t micros) {
  if (slot < 0 || slot >= static_cast<int>(files_.size())) return;
  File& f = files_[slot];
  std::lock_guard lock(f.mutex);
  if (f.failed) return;
  if (!f.pictures) {
    char name[32];
    std::snprintf(name, sizeof name, "slot-%02d", slot);
    std::string base = directory_ + "/" + name;
    f.pictures = std::fopen((base + ".y4m").c_str(), "wb");
    f.times = std::fopen((base + ".times").c_str(), "w");
    if (!f.pictures || !f.times) {
      std::fprintf(stderr, "Video: cannot write %s.y4m\n", base.c_str());
      f.failed = true;
      return;
    }
    std::fputs("YUV4MPEG2 W176 H144 F10:1 Ip A1:1 C420jpeg\n", f.pictures);
  }
  std::fputs("FRAME\n", f.pictures);
  std::fwrite(frame.bytes.data(), 1, frame.bytes.size(), f.pictures);
  std::fflush(f.pictures);
  std::fprintf(f.times, "%llu\n", static_cast<unsigned long long>(micros));
  std::fflush(f.times);
}

}  // namespace zep::video
