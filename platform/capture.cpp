#include "platform/capture.h"

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/capture_backend.h"
#include "platform/host.h"

namespace zep::capture {

std::size_t frameSize(const Format& format) {
  auto pixels = static_cast<std::size_t>(std::max(0, format.width)) *
                static_cast<std::size_t>(std::max(0, format.height));
  if (format.pixel == PixelFormat::kRgb24) return pixels * 3;
  return pixels + 2 * (pixels / 16);
}

clock::Clock& clockOf(const CaptureOptions& options) {
  static clock::RealClock real;
  return options.clock ? *options.clock : real;
}

// --- the streaming thread ---

StreamingCamera::StreamingCamera(const CaptureOptions& options)
    : clock_(clockOf(options)), refuseRgb24_(options.refuseRgb24) {
  if (refuseRgb24_) format_.pixel = PixelFormat::kYvu9;
  format_.width = options.width;
  format_.height = options.height;
}

StreamingCamera::~StreamingCamera() = default;

bool StreamingCamera::setFormat(const Format& format) {
  if (format.width != kCaptureWidth || format.height != kCaptureHeight) return false;
  if (format.pixel == PixelFormat::kRgb24 && refuseRgb24_) return false;
  std::lock_guard lock(mutex_);
  if (streaming_) return false;
  if (!acceptFormat(format)) return false;
  format_ = format;
  return true;
}

Format StreamingCamera::format() const {
  std::lock_guard lock(mutex_);
  return format_;
}

void StreamingCamera::setFramePeriod(int ms) {
  periodMs_ = std::max(1, ms);
}

bool StreamingCamera::start(FrameCallback onFrame, ErrorCallback onError, std::string* error) {
  std::lock_guard lock(mutex_);
  if (streaming_) {
    *error = "the camera is streaming already";
    return false;
  }
  // A stream that ended with an error left its thread to be joined.
  if (thread_.joinable()) thread_.join();
  streamFormat_ = format_;
  if (!prepare(error)) return false;
  onFrame_ = std::move(onFrame);
  onError_ = std::move(onError);
  number_ = 0;
  startMicros_ = lastDueMicros_ = clock_.nowMicros();
  streaming_ = true;
  thread_ = std::jthread([this](std::stop_token stop) {
    run(stop);
    streaming_ = false;
  });
  return true;
}

void StreamingCamera::stop() {
  std::jthread thread;
  {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
      // From a callback: the loop ends once the callback returns.
      thread_.request_stop();
      return;
    }
    thread = std::move(thread_);
  }
  thread.request_stop();
  thread.join();
  streaming_ = false;
}

void StreamingCamera::deliver(std::span<const std::uint8_t> data, std::uint64_t capturedMicros) {
  Frame frame;
  frame.data = data;
  frame.format = streamFormat_;
  frame.number = number_++;
  frame.capturedMicros = capturedMicros;
  if (onFrame_) onFrame_(frame);
}

void StreamingCamera::fail(const std::string& text) {
  streaming_ = false;
  if (onError_) onError_(text);
}

bool StreamingCamera::waitForFrame(const std::stop_token& stop, std::uint64_t* dueMicros) {
  for (;;) {
    if (stop.stop_requested()) return false;
    const std::uint64_t period = std::uint64_t{static_cast<unsigned>(periodMs_.load())} * 1000;
    std::uint64_t due = lastDueMicros_ + period;
    const std::uint64_t now = clock_.nowMicros();
    if (now >= due) {
      // More than a frame behind (a stalled machine): go on from now, without a burst.
      if (now > due + period) due = now;
      lastDueMicros_ = due;
      *dueMicros = due;
      return true;
    }
    // In steps, so a new period takes effect at once.
    if (!clock_.waitUntilMicros(std::min(due, now + 20000), stop)) return false;
  }
}

// --- scaling ---

Scaler::~Scaler() {
  if (context_) sws_freeContext(context_);
}

