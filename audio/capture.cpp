#include "audio/capture.h"

#include "audio/adpcm.h"
#include "platform/clock.h"

namespace zep::audio {

AudioCapture::AudioCapture(sound::AudioSystem& system)
    : system_(system), read_(event::named("read", true)) {
  for (auto& h : headers_) h.samples.assign(kBlockSamples, 0);
}

AudioCapture::~AudioCapture() {
  close();
  shutdown();
}

bool AudioCapture::init(BlockSink sink) {
  sink_ = std::move(sink);
  capturing_ = false;
  read_.set();
  thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
  return true;
}

bool AudioCapture::open(std::string* error) {
  std::lock_guard lock(deviceMutex_);
  std::string why;
  auto device = system_.openInput(read_, &why);
  if (!device) {
    if (error) *error = why;
    return false;
  }
  device_ = std::move(device);
  for (std::size_t i = 0; i < headers_.size(); ++i) {
    device_->queue(headers_[i]);
    state_[i] = State::kQueued;
  }
  current_ = 0;
  capturing_ = true;
  read_.reset();
  device_->start();
  opened_.set();
  return true;
}

void AudioCapture::close() {
  capturing_ = false;
  std::lock_guard lock(deviceMutex_);
  if (!device_) return;
  opened_.reset();
  device_->reset();  // hands every buffer back, unfilled
  device_.reset();
  for (auto& s : state_) s = State::kIdle;
}

void AudioCapture::shutdown() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  read_.set();
  opened_.set();
  thread_.join();
}

bool AudioCapture::isOpen() const {
  std::lock_guard lock(deviceMutex_);
  return device_ != nullptr;
}

// Handles the current buffer if the device has finished it; false when there was nothing.
bool AudioCapture::serviceCurrent() {
  std::lock_guard lock(deviceMutex_);
  auto i = static_cast<std::size_t>(current_);
  if (state_[i] != State::kQueued || !headers_[i].done) return false;
  state_[i] = State::kIdle;
  if (!capturing_ || !device_) return true;  // handed back at close: not delivered
  // Coding and sending happen before the buffer returns to the device: one block time.
  sink_(std::span(headers_[i].samples).first(headers_[i].recorded));
  if (!capturing_) return true;
  read_.reset();
  device_->queue(headers_[i]);
  state_[i] = State::kQueued;
  current_ ^= 1;
  return true;
}

void AudioCapture::run(const std::stop_token& stop) {
  while (!stop.stop_requested()) {
    if (serviceCurrent()) continue;
    if (!isOpen()) {
      // Closed: the event "read" stays set, so the thread waits for the device to open
      // instead (its first buffer is done a block's time later).
      opened_.wait(500);
      continue;
    }
    // The device sets the event when a buffer is done, and shutdown sets it too: the time-out
    // only bounds a wait that nothing else ends.
    read_.wait(500);
    if (!serviceCurrent()) clock::sleepMs(1);  // set for a buffer that is not ours yet
  }
}

}  // namespace zep::audio
