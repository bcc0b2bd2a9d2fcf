// The file camera: a Y4M file of any size and rate, scaled to the capture size and played in
// real time (the file's own rate against the clock), looping at its end.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/capture_backend.h"
#include "platform/y4m.h"

namespace zep::capture {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::string systemError() {
  return std::strerror(errno);
}

// Reads the frames of a Y4M file by number. The file is opened again at every loop, so a file
// that was removed, cut or replaced meanwhile is noticed.
class Y4mReader {
 public:
  bool open(const std::string& path, std::string* error) {
    path_ = path;
    if (!reopen(error)) return false;
    if (fileSize_ < header_.headerBytes + 6 + header_.frameBytes) {
      *error = "camera file " + path_ + " holds no whole frame";
      return false;
    }
    frame_.resize(header_.frameBytes);
    return read(0, error);
  }

  // Makes frame() file frame `index`, counted without bound: the file loops at its end.
  bool read(std::uint64_t index, std::string* error) {
    for (int ends = 0; ends < 3;) {
      if (count_ != 0) index %= count_;
      if (loaded_ && index == loadedIndex_) return true;
      if (index < position_ && !reopen(error)) return false;
      Step step = Step::kDone;
      while (position_ < index && (step = next(false, error)) == Step::kDone) ++position_;
      if (step == Step::kDone) step = next(true, error);
      if (step == Step::kError) return false;
      if (step == Step::kDone) {
        loaded_ = true;
        loadedIndex_ = position_++;
        return true;
      }
      // The end, or a frame cut short: what came before is the whole file.
      count_ = position_;
      if (count_ == 0) {
        *error = "camera file " + path_ + " holds no whole frame";
        return false;
      }
      ++ends;
    }
    *error = "camera file " + path_ + " keeps changing";
    return false;
  }

  const y4m::Header& header() const { return header_; }
  const std::vector<std::uint8_t>& frame() const { return frame_; }

 private:
  enum class Step { kDone, kEnd, kError };

  bool reopen(std::string* error) {
    file_.reset(std::fopen(path_.c_str(), "rb"));
    loaded_ = false;
    position_ = 0;
    if (!file_) {
      *error = "cannot open camera file " + path_ + ": " + systemError();
      return false;
    }
    struct stat info {};
    if (::fstat(::fileno(file_.get()), &info) != 0) {
      *error = "camera file " + path_ + " cannot be read: " + systemError();
      return false;
    }
    fileSize_ = static_cast<std::uint64_t>(info.st_size);
    std::vector<std::uint8_t> line(y4m::kMaxLine);
    line.resize(std::fread(line.data(), 1, line.size(), file_.get()));
    if (std::ferror(file_.get())) {
      *error = "camera file " + path_ + " cannot be read: " + systemError();
      return false;
    }
    std::string why;
    auto header = y4m::parseHeader(line, &why);
    if (!header) {
      *error = "camera file " + path_ + ": " + why;
      return false;
    }
    if (header_.width != 0 &&
        (header->width != header_.width || header->height != header_.height ||
         header->chroma != header_.chroma || header->headerBytes != header_.headerBytes)) {
      *error = "camera file " + path_ + " changed its picture format";
      return false;
    }
    header_ = *header;
    if (std::fseek(file_.get(), static_cast<long>(header_.headerBytes), SEEK_SET) != 0) {
      *error = "camera file " + path_ + " cannot be read: " + systemError();
      return false;
    }
    return true;
  }

  // Reads the next frame (or skips it); kEnd at the end of the file or a frame cut short.
  Step next(bool keep, std::string* error) {
    std::FILE* f = file_.get();
    std::vector<std::uint8_t> line;
    for (int c; line.size() < y4m::kMaxLine && (c = std::getc(f)) != EOF;) {
      line.push_back(static_cast<std::uint8_t>(c));
      if (c == '\n') break;
    }
    if (std::ferror(f)) {
      *error = "camera file " + path_ + " cannot be read: " + systemError();
      return Step::kError;
    }
    if (line.empty() || (line.back() != '\n' && std::feof(f))) return Step::kEnd;
    std::string why;
    if (!y4m::parseFrameLine(line, &why)) {
      *error = "camera file " + path_ + ": " + why;
      return Step::kError;
    }
    if (!keep) {
      auto at = static_cast<std::uint64_t>(std::ftell(f));
      if (at + header_.frameBytes > fileSize_) return Step::kEnd;
      if (std::fseek(f, static_cast<long>(header_.frameBytes), SEEK_CUR) != 0) {
        *error = "camera file " + path_ + " cannot be read: " + systemError();
        return Step::kError;
      }
      return Step::kDone;
    }
    loaded_ = false;
    std::size_t got = std::fread(frame_.data(), 1, frame_.size(), f);
    if (std::ferror(f)) {
      *error = "camera file " + path_ + " cannot be read: " + systemError();
      return Step::kError;
    }
    return got == frame_.size() ? Step::kDone : Step::kEnd;
  }

