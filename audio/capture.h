// Microphone capture in 100 ms blocks: two buffers take turns on the input device, and a
// capture thread hands every finished block to the audio core while capturing is on.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

#include "platform/audio.h"
#include "platform/event.h"

namespace zep::audio {

class AudioCapture {
 public:
  using BlockSink = std::function<void(std::span<const std::int16_t> samples)>;

  explicit AudioCapture(sound::AudioSystem& system);
  ~AudioCapture();
  AudioCapture(const AudioCapture&) = delete;
  AudioCapture& operator=(const AudioCapture&) = delete;

  // Creates the event "read" (set) and starts the capture thread; blocks go to sink.
  bool init(BlockSink sink);
  // Opens the input device, queues both buffers and starts capturing. False (and nothing
  // changed) when the device cannot be opened; *error says why.
  bool open(std::string* error = nullptr);
  // Stops capturing and closes the device; buffers it hands back are not delivered.
  void close();
  // Ends the capture thread.
  void shutdown();
  void set_capturing(bool on) { capturing_ = on; }
  bool capturing() const { return capturing_; }
  bool isOpen() const;

 private:
  enum class State { kIdle, kQueued };
  void run(const std::stop_token& stop);
  bool serviceCurrent();

  sound::AudioSystem& system_;
  event::ManualResetEvent& read_;
  // Set while the device is open (and at shutdown): the closed thread waits on it.
  event::ManualResetEvent opened_{false};
  BlockSink sink_;
  std::array<sound::SoundBlock, 2> headers_;
  std::array<State, 2> state_{State::kIdle, State::kIdle};
  int current_ = 0;
  std::atomic<bool> capturing_{false};
  mutable std::mutex deviceMutex_;
  std::unique_ptr<sound::SoundInput> device_;
  std::jthread thread_;
};

}  // namespace zep::audio
