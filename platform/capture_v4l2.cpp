// Real cameras through libv4l2, whose conversion delivers blue-green-red pixels from whatever the
// device sends. YVU9 comes from devices that offer it themselves, or, when RGB24 is refused on
// purpose, from the blue-green-red picture. Pictures of another size are scaled.
#include <dirent.h>
#include <fcntl.h>
#include <libv4l2.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/capture_backend.h"

namespace zep::capture {

namespace {

constexpr const char* kDefaultDevice = "/dev/video0";

int xioctl(int fd, unsigned long request, void* arg) {
  int r;
  do r = v4l2_ioctl(fd, request, arg);
  while (r == -1 && errno == EINTR);
  return r;
}

bool isCaptureDevice(const v4l2_capability& cap) {
  std::uint32_t caps =
      (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
  return (caps & V4L2_CAP_VIDEO_CAPTURE) != 0;
}

std::string cardName(const v4l2_capability& cap) {
  const char* card = reinterpret_cast<const char*>(cap.card);
  return std::string(card, strnlen(card, sizeof cap.card));
}

class V4l2Camera final : public StreamingCamera {
 public:
  explicit V4l2Camera(const CaptureOptions& options) : StreamingCamera(options) {}
  ~V4l2Camera() override {
    stop();
    if (fd_ >= 0) v4l2_close(fd_);
  }

  bool open(const std::string& path, std::string* error) {
    path_ = path;
    fd_ = v4l2_open(path.c_str(), O_RDWR | O_NONBLOCK);
    if (fd_ < 0) {
      *error = "cannot open camera " + path + ": " + std::strerror(errno);
      return false;
    }
    v4l2_capability cap{};
    if (xioctl(fd_, VIDIOC_QUERYCAP, &cap) != 0 || !isCaptureDevice(cap)) {
      *error = path + " is not a camera";
      return false;
    }
    v4l2_fmtdesc desc{};
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (desc.index = 0; xioctl(fd_, VIDIOC_ENUM_FMT, &desc) == 0; ++desc.index)
      if (desc.pixelformat == V4L2_PIX_FMT_YVU410 && !(desc.flags & V4L2_FMT_FLAG_EMULATED))
        nativeYvu9_ = true;
    if (!acceptFormat(format())) {
      *error = "camera " + path + " delivers no picture in a format we take";
      return false;
    }
    return true;
  }

  void setFramePeriod(int ms) override {
    StreamingCamera::setFramePeriod(ms);
    if (fd_ >= 0) requestPeriod(std::max(1, ms));
  }

 private:
  // Sets the device's format for the wanted one: its own YVU9, or blue-green-red (converted by
  // libv4l2 where the device sends something else).
  bool acceptFormat(const Format& wanted) override {
    const bool yvu9 = wanted.pixel == PixelFormat::kYvu9;
    if (yvu9 && !nativeYvu9_ && !refuseRgb24_) return false;
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = static_cast<std::uint32_t>(wanted.width);
    fmt.fmt.pix.height = static_cast<std::uint32_t>(wanted.height);
    fmt.fmt.pix.pixelformat = yvu9 && nativeYvu9_ ? V4L2_PIX_FMT_YVU410 : V4L2_PIX_FMT_BGR24;
    fmt.fmt.pix.field = V4L2_FIELD_ANY;
    const auto asked = fmt.fmt.pix.pixelformat;
    if (xioctl(fd_, VIDIOC_S_FMT, &fmt) != 0 || fmt.fmt.pix.pixelformat != asked) return false;
    const auto& pix = fmt.fmt.pix;
    if (pix.width == 0 || pix.height == 0) return false;
    device_ = pix;
    if (device_.bytesperline == 0)
      device_.bytesperline = asked == V4L2_PIX_FMT_BGR24 ? pix.width * 3 : pix.width;
    const std::size_t need = asked == V4L2_PIX_FMT_BGR24
                                 ? std::size_t{device_.bytesperline} * pix.height
                                 : std::size_t{device_.bytesperline} * pix.height * 9 / 8;
    if (device_.sizeimage < need) device_.sizeimage = static_cast<std::uint32_t>(need);
    return true;
  }

  bool prepare(std::string* error) override {
    const Format& f = streamFormat();
    const auto source = device_.pixelformat == V4L2_PIX_FMT_YVU410 ? Scaler::Source::kYvu410
                                                                   : Scaler::Source::kBgr24;
    if (!scaler_.open(static_cast<int>(device_.width), static_cast<int>(device_.height), source, f,
                      error))
      return false;
    raw_.resize(device_.sizeimage);
    out_.resize(frameSize(f));
    requestPeriod(framePeriodMs());
    return true;
  }

  void run(const std::stop_token& stop) override {
    std::uint64_t nextDue = 0;
    bool first = true;
    while (!stop.stop_requested()) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(fd_, &readable);
      timeval timeout{0, 100000};
      int ready = ::select(fd_ + 1, &readable, nullptr, nullptr, &timeout);
      if (ready < 0 && errno != EINTR) {
        fail("camera " + path_ + " stopped: " + std::strerror(errno));
        return;
      }
      if (ready <= 0) continue;
      ssize_t got = v4l2_read(fd_, raw_.data(), raw_.size());
      if (got < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        fail("camera " + path_ + " stopped: " + std::strerror(errno));
        return;
      }
      if (got == 0) continue;
      // The device may run faster than asked: keep one frame a period.
      const std::uint64_t now = clock_.nowMicros();
      const std::uint64_t period = std::uint64_t{static_cast<unsigned>(framePeriodMs())} * 1000;
      const std::uint64_t slack = std::min<std::uint64_t>(period / 4, 10000);
      if (!first && now + slack < nextDue) continue;
      nextDue = first || now > nextDue + period ? now + period : nextDue + period;
      first = false;
      convert();
      deliver(out_, now);
    }
  }

  void convert() {
    const std::uint8_t* data = raw_.data();
    const int stride = static_cast<int>(device_.bytesperline);
    if (device_.pixelformat == V4L2_PIX_FMT_YVU410) {
      const std::size_t luma = std::size_t{device_.bytesperline} * device_.height;
      const std::size_t chroma = luma / 16;
      const std::uint8_t* planes[3] = {data, data + luma, data + luma + chroma};
      const int strides[3] = {stride, stride / 4, stride / 4};
      scaler_.scale(planes, strides, out_);
    } else {
      const std::uint8_t* planes[3] = {data, nullptr, nullptr};
      const int strides[3] = {stride, 0, 0};
      scaler_.scale(planes, strides, out_);
    }
  }

  // Asks the device for its longest frame interval within the period (run() drops the frames
  // beyond it), or, when every interval is longer, for its shortest.
  void requestPeriod(int ms) {
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd_, VIDIOC_G_PARM, &parm) != 0 ||
        !(parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME))
      return;
    v4l2_fract interval{static_cast<std::uint32_t>(ms), 1000};
    v4l2_frmivalenum ival{};
    ival.pixel_format = device_.pixelformat;
    ival.width = device_.width;
    ival.height = device_.height;
    auto micros = [](const v4l2_fract& f) {
      return f.denominator ? std::uint64_t{f.numerator} * 1000000 / f.denominator : 0;
    };
    const std::uint64_t wanted = std::uint64_t(ms) * 1000;
    std::uint64_t fit = 0, faster = 0;  // the longest within the period; the shortest beyond it
    v4l2_fract fitInterval{}, fasterInterval{};
    for (ival.index = 0; xioctl(fd_, VIDIOC_ENUM_FRAMEINTERVALS, &ival) == 0 &&
                         ival.type == V4L2_FRMIVAL_TYPE_DISCRETE;
         ++ival.index) {
      const auto us = micros(ival.discrete);
      if (us == 0) continue;
      if (us <= wanted && us > fit) {
        fit = us;
        fitInterval = ival.discrete;
      } else if (us > wanted && (faster == 0 || us < faster)) {
        faster = us;
        fasterInterval = ival.discrete;
      }
    }
    if (fit != 0)
      interval = fitInterval;
    else if (faster != 0)
      interval = fasterInterval;
    parm.parm.capture.timeperframe = interval;
    xioctl(fd_, VIDIOC_S_PARM, &parm);  // refused while streaming by some drivers: run() drops
  }

