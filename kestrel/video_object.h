// The integrated client's video object: the video tool's frame path and receiving side
// (conversion, the Mirror, H.263/H.261/YUV9 coding, the intra cycle, the order check, decoding)
// around a camera whose current format is taken or refused as it stands, a send thread that
// takes the latest frame and paces itself by how long the members take to decode, member
// windows opened through the main window's notifications with their rates, and the video
// counters of the Statistics window.
#pragma once

#include <array>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kestrel/receive_stats.h"
#include "platform/capture.h"
#include "platform/event.h"
#include "video/video_core.h"

namespace zep::kestrel {

// The notifications the video receiver posts to the main window (high half of the first
// word; the low half is the member number).
inline constexpr std::uint32_t kNotifyOpenVideo = 0x3DF8;
inline constexpr std::uint32_t kNotifyCloseVideo = 0x3DFA;
inline constexpr int kMirrorSlot = video::kMirrorSlot;
inline constexpr int kCameraPeriodMs = 100;
inline constexpr int kRateRefreshFrames = 5;

// The message that refuses a camera's current format, or empty when it can be used: RGB24 or
// YVU9 of at least 176 x 144.
struct DriverFormat {
  bool uncompressed = true;  // false: a compressed format other than YVU9
  bool yvu9 = false;
  int bitsPerPixel = 24;
  int width = 0, height = 0;
};
DriverFormat driverFormatOf(const capture::Format& format);
std::string formatRefusal(const DriverFormat& format);

// How long the send thread sleeps after a frame: 1.5 x the members' last decoding times +
// 0.2 x the last frame's own time + 20, stretched to the frame rate's period when shorter,
// 1000 when not above 0 or above 1000. A frame rate below 1 counts as 1.
int pacingDelayMs(int decodingSumMs, int frameMs, int frameRate);

class VideoObjectHooks {
 public:
  virtual ~VideoObjectHooks() = default;
  virtual void message(const std::string& title, const std::string& text, ui::Icon icon) = 0;
  // A notification for the main window (posted: it runs later on the window thread).
  virtual void notify(std::uint32_t code, int member) = 0;
  // The Mirror is shown while sending; from the window thread.
  virtual void showMirror(bool shown) = 0;
  // A picture for a member window or the Mirror, and a window's text line; any thread.
  virtual void paint(int slot, const picture::VideoFrame420& frame) = 0;
  virtual void displayText(int slot, const std::string& text) = 0;
};

struct VideoObjectSettings {
  std::function<int()> compression;  // 0 H.263, 1 H.261, 10 YUV9: read for every frame
  std::function<bool()> intraOnly;   // with H.261
  std::function<int()> frameRate;
  // A YUV9 mode met a camera without YVU9 frames: H.261 intra from now on.
  std::function<void()> fellBackToIntra;
  // Sends one video datagram: destination -1 for everybody, else a member number.
  std::function<int(int destination, int type, std::span<const std::uint8_t> data)> send;
  // The camera of the stored device index (read once, at creation); null with *error when
  // there is none.
  std::function<std::unique_ptr<capture::Camera>(std::string* error)> connectCamera;
  // After every counted picture datagram (the Statistics window).
  std::function<void(int member, const ReceiveStats& stats, std::uint32_t now)> counted;
  std::string captureLogPath = "capture.log";
  bool trace = false;  // a line on standard error for every frame sent (ZEP_TRACE=1)
};

class VideoObject final : private video::VideoHooks {
 public:
  // Null with *error when a codec is missing. Sets up capture (a refusal is shown and the
  // object goes on without), starts the send thread and says hello to everybody.
  static std::unique_ptr<VideoObject> create(clock::Clock& clock, VideoObjectHooks& hooks,
                                             VideoObjectSettings settings, std::string* error);
  ~VideoObject() override;

  // Button 1012: sending on or off (window thread). False when there is no camera.
  bool startSending();
  void stopSending();
  bool sending() const { return core_->capturing(); }
  bool canCapture() const { return camera_ != nullptr; }
  // Another capture device (Options, OK; window thread): sending stops, capture is set up
  // again on the device connect gives, and sending goes on if it was on. The member windows,
  // the decoders and the counters are left as they are.
  void changeCamera(
      std::function<std::unique_ptr<capture::Camera>(std::string* error)> connectCamera);

  // A video datagram from member m (the media thread).
  void onDatagram(int member, int type, std::span<const std::uint8_t> data, std::uint16_t sequence);
  void onMemberDeleted(int member);
  void sayHello() { core_->on_local_member(); }

  const ReceiveStats* stats(int member) const;
  int decodingMs(int member) const { return decodingMs_[static_cast<std::size_t>(member)]; }
  int lastDelayMs() const { return lastDelay_; }

 private:
  VideoObject(clock::Clock& clock, VideoObjectHooks& hooks, VideoObjectSettings settings);
  void setUpCapture();  // capture.log is open already
  void onCameraFrame(const capture::Frame& frame);
  void sendLoop(const std::stop_token& stop);
  void applySettings();

  // video::VideoHooks: the receiving side's windows become notifications.
  void message(const std::string& title, const std::string& text, ui::Icon icon) override {
    hooks_.message(title, text, icon);
  }
  void openDisplay(int slot) override;
  void closeDisplay(int slot) override;
  void paint(int slot, const picture::VideoFrame420& frame) override;
  void cameraLost(const std::string& why) override;

  clock::Clock& clock_;
  VideoObjectHooks& hooks_;
  VideoObjectSettings settings_;
  std::unique_ptr<video::VideoCore> core_;
  std::FILE* captureLog_ = nullptr;
  std::unique_ptr<capture::Camera> camera_;
  capture::Format format_;
  bool streaming_ = false;

  // The latest camera frame, under "capture event".
  event::ManualResetEvent& frameLock_;
  std::vector<std::uint8_t> frame_;
  capture::Format frameFormat_;
  std::uint64_t frameCapturedMicros_ = 0;
  bool frameFresh_ = false;

  std::array<std::atomic<int>, video::kMembers> decodingMs_{};
  std::array<std::unique_ptr<ReceiveStats>, video::kMembers> stats_{};
  std::array<int, video::kMembers> sinceRates_{};
  std::atomic<int> lastDelay_{0};
  std::jthread sender_;
};

}  // namespace zep::kestrel