  std::string path_;
  FilePtr file_;
  std::uint64_t fileSize_ = 0;
  y4m::Header header_;
  std::vector<std::uint8_t> frame_;
  std::uint64_t position_ = 0;  // the number of the frame the file is at
  std::uint64_t count_ = 0;     // whole frames in the file; 0 until its end was seen
  bool loaded_ = false;
  std::uint64_t loadedIndex_ = 0;
};

Scaler::Source sourceOf(y4m::Chroma chroma) {
  switch (chroma) {
    case y4m::Chroma::k422:
      return Scaler::Source::kYuv422;
    case y4m::Chroma::k444:
      return Scaler::Source::kYuv444;
    case y4m::Chroma::k420:
    case y4m::Chroma::kMono:
      return Scaler::Source::kYuv420;
  }
  return Scaler::Source::kYuv420;
}

class FileCamera final : public StreamingCamera {
 public:
  explicit FileCamera(const CaptureOptions& options) : StreamingCamera(options) {}
  ~FileCamera() override { stop(); }

  bool open(const std::string& path, std::string* error) {
    if (!reader_.open(path, error)) return false;
    const auto& h = reader_.header();
    if (h.chroma == y4m::Chroma::kMono)
      grey_.assign(static_cast<std::size_t>(((h.width + 1) / 2) * ((h.height + 1) / 2)), 128);
    return scaler_.open(h.width, h.height, sourceOf(h.chroma), format(), error);
  }

 private:
  bool acceptFormat(const Format&) override { return true; }
  bool prepare(std::string* error) override {
    const auto& h = reader_.header();
    if (!scaler_.open(h.width, h.height, sourceOf(h.chroma), streamFormat(), error)) return false;
    out_.resize(frameSize(streamFormat()));
    return true;
  }
  void run(const std::stop_token& stop) override {
    const auto& h = reader_.header();
    std::uint64_t first = 0;
    bool haveScaled = false;
    std::uint64_t scaledIndex = 0;
    for (bool started = false;; started = true) {
      std::uint64_t due = 0;
      if (!waitForFrame(stop, &due)) return;
      if (!started) first = due;
      // The file's frame at this moment of its own timeline.
      const auto index =
          static_cast<std::uint64_t>(static_cast<long double>(due - first) * h.rateNumerator /
                                     (static_cast<long double>(h.rateDenominator) * 1000000.0L));
      std::string error;
      if (!reader_.read(index, &error)) {
        fail(error);
        return;
      }
      const std::uint64_t fileIndex = index;
      if (!haveScaled || fileIndex != scaledIndex) scale();
      haveScaled = true;
      scaledIndex = fileIndex;
      deliver(out_, due);
    }
  }

  void scale() {
    const auto& h = reader_.header();
    const std::uint8_t* data = reader_.frame().data();
    const std::size_t luma = static_cast<std::size_t>(h.width) * static_cast<std::size_t>(h.height);
    const auto chroma =
        static_cast<std::size_t>(h.chromaWidth()) * static_cast<std::size_t>(h.chromaHeight());
    const std::uint8_t* planes[3] = {data, data + luma, data + luma + chroma};
    int strides[3] = {h.width, h.chromaWidth(), h.chromaWidth()};
    if (h.chroma == y4m::Chroma::kMono) {
      planes[1] = planes[2] = grey_.data();
      strides[1] = strides[2] = (h.width + 1) / 2;
    }
    scaler_.scale(planes, strides, out_);
  }

  Y4mReader reader_;
  Scaler scaler_;
  std::vector<std::uint8_t> grey_;  // neutral chrominance for a luminance-only file
  std::vector<std::uint8_t> out_;
};

}  // namespace

void addFileBackend(CameraRegistry& registry) {
  registry.add("file", devices::Argument::kRequired, "file:PATH (a Y4M file)",
               CameraBackend{[](const std::string& path, const CaptureOptions& options,
                                std::string* error) -> std::unique_ptr<Camera> {
                               auto camera = std::make_unique<FileCamera>(options);
                               if (!camera->open(path, error)) return nullptr;
                               return camera;
                             },
                             {}});
}

}  // namespace zep::capture
