// The video tool's core: starting and stopping capture, the frame path from the camera to the
// members (conversion, the Mirror, coding, sending, the intra cycle), the capture-rate
// re-tune, and the receiving side (the order check, decoding and the display slots).
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "codecs/h26x.h"
#include "codecs/picture.h"
#include "platform/capture.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "ui/view.h"
#include "video/protocol.h"
#include "video/settings.h"
#include "video/statistics.h"

namespace zep::video {

inline constexpr const char* kVideoToolTitle = "Video Tool";
inline constexpr int kFirstCapturePeriodMs = 500;
inline constexpr int kIntraCycle = 10;

// What the core shows and asks of its window.
class VideoHooks {
 public:
  virtual ~VideoHooks() = default;
  virtual void message(const std::string& title, const std::string& text, ui::Icon icon) = 0;
  // Open or close a display slot's window; return once it is done (from any thread).
  virtual void openDisplay(int slot) = 0;
  virtual void closeDisplay(int slot) = 0;
  // Paints a picture into a slot's window (from the capture or the receive thread).
  virtual void paint(int slot, const picture::VideoFrame420& frame) = 0;
  // The camera stopped by itself (from the camera's thread).
  virtual void cameraLost(const std::string& why) = 0;
};

class VideoCore {
 public:
  // Sends one video datagram: destination -1 for everybody, else a member number.
  using Send = std::function<int(int destination, int type, std::span<const std::uint8_t> data)>;
  using ConnectCamera = std::function<std::unique_ptr<capture::Camera>(std::string* error)>;

  // Null with *error set when a codec is missing.
  static std::unique_ptr<VideoCore> create(clock::Clock& clock, VideoHooks& hooks, Send send,
                                           ConnectCamera connect, std::string* error);
  ~VideoCore();

  // Window thread. start_capture is false when already capturing or the camera cannot be
  // used; stop_capture false when not capturing.
  bool start_capture();
  bool stop_capture();
  // The capture-rate re-tune, asked for by the refresh thread once per start of capture.
  void retune();
  bool retunePending() const { return retunePending_ && capturing_; }

  // Sending with a camera the caller runs and paces itself (the integrated client): the start
  // goes out to everybody and the frames handed to on_frame are sent until endSending, which
  // sends the stop.
  void beginSending();
  void endSending();
  // The time the last frame took, from the camera's picture to the datagrams sent, in ms.
  int lastFrameMs() const { return processingMs_; }

  // The camera's thread: one captured frame.
  void on_frame(const capture::Frame& frame);
  // The receive thread.
  void on_video_datagram(int type, std::span<const std::uint8_t> payload, int member);
  void on_local_member();  // the link knows our number: say hello
  void on_member_deleted(int member);

  // Settings (window thread); apply while not capturing.
  VideoSettings settings() const;
  void setSettings(const VideoSettings& s);
  bool capturing() const { return capturing_; }
  bool slotOpen(int slot) const { return open_[slot]; }
  int framePeriod() const { return period_; }
  capture::PixelFormat inputFormat() const { return input_; }
  VideoStatistics& statistics() { return statistics_; }
  // Closes every member window (shutdown).
  void closeMemberDisplays();

 private:
  VideoCore(clock::Clock& clock, VideoHooks& hooks, Send send, ConnectCamera connect);
  bool negotiate(capture::Camera& camera);
  void sendCoded(int type, std::span<const std::uint8_t> data);
  std::size_t codePicture(const picture::VideoFrame420& frame, int mode, bool intra);
  void releaseCamera();

  clock::Clock& clock_;
  VideoHooks& hooks_;
  Send send_;
  ConnectCamera connect_;
  std::unique_ptr<picture::H26xCodec> h263_;
  std::unique_ptr<picture::H26xCodec> h261_;
  std::unique_ptr<picture::Yuv9Codec> yuv9_;
  event::ManualResetEvent& codecLock_;  // "codec_event": the H.261 coder and decoder

  std::unique_ptr<capture::Camera> camera_;
  std::atomic<capture::PixelFormat> input_{capture::PixelFormat::kRgb24};
  bool yvu9Kept_ = false;  // once YVU9 was chosen it stays for the process
  std::atomic<bool> capturing_{false};
  // Set from the moment VIDEO_START went out until VIDEO_STOP does: a newcomer's hello that
  // arrives while the camera is still being started is answered, not lost.
  std::atomic<bool> announced_{false};
  std::atomic<bool> retunePending_{true};
  std::atomic<int> period_{kFirstCapturePeriodMs};

  mutable std::mutex settingsMutex_;
  VideoSettings settings_;
  std::atomic<int> mode_{MODE_H263};
  // The intra cycle: the frame path alone advances the index; a start or a newcomer's hello
  // asks for an intra picture through the flag, which the next picture takes, so a request
  // that arrives while a picture is being coded is never lost.
  std::atomic<int> intraIndex_{0};
  std::atomic<bool> intraRequested_{true};
  std::atomic<std::uint8_t> counter_{0};
  std::atomic<int> processingMs_{0};
  VideoStatistics statistics_;

  FrameOrder order_;
  std::array<std::atomic<bool>, kSlots> open_{};
  // When a hello was last sent to a member whose pictures arrive without a window (receive
  // thread only).
  std::array<std::uint32_t, kSlots> askedAt_{};
  std::array<bool, kSlots> asked_{};
  std::array<bool, kMembers> firstFrame_{};
};

}  // namespace zep::video