  std::string path_;
  int fd_ = -1;
  bool nativeYvu9_ = false;
  v4l2_pix_format device_{};
  Scaler scaler_;
  std::vector<std::uint8_t> raw_;
  std::vector<std::uint8_t> out_;
};

std::vector<DeviceInfo> listCameras() {
  std::vector<int> numbers;
  if (DIR* dir = ::opendir("/dev")) {
    while (dirent* entry = ::readdir(dir)) {
      const char* name = entry->d_name;
      if (std::strncmp(name, "video", 5) != 0 || !name[5]) continue;
      if (!std::all_of(name + 5, name + std::strlen(name),
                       [](char c) { return c >= '0' && c <= '9'; }))
        continue;
      numbers.push_back(std::atoi(name + 5));
    }
    ::closedir(dir);
  }
  std::sort(numbers.begin(), numbers.end());
  std::vector<DeviceInfo> out;
  for (int n : numbers) {
    std::string path = "/dev/video" + std::to_string(n);
    int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK);
    if (fd < 0) continue;
    v4l2_capability cap{};
    int r;
    do r = ::ioctl(fd, VIDIOC_QUERYCAP, &cap);
    while (r == -1 && errno == EINTR);
    ::close(fd);
    if (r == 0 && isCaptureDevice(cap))
      out.push_back({"v4l2:" + path, cardName(cap) + " (" + path + ")"});
  }
  return out;
}

}  // namespace

void addV4l2Backend(CameraRegistry& registry) {
  registry.add("v4l2", devices::Argument::kOptional, "v4l2[:/dev/videoN]",
               CameraBackend{[](const std::string& path, const CaptureOptions& options,
                                std::string* error) -> std::unique_ptr<Camera> {
                               auto camera = std::make_unique<V4l2Camera>(options);
                               if (!camera->open(path.empty() ? kDefaultDevice : path, error))
                                 return nullptr;
                               return camera;
                             },
                             listCameras});
}

}  // namespace zep::capture
