#include "kestrel/video_object.h"

#include <cstring>

namespace zep::kestrel {

using video::MODE_H261;
using video::MODE_YUV9;

DriverFormat driverFormatOf(const capture::Format& format) {
  DriverFormat d;
  d.yvu9 = format.pixel == capture::PixelFormat::kYvu9;
  d.uncompressed = !d.yvu9;
  d.bitsPerPixel = d.yvu9 ? 9 : 24;
  d.width = format.width;
  d.height = format.height;
  return d;
}

std::string formatRefusal(const DriverFormat& f) {
  if (f.uncompressed && f.bitsPerPixel != 24)
    return "Unsupported video format(wrong bits/pixel value).\n"
           "Please, change your video format to RGB24 or YUV9.";
  if (!f.uncompressed && !f.yvu9)
    return "Unsupported video format.\nPlease, change your video format to RGB24 or YUV9.";
  if (f.width < picture::kWidth || f.height < picture::kHeight)
    return "Unsupported video format(wrong picture size).\n"
           "Please, change picture size to at least 176 x 144";
  return {};
}

int pacingDelayMs(int decodingSumMs, int frameMs, int frameRate) {
  const int period = 1000 / std::max(frameRate, 1);
  int s = (15 * decodingSumMs + 2 * frameMs) / 10 + 20;
  if (s + 2 * frameMs < period) s = period - 2 * frameMs;
  if (s <= 0 || s > 1000) s = 1000;
  return s;
}

std::unique_ptr<VideoObject> VideoObject::create(clock::Clock& clock, VideoObjectHooks& hooks,
                                                 VideoObjectSettings settings, std::string* error) {
  std::unique_ptr<VideoObject> v(new VideoObject(clock, hooks, std::move(settings)));
  v->core_ = video::VideoCore::create(clock, *v, v->settings_.send, {}, error);
  if (!v->core_) return nullptr;
  v->applySettings();
  v->captureLog_ = std::fopen(v->settings_.captureLogPath.c_str(), "w");
  v->setUpCapture();
  v->sender_ = std::jthread([p = v.get()](std::stop_token stop) { p->sendLoop(stop); });
  v->core_->on_local_member();  // VIDEO_HELLO to everybody
  return v;
}

VideoObject::VideoObject(clock::Clock& clock, VideoObjectHooks& hooks, VideoObjectSettings settings)
    : clock_(clock),
      hooks_(hooks),
      settings_(std::move(settings)),
      frameLock_(event::named("capture event", true)) {}

VideoObject::~VideoObject() {
  if (sender_.joinable()) {
    sender_.request_stop();
    sender_.join();
  }
  if (core_ && core_->capturing()) stopSending();
  camera_.reset();
  if (core_) core_->closeMemberDisplays();
  if (captureLog_) std::fclose(captureLog_);
}

// The camera as its driver is set: RGB24 or YVU9 of at least 176 x 144, else refused.
void VideoObject::setUpCapture() {
  std::string why;
  auto camera = settings_.connectCamera ? settings_.connectCamera(&why) : nullptr;
  if (camera) {
    std::string refusal = formatRefusal(driverFormatOf(camera->format()));
    if (!refusal.empty()) {
      hooks_.message("Error", refusal, ui::Icon::kWarning);
      camera.reset();
    }
  }
  if (!camera) {
    hooks_.message("Kestrel Videoconferencing", "Your machine does not support video capturing",
                   ui::Icon::kWarning);
    return;
  }
  format_ = camera->format();
  camera->setFramePeriod(kCameraPeriodMs);
  frameLock_.take(-1);
  frame_.assign(capture::frameSize(format_), 0);
  frameFresh_ = false;
  frameLock_.set();
  camera_ = std::move(camera);
}

void VideoObject::changeCamera(
    std::function<std::unique_ptr<capture::Camera>(std::string* error)> connectCamera) {
  const bool wasSending = sending();
  stopSending();
  camera_.reset();
  settings_.connectCamera = std::move(connectCamera);
  setUpCapture();
  if (wasSending) startSending();
}

bool VideoObject::startSending() {
  if (!camera_ || core_->capturing()) return false;
  std::string why;
  if (!streaming_) {
    streaming_ = camera_->start([this](const capture::Frame& f) { onCameraFrame(f); },
                                [this](const std::string& text) { cameraLost(text); }, &why);
    if (!streaming_) {
      hooks_.message("Error", "Capture start error", ui::Icon::kError);
      return false;
    }
  }
  hooks_.showMirror(true);
  core_->beginSending();
  return true;
}

void VideoObject::stopSending() {
  if (!core_->capturing()) return;
  core_->endSending();
  if (camera_ && streaming_) camera_->stop();
  streaming_ = false;
  hooks_.showMirror(false);
}

void VideoObject::onCameraFrame(const capture::Frame& frame) {
  if (frame.data.size() != frame_.size()) return;
  frameLock_.take(-1);
  std::memcpy(frame_.data(), frame.data.data(), frame_.size());
  frameFormat_ = frame.format;
  frameCapturedMicros_ = frame.capturedMicros;
  frameFresh_ = true;
  frameLock_.set();
}

void VideoObject::applySettings() {
  video::VideoSettings s = core_->settings();
  const int mode = settings_.compression ? settings_.compression() : video::MODE_H263;
  const bool intra = settings_.intraOnly && settings_.intraOnly();
  if (s.mode == mode && s.intra == intra) return;
  s.mode = mode;
  s.intra = intra;
  core_->setSettings(s);
}

void VideoObject::sendLoop(const std::stop_token& stop) {
  std::vector<std::uint8_t> copy;
  while (!stop.stop_requested()) {
    int frameMs = 0;
    if (core_->capturing()) {
      bool fresh = false;
      capture::Format format;
      std::uint64_t captured = 0;
      frameLock_.take(-1);
      if (frameFresh_) {
        copy = frame_;
        format = frameFormat_;
        captured = frameCapturedMicros_;
        frameFresh_ = false;
        fresh = true;
      }
      frameLock_.set();
      if (fresh) {
        applySettings();
        capture::Frame frame;
        frame.data = copy;
        frame.format = format;
        core_->on_frame(frame);
        frameMs = core_->lastFrameMs();
        // How long the picture waited for the send thread and its coding, for measuring.
        if (settings_.trace)
          std::fprintf(stderr, "Video: frame sent %llu us after its capture\n",
                       static_cast<unsigned long long>(clock_.nowMicros() - captured));
        const bool askedYuv9 = settings_.compression && settings_.compression() == MODE_YUV9;
        if (askedYuv9 && core_->settings().mode == MODE_H261 && settings_.fellBackToIntra)
          settings_.fellBackToIntra();
      }
    }
    int decoding = 0;
    for (const auto& d : decodingMs_) decoding += d;
    const int delay =
        pacingDelayMs(decoding, frameMs, settings_.frameRate ? settings_.frameRate() : 5);
    lastDelay_ = delay;
    clock_.waitUntilMicros(clock_.nowMicros() + std::uint64_t(delay) * 1000, stop);
  }
}

void VideoObject::onDatagram(int member, int type, std::span<const std::uint8_t> data,
                             std::uint16_t sequence) {
  if (member < 0 || member >= video::kMembers) return;
  const auto m = static_cast<std::size_t>(member);
  const bool picture =
      type == video::VIDEO_H263 || type == video::VIDEO_H261 || type == video::VIDEO_YUV9;
  if (!picture) {
    if (type == video::VIDEO_STOP) decodingMs_[m] = 0;
    core_->on_video_datagram(type, data, member);
    return;
  }
  const std::uint32_t now = clock_.now();
  if (!stats_[m]) {
    stats_[m] = std::make_unique<ReceiveStats>();
    stats_[m]->start(sequence, now);
  } else {
    stats_[m]->count(sequence, data.size(), now);
    if (settings_.counted) settings_.counted(member, *stats_[m], now);
  }
  const std::uint64_t t0 = clock_.nowMicros();
  core_->on_video_datagram(type, data, member);
  decodingMs_[m] = static_cast<int>((clock_.nowMicros() - t0 + 500) / 1000);
  if (++sinceRates_[m] >= kRateRefreshFrames) {
    sinceRates_[m] = 0;
    const ReceiveStats& s = *stats_[m];
    char text[64];
    std::snprintf(text, sizeof text, "%4.1f fps  %4.0f kbps", s.framesPerSecond(now),
                  static_cast<double>(s.bandwidthKbps(now)));
    hooks_.displayText(member, text);
  }
}

void VideoObject::onMemberDeleted(int member) {
  if (member < 0 || member >= video::kMembers) return;
  decodingMs_[static_cast<std::size_t>(member)] = 0;
  core_->on_member_deleted(member);
}

const ReceiveStats* VideoObject::stats(int member) const {
  if (member < 0 || member >= video::kMembers) return nullptr;
  return stats_[static_cast<std::size_t>(member)].get();
}

void VideoObject::openDisplay(int slot) {
  if (slot != kMirrorSlot) hooks_.notify(kNotifyOpenVideo, slot);
}

void VideoObject::closeDisplay(int slot) {
  if (slot != kMirrorSlot) hooks_.notify(kNotifyCloseVideo, slot);
}

void VideoObject::paint(int slot, const picture::VideoFrame420& frame) {
  hooks_.paint(slot, frame);
}

void VideoObject::cameraLost(const std::string& why) {
  hooks_.message("Kestrel Videoconferencing", "The camera stopped: " + why, ui::Icon::kWarning);
}

}  // namespace zep::kestrel