namespace {

AVPixelFormat avFormat(Scaler::Source source) {
  switch (source) {
    case Scaler::Source::kYuv420:
      return AV_PIX_FMT_YUV420P;
    case Scaler::Source::kYuv422:
      return AV_PIX_FMT_YUV422P;
    case Scaler::Source::kYuv444:
      return AV_PIX_FMT_YUV444P;
    case Scaler::Source::kBgr24:
      return AV_PIX_FMT_BGR24;
    case Scaler::Source::kYvu410:
      return AV_PIX_FMT_YUV410P;
  }
  return AV_PIX_FMT_NONE;
}

// Rows of the scaler's output start at multiples of this, as libswscale likes them.
constexpr int kAlign = 32;
int aligned(int n) {
  return (n + kAlign - 1) / kAlign * kAlign;
}

}  // namespace

bool Scaler::open(int width, int height, Source source, const Format& target, std::string* error) {
  if (context_) sws_freeContext(context_);
  source_ = source;
  target_ = target;
  sourceHeight_ = height;
  const AVPixelFormat to =
      target.pixel == PixelFormat::kRgb24 ? AV_PIX_FMT_BGR24 : AV_PIX_FMT_YUV410P;
  context_ = sws_getContext(width, height, avFormat(source), target.width, target.height, to,
                            SWS_BICUBIC, nullptr, nullptr, nullptr);
  if (!context_) {
    *error = "cannot scale pictures of " + std::to_string(width) + " x " + std::to_string(height);
    return false;
  }
  if (target.pixel == PixelFormat::kRgb24) {
    strides_ = {aligned(target.width * 3), 0, 0};
    rows_.assign(static_cast<std::size_t>(strides_[0] * target.height), 0);
  } else {
    strides_ = {aligned(target.width), aligned(target.width / 4), aligned(target.width / 4)};
    rows_.assign(static_cast<std::size_t>(strides_[0] * target.height +
                                          2 * strides_[1] * (target.height / 4)),
                 0);
  }
  return true;
}

void Scaler::scale(const std::uint8_t* const planes[3], const int strides[3],
                   std::span<std::uint8_t> out) {
  if (!context_ || out.size() < frameSize(target_)) return;
  const std::uint8_t* src[4] = {planes[0], planes[1], planes[2], nullptr};
  int srcStrides[4] = {strides[0], strides[1], strides[2], 0};
  if (source_ == Source::kYvu410) {
    std::swap(src[1], src[2]);
    std::swap(srcStrides[1], srcStrides[2]);
  }
  const int w = target_.width, h = target_.height;
  std::uint8_t* base = rows_.data();
  if (target_.pixel == PixelFormat::kRgb24) {
    std::uint8_t* dst[4] = {base, nullptr, nullptr, nullptr};
    int dstStrides[4] = {strides_[0], 0, 0, 0};
    sws_scale(context_, src, srcStrides, 0, sourceHeight_, dst, dstStrides);
    // Rows bottom to top.
    const auto row = static_cast<std::size_t>(w * 3);
    for (int y = 0; y < h; ++y)
      std::memcpy(out.data() + static_cast<std::size_t>(h - 1 - y) * row,
                  base + static_cast<std::size_t>(y * strides_[0]), row);
    return;
  }
  // Planar: luminance, then V, then U.
  std::uint8_t* u = base + strides_[0] * h;
  std::uint8_t* v = u + strides_[1] * (h / 4);
  std::uint8_t* dst[4] = {base, u, v, nullptr};
  int dstStrides[4] = {strides_[0], strides_[1], strides_[2], 0};
  sws_scale(context_, src, srcStrides, 0, sourceHeight_, dst, dstStrides);
  const auto cw = static_cast<std::size_t>(w / 4), ch = static_cast<std::size_t>(h / 4);
  std::uint8_t* o = out.data();
  for (int y = 0; y < h; ++y, o += w)
    std::memcpy(o, base + y * strides_[0], static_cast<std::size_t>(w));
  for (std::size_t y = 0; y < ch; ++y, o += cw) std::memcpy(o, v + y * strides_[2], cw);
  for (std::size_t y = 0; y < ch; ++y, o += cw) std::memcpy(o, u + y * strides_[1], cw);
}

