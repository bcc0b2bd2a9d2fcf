// What the camera backends share: the streaming thread with its callbacks and pacing, and the
// picture scaler. Private to the camera layer.
#pragma once

#include <array>
#include <atomic>
#include <mutex>
#include <stop_token>
#include <thread>

#include "platform/capture.h"

struct SwsContext;

namespace zep::capture {

// A camera whose frames come from a thread of its own. Backends say which formats they accept
// and run the frame loop; start, stop, the callbacks and the frame numbers are kept here.
// A backend's destructor calls stop() first, so run() never outlives the backend.
class StreamingCamera : public Camera {
 public:
  explicit StreamingCamera(const CaptureOptions& options);
  ~StreamingCamera() override;

  bool setFormat(const Format& format) final;
  Format format() const final;
  void setFramePeriod(int ms) override;
  bool start(FrameCallback onFrame, ErrorCallback onError, std::string* error) final;
  void stop() final;

 protected:
  // Whether the backend can deliver the format (the size is checked already); it may set up
  // its device for it.
  virtual bool acceptFormat(const Format& format) = 0;
  // Gets ready to stream in streamFormat(); false with *error when it cannot.
  virtual bool prepare(std::string* error) = 0;
  // The frame loop, on the camera's thread: deliver() each frame, fail() once for good.
  virtual void run(const std::stop_token& stop) = 0;

  // Hands one frame of format() to the frame callback, numbering it.
  void deliver(std::span<const std::uint8_t> data, std::uint64_t capturedMicros);
  // Reports that streaming ended for good.
  void fail(const std::string& text);
  // Waits until the next frame is due at the requested period (which may change meanwhile);
  // false when stopped. *dueMicros is when it was due.
  bool waitForFrame(const std::stop_token& stop, std::uint64_t* dueMicros);
  // The format of this stream (it cannot change while streaming).
  const Format& streamFormat() const { return streamFormat_; }
  // The time of the stream's start (for backends whose picture follows the time).
  std::uint64_t startMicros() const { return startMicros_; }
  int framePeriodMs() const { return periodMs_; }

  clock::Clock& clock_;
  const bool refuseRgb24_;

 private:
  mutable std::mutex mutex_;  // format_, and start/stop against each other
  Format format_;
  Format streamFormat_;
  std::atomic<int> periodMs_{500};
  FrameCallback onFrame_;
  ErrorCallback onError_;
  std::uint32_t number_ = 0;
  std::uint64_t startMicros_ = 0;
  std::uint64_t lastDueMicros_ = 0;
  std::jthread thread_;
  std::atomic<bool> streaming_{false};
};

// Scales planar YUV or packed blue-green-red pictures of any size to a capture format (RGB24
// rows bottom to top, or YVU9) with libswscale.
class Scaler {
 public:
  enum class Source { kYuv420, kYuv422, kYuv444, kBgr24, kYvu410 };
  Scaler() = default;
  Scaler(const Scaler&) = delete;
  Scaler& operator=(const Scaler&) = delete;
  ~Scaler();

  bool open(int width, int height, Source source, const Format& target, std::string* error);
  // planes and strides in the source's own order (Y, U, V; Y, V, U for YVU9; one for BGR).
  void scale(const std::uint8_t* const planes[3], const int strides[3],
             std::span<std::uint8_t> out);

 private:
  SwsContext* context_ = nullptr;
  Source source_ = Source::kYuv420;
  Format target_;
  int sourceHeight_ = 0;
  std::array<int, 3> strides_{};
  std::vector<std::uint8_t> rows_;  // the scaled picture in aligned rows, top to bottom
};

// Blue-green-red pixels, rows top to bottom, to YVU9 (BT.601 video range, each chrominance
// sample the mean of its 4 x 4 pixels). Width and height multiples of 4.
void bgrToYvu9(const std::uint8_t* bgr, int width, int height, std::span<std::uint8_t> out);

// The backends, each adding itself to a registry.
void addV4l2Backend(CameraRegistry& registry);
void addFileBackend(CameraRegistry& registry);
void addPatternBackend(CameraRegistry& registry);

clock::Clock& clockOf(const CaptureOptions& options);

}  // namespace zep::capture
