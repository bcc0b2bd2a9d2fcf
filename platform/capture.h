// Cameras: a connected capture driver offers formats, delivers frames on its own thread at a
// settable period, and is started and stopped. Backends, chosen at run time by name
// `name[:argument]` (ZEP_CAMERA):
//   v4l2[:/dev/videoN]  a real camera through libv4l2 (the default, /dev/video0)
//   file:PATH           a Y4M file of any size and rate, scaled to the capture size, delivered
//                       in real time at the requested period, looping at its end
//   pattern[:TEXT]      a moving test pattern, the same for the same frame number, with TEXT
//                       drawn large across it
//   none                no camera: connecting fails
// ZEP_CAMERA_FORMAT=yvu9 makes every backend refuse RGB24, so the YVU9 path runs anywhere.
// ZEP_CAMERA_SIZE=WxH is the picture size a camera is set to when connected (a program that
// takes the driver's current format as it is sees that size; one that sets a format of its
// own replaces it).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/devices.h"

namespace zep::capture {

inline constexpr int kCaptureWidth = 240;
inline constexpr int kCaptureHeight = 180;

enum class PixelFormat {
  kRgb24,  // 3 bytes a pixel, blue green red, rows bottom to top
  kYvu9,   // planar: luminance, then V and U at one sample per 4 x 4 pixels, rows top to bottom
};

struct Format {
  int width = kCaptureWidth;
  int height = kCaptureHeight;
  PixelFormat pixel = PixelFormat::kRgb24;
};

// Bytes of one frame in a format.
std::size_t frameSize(const Format& format);

struct Frame {
  std::span<const std::uint8_t> data;  // frameSize(format) bytes, valid during the callback
  Format format;
  std::uint32_t number = 0;          // counts from 0 at each start
  std::uint64_t capturedMicros = 0;  // on the camera's clock
};

using FrameCallback = std::function<void(const Frame&)>;
// The camera stopped for good (unplugged, file unreadable); the text says why.
using ErrorCallback = std::function<void(const std::string&)>;

// One connected capture driver.
class Camera {
 public:
  virtual ~Camera() = default;  // stops streaming and disconnects
  // Offers a format; false when the driver refuses it (the current one stays).
  virtual bool setFormat(const Format& format) = 0;
  virtual Format format() const = 0;
  // The requested time between frames; takes effect at once, also while streaming.
  virtual void setFramePeriod(int ms) = 0;
  // Streams frames to onFrame on the driver's own thread until stop(). False with *error
  // when streaming cannot start.
  virtual bool start(FrameCallback onFrame, ErrorCallback onError, std::string* error) = 0;
  // Returns once no callback runs any more. Called from a callback, it ends the stream once
  // that callback returns.
  virtual void stop() = 0;
};

struct DeviceInfo {
  std::string choice;       // what to pass to connect(), e.g. "v4l2:/dev/video0"
  std::string description;  // what a user sees, e.g. "USB Camera (/dev/video0)"
};

struct CaptureOptions {
  clock::Clock* clock = nullptr;  // null: the real clock
  bool refuseRgb24 = false;       // ZEP_CAMERA_FORMAT=yvu9
  int width = kCaptureWidth;      // ZEP_CAMERA_SIZE: the size when connected
  int height = kCaptureHeight;
};

// A camera backend: connects to the camera that the choice's argument names (empty when the
// choice has none), and lists the cameras it knows for a device list (may be empty).
struct CameraBackend {
  std::function<std::unique_ptr<Camera>(const std::string& argument, const CaptureOptions& options,
                                        std::string* error)>
      connect;
  std::function<std::vector<DeviceInfo>()> list;
};
using CameraRegistry = devices::Registry<CameraBackend>;
// The backends of this program: v4l2, file, pattern and none; a test backend is added here
// like any other.
CameraRegistry& cameraBackends();

// The test pattern's picture number `number` with `text` drawn large across it, in `format`
// (any width and height, multiples of 4 for YVU9) into frameSize(format) bytes. The same
// number always gives the same picture.
void drawTestPattern(const std::string& text, std::uint32_t number, const Format& format,
                     std::span<std::uint8_t> out);

// The camera of one program, like the sound system: one choice, parsed once.
class CaptureSystem {
 public:
  CaptureSystem(std::string choice, CaptureOptions options);
  // ZEP_CAMERA (default "v4l2"), ZEP_CAMERA_FORMAT and ZEP_CAMERA_SIZE.
  static CaptureSystem fromEnvironment(clock::Clock& clock);

  // Connects to the camera; null with *error set when there is none or it cannot be opened.
  // An unknown backend name fails, listing the names known.
  std::unique_ptr<Camera> connect(std::string* error);
  // The cameras installed on this machine, and the other backends, for a device list.
  static std::vector<DeviceInfo> devices();

  const std::string& choice() const { return choice_; }
  // Another camera with the same options.
  CaptureSystem withChoice(std::string choice) const { return {std::move(choice), options_}; }

 private:
  std::string choice_;
  devices::DeviceChoice parsed_;
  CaptureOptions options_;
};

}  // namespace zep::capture
