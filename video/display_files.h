// What every display showed, for checking from outside: with ZEP_VIDEO_OUT=dir:PATH each
// display slot writes every picture it paints to PATH/slot-NN.y4m (NN = 00-19 for members,
// 20 for the Mirror; 176 x 144, 4:2:0) and the moment it painted it, in monotonic
// microseconds, as one line of PATH/slot-NN.times.
#pragma once

#include <array>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "codecs/picture.h"

namespace zep::video {

class DisplayFiles {
 public:
  explicit DisplayFiles(std::string directory) : directory_(std::move(directory)) {}
  ~DisplayFiles();
  // Null when ZEP_VIDEO_OUT is unset; *error says why a setting cannot be used.
  static std::unique_ptr<DisplayFiles> fromEnvironment(std::string* error);

  void write(int slot, const picture::VideoFrame420& frame, std::uint64_t micros);
  const std::string& directory() const { return directory_; }

 private:
  struct File {
    std::mutex mutex;
    std::FILE* pictures = nullptr;
    std::FILE* times = nullptr;
    bool failed = false;
  };
  std::string directory_;
  std::array<File, 21> files_;
};

}  // namespace zep::video