void bgrToYvu9(const std::uint8_t* bgr, int width, int height, std::span<std::uint8_t> out) {
  const int cw = width / 4, ch = height / 4;
  const auto pixels = static_cast<std::size_t>(width * height);
  if (out.size() < pixels + 2 * static_cast<std::size_t>(cw * ch)) return;
  std::uint8_t* y = out.data();
  std::uint8_t* v = y + pixels;
  std::uint8_t* u = v + cw * ch;
  std::vector<int> uSum(static_cast<std::size_t>(cw * ch)), vSum(uSum.size());
  for (int row = 0; row < height; ++row)
    for (int col = 0; col < width; ++col) {
      const std::uint8_t* p = bgr + (row * width + col) * 3;
      const int b = p[0], g = p[1], r = p[2];
      y[row * width + col] =
          static_cast<std::uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
      if (row / 4 < ch && col / 4 < cw) {
        auto i = static_cast<std::size_t>(row / 4 * cw + col / 4);
        uSum[i] += ((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128;
        vSum[i] += ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128;
      }
    }
  for (std::size_t i = 0; i < uSum.size(); ++i) {
    u[i] = static_cast<std::uint8_t>((uSum[i] + 8) / 16);
    v[i] = static_cast<std::uint8_t>((vSum[i] + 8) / 16);
  }
}

// --- the backends by name ---

namespace {

struct BuiltinBackends {
  CameraRegistry registry{"camera"};
  BuiltinBackends() {
    addV4l2Backend(registry);
    addFileBackend(registry);
    addPatternBackend(registry);
    registry.add("none", devices::Argument::kNone, "none",
                 CameraBackend{[](const std::string&, const CaptureOptions&, std::string* error) {
                                 *error = "no camera";
                                 return std::unique_ptr<Camera>();
                               },
                               {}});
  }
};

}  // namespace

CameraRegistry& cameraBackends() {
  static BuiltinBackends builtin;
  return builtin.registry;
}

CaptureSystem::CaptureSystem(std::string choice, CaptureOptions options)
    : choice_(std::move(choice)), parsed_(devices::parseChoice(choice_)), options_(options) {}

CaptureSystem CaptureSystem::fromEnvironment(clock::Clock& clock) {
  CaptureOptions options;
  options.clock = &clock;
  auto format = host::environment("ZEP_CAMERA_FORMAT");
  if (format == "yvu9" || format == "YVU9")
    options.refuseRgb24 = true;
  else if (!format.empty() && format != "rgb24" && format != "RGB24")
    std::fprintf(stderr, "Capture: ZEP_CAMERA_FORMAT=%s is not yvu9 or rgb24 -- ignored\n",
                 format.c_str());
  auto size = host::environment("ZEP_CAMERA_SIZE");
  int w = 0, h = 0;
  char end = 0;
  if (std::sscanf(size.c_str(), "%dx%d%c", &w, &h, &end) == 2 && w >= 16 && h >= 16 && w <= 4096 &&
      h <= 4096 && w % 4 == 0 && h % 4 == 0) {
    options.width = w;
    options.height = h;
  } else if (!size.empty()) {
    std::fprintf(stderr,
                 "Capture: ZEP_CAMERA_SIZE=%s is not WIDTHxHEIGHT (multiples of 4, 16 to 4096) "
                 "-- ignored\n",
                 size.c_str());
  }
  auto choice = host::environment("ZEP_CAMERA");
  return CaptureSystem(choice.empty() ? "v4l2" : choice, options);
}

std::unique_ptr<Camera> CaptureSystem::connect(std::string* error) {
  auto backend = cameraBackends().find(parsed_, error);
  if (!backend) return nullptr;
  auto camera = backend->connect(parsed_.argument, options_, error);
  if (!camera && error->empty()) *error = "camera '" + choice_ + "' cannot be opened";
  return camera;
}

std::vector<DeviceInfo> CaptureSystem::devices() {
  std::vector<DeviceInfo> out;
  for (const auto& [name, backend] : cameraBackends().all())
    if (backend.list)
      for (auto& device : backend.list()) out.push_back(std::move(device));
  // Real cameras first.
  std::stable_partition(out.begin(), out.end(),
                        [](const DeviceInfo& d) { return d.choice.rfind("v4l2:", 0) == 0; });
  return out;
}

}  // namespace zep::capture
