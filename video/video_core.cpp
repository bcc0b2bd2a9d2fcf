#include "video/video_core.h"

#include <vector>

namespace zep::video {

using picture::VideoFrame420;

std::unique_ptr<VideoCore> VideoCore::create(clock::Clock& clock, VideoHooks& hooks, Send send,
                                             ConnectCamera connect, std::string* error) {
  std::unique_ptr<VideoCore> core(new VideoCore(clock, hooks, std::move(send), std::move(connect)));
  core->h263_ = picture::H26xCodec::create(picture::H26xCodec::Standard::kH263, error);
  if (!core->h263_) return nullptr;
  core->h261_ = picture::H26xCodec::create(picture::H26xCodec::Standard::kH261, error);
  if (!core->h261_) return nullptr;
  core->yuv9_ =
      std::make_unique<picture::Yuv9Codec>(capture::kCaptureWidth, capture::kCaptureHeight);
  return core;
}

VideoCore::VideoCore(clock::Clock& clock, VideoHooks& hooks, Send send, ConnectCamera connect)
    : clock_(clock),
      hooks_(hooks),
      send_(std::move(send)),
      connect_(std::move(connect)),
      codecLock_(event::named("codec_event", true)),
      statistics_(clock) {
  firstFrame_.fill(true);
}

VideoCore::~VideoCore() {
  releaseCamera();
}

VideoSettings VideoCore::settings() const {
  std::lock_guard lock(settingsMutex_);
  return settings_;
}

void VideoCore::setSettings(const VideoSettings& s) {
  std::lock_guard lock(settingsMutex_);
  settings_ = s;
  mode_ = s.mode;
  h261_->setIntraOnly(s.intra);
}

// RGB24 when the camera takes it, else YVU9, which then stays for the process.
bool VideoCore::negotiate(capture::Camera& camera) {
  capture::Format format;
  if (!yvu9Kept_) {
    format.pixel = capture::PixelFormat::kRgb24;
    if (camera.setFormat(format)) {
      input_ = capture::PixelFormat::kRgb24;
      return true;
    }
  }
  format.pixel = capture::PixelFormat::kYvu9;
  if (!camera.setFormat(format)) return false;
  input_ = capture::PixelFormat::kYvu9;
  yvu9Kept_ = true;
  return true;
}

void VideoCore::releaseCamera() {
  if (camera_) camera_->stop();
  camera_.reset();
}

bool VideoCore::start_capture() {
  if (capturing_) return false;
  hooks_.openDisplay(kMirrorSlot);
  open_[kMirrorSlot] = true;
  std::string why;
  camera_ = connect_(&why);
  if (!camera_ || !negotiate(*camera_)) {
    camera_.reset();
    hooks_.closeDisplay(kMirrorSlot);
    open_[kMirrorSlot] = false;
    hooks_.message(kVideoToolTitle, "Your machine does not support video capturing",
                   ui::Icon::kWarning);
    return false;
  }
  period_ = kFirstCapturePeriodMs;
  camera_->setFramePeriod(kFirstCapturePeriodMs);
  counter_ = 0;
  intraRequested_ = true;
  announced_ = true;
  send_(-1, VIDEO_START, {});
  // Frames are dropped until the flag is set below.
  bool streaming =
      camera_->start([this](const capture::Frame& f) { on_frame(f); },
                     [this](const std::string& text) { hooks_.cameraLost(text); }, &why);
  if (!streaming) hooks_.message("Error", "Capture error", ui::Icon::kError);
  retunePending_ = true;
  statistics_.clock_start();
  capturing_ = true;
  return true;
}

bool VideoCore::stop_capture() {
  if (!capturing_) return false;
  capturing_ = false;
  announced_ = false;
  releaseCamera();
  hooks_.closeDisplay(kMirrorSlot);
  open_[kMirrorSlot] = false;
  send_(-1, VIDEO_STOP, {});
  intraRequested_ = true;
  statistics_.clock_stop();
  return true;
}

void VideoCore::beginSending() {
  if (capturing_) return;
  counter_ = 0;
  intraRequested_ = true;
  announced_ = true;
  send_(-1, VIDEO_START, {});
  statistics_.clock_start();
  capturing_ = true;
}

void VideoCore::endSending() {
  if (!capturing_) return;
  capturing_ = false;
  announced_ = false;
  send_(-1, VIDEO_STOP, {});
  intraRequested_ = true;
  statistics_.clock_stop();
}

void VideoCore::retune() {
  if (!capturing_ || !retunePending_ || !camera_) return;
  int period = retunePeriod(settings(), processingMs_);
  period_ = period;
  camera_->setFramePeriod(period);
  retunePending_ = false;
}

void VideoCore::sendCoded(int type, std::span<const std::uint8_t> data) {
  std::uint8_t number = static_cast<std::uint8_t>(counter_ + 1);
  counter_ = number;
  auto payload = encodeCodedFrame(number, data);
  send_(-1, type, payload);
}

// Codes one picture in H.263 or H.261 and sends it; the bytes sent, 0 when the picture was
// refused (too large for the output area).
std::size_t VideoCore::codePicture(const VideoFrame420& frame, int mode, bool intra) {
  std::vector<std::uint8_t> coded(picture::kCodedFrameCapacity);
  codec::EncodeResult result;
  if (mode == MODE_H263) {
    result = h263_->encode(frame.bytes, coded, intra);
  } else {
    codecLock_.take(-1);
    result = h261_->encode(frame.bytes, coded, intra);
    codecLock_.set();
  }
  if (!result.ok()) {
    // A refused intra picture is tried again with the next frame, so nobody waits a whole
    // cycle for a picture to start from.
    if (intra) intraRequested_ = true;
    return 0;
  }
  sendCoded(mode == MODE_H263 ? VIDEO_H263 : VIDEO_H261, std::span(coded).first(result.bytes));
  return result.bytes;
}

void VideoCore::on_frame(const capture::Frame& frame) {
  if (!capturing_) return;
  // A frame that is not what its format says is dropped, not sent as a blank picture.
  if (frame.data.size() != capture::frameSize(frame.format) ||
      frame.format.width < picture::kWidth || frame.format.height < picture::kHeight)
    return;
  std::uint32_t t0 = clock_.now();
  const bool yvu9 = frame.format.pixel == capture::PixelFormat::kYvu9;
  const int w = frame.format.width, h = frame.format.height;
  std::size_t bytes = 0;
  int mode = mode_;
  // Taken before the picture is coded: a request made while it is being coded waits for the
  // next one.
  const int index = intraRequested_.exchange(false) ? 0 : intraIndex_.load();
  if (mode == MODE_YUV9) {
    if (yvu9) {
      std::vector<std::uint8_t> cropped(picture::kYvu9FrameSize);
      picture::cropYvu9(frame.data, w, h, cropped);
      VideoFrame420 shown;
      picture::yvu9ToFrame420(cropped, picture::kWidth, picture::kHeight, &shown);
      hooks_.paint(kMirrorSlot, shown);
      sendCoded(VIDEO_YUV9, cropped);
      bytes = cropped.size();
    } else {
      // An RGB camera gives no YVU9: H.261 coding every picture intra instead, from the next
      // frame on.
      std::lock_guard lock(settingsMutex_);
      settings_.mode = MODE_H261;
      settings_.intra = true;
      mode_ = MODE_H261;
      h261_->setIntraOnly(true);
    }
  } else {
    VideoFrame420 converted;
    if (yvu9)
      picture::yvu9ToFrame420(frame.data, w, h, &converted);
    else
      picture::rgb24ToFrame420(frame.data, w, h, &converted);
    hooks_.paint(kMirrorSlot, converted);
    bytes = codePicture(converted, mode, index == 0);
  }
  intraIndex_ = (index + 1) % kIntraCycle;
  processingMs_ = static_cast<int>(clock_.now() - t0);
  statistics_.count_frame(bytes);
}

void VideoCore::on_video_datagram(int type, std::span<const std::uint8_t> payload, int m) {
  if (m < 0 || m >= kMembers) return;
  switch (type) {
    case VIDEO_H263:
    case VIDEO_H261:
    case VIDEO_YUV9: {
      auto coded = decodeCodedFrame(payload);
      if (!coded || !order_.accept(m, coded->counter)) return;
      if (!open_[m]) {
        // Pictures without a start: the start was missed (sent before this tool knew the
        // sender, or before the sender knew of this tool). A hello to the sender, at most once
        // a second, asks it for a start of its own; the frames wait for the window.
        const std::uint32_t now = clock_.now();
        auto i = static_cast<std::size_t>(m);
        if (!asked_[i] || now - askedAt_[i] >= 1000) {
          asked_[i] = true;
          askedAt_[i] = now;
          send_(m, VIDEO_HELLO, {});
        }
        return;
      }
      VideoFrame420 frame;
      codec::CodecStatus status;
      if (type == VIDEO_H263) {
        status = h263_->decode(m, coded->data, frame.bytes);
      } else if (type == VIDEO_H261) {
        codecLock_.take(-1);
        // The first picture from a sender starts its decoder afresh.
        if (firstFrame_[m]) h261_->resetSender(m);
        firstFrame_[m] = false;
        status = h261_->decode(m, coded->data, frame.bytes);
        codecLock_.set();
      } else {
        status = yuv9_->decode(m, coded->data, frame.bytes);
      }
      if (status == codec::CodecStatus::kOk) hooks_.paint(m, frame);
      return;
    }
    case VIDEO_START:
      order_.reset(m);
      // A start begins a new stream: its predicted pictures wait for its first intra picture.
      h263_->resetSender(m);
      codecLock_.take(-1);
      h261_->resetSender(m);
      codecLock_.set();
      send_(-1, VIDEO_START_ACK, {});
      if (!open_[m]) {
        hooks_.openDisplay(m);
        open_[m] = true;
      }
      return;
    case VIDEO_STOP:
      if (open_[m]) {
        hooks_.closeDisplay(m);
        open_[m] = false;
      }
      return;
    case VIDEO_HELLO:
      if (announced_) {
        // The start goes first, so the intra picture the request brings follows it.
        send_(m, VIDEO_START, {});
        intraRequested_ = true;
      }
      return;
    default:
      return;  // VIDEO_START_ACK and unknown types
  }
}

void VideoCore::on_local_member() {
  send_(-1, VIDEO_HELLO, {});
}

void VideoCore::on_member_deleted(int member) {
  // A member that left without stopping leaves no window behind.
  if (member >= 0 && member < kMembers && open_[member]) {
    hooks_.closeDisplay(member);
    open_[member] = false;
  }
}

void VideoCore::closeMemberDisplays() {
  for (int m = 0; m < kMembers; ++m) on_member_deleted(m);
}

}  // namespace zep::video
