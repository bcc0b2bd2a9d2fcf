#include "platform/audio.h"

#include <portaudio.h>
#include <samplerate.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/host.h"

namespace zep::sound {

namespace {

// How late a block may be queued after the one before it ended and still follow it without a
// gap: what a sound card's own buffer would hold.
constexpr std::uint64_t kOutputSlackMicros = 20000;

std::int64_t microsFor(std::size_t samples) {
  return static_cast<std::int64_t>(samples) * 1000000 / kSampleRate;
}

// The queue and worker thread every backend shares: blocks are handled one at a time, in order.
class BlockQueue {
 public:
  void push(SoundBlock& block) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(&block);
    }
    changed_.notify_all();
  }
  // Waits (in real time, bounded) for a block while running; null when stopped or none came.
  SoundBlock* next(const std::stop_token& stop, bool requireStarted) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(500), [&] {
      return stop.stop_requested() || (!queue_.empty() && (started_ || !requireStarted));
    });
    if (stop.stop_requested() || queue_.empty() || (requireStarted && !started_)) return nullptr;
    SoundBlock* b = queue_.front();
    queue_.pop_front();
    current_ = b;
    return b;
  }
  // Finishes the block taken by next(), unless a reset handed it back meanwhile.
  template <typename F>
  void finish(SoundBlock* b, F&& beforeDone, event::ManualResetEvent& completion) {
    {
      std::lock_guard lock(mutex_);
      if (current_ != b) return;
      current_ = nullptr;
      beforeDone();
      b->done = true;
    }
    completion.set();
  }
  void setStarted(bool on) {
    {
      std::lock_guard lock(mutex_);
      started_ = on;
    }
    changed_.notify_all();
  }
  void handBackAll(event::ManualResetEvent& completion) {
    {
      std::lock_guard lock(mutex_);
      started_ = false;
      for (SoundBlock* b : queue_) b->done = true;
      queue_.clear();
      if (current_) current_->done = true;
      current_ = nullptr;
    }
    completion.set();
  }
  // Taking the lock first means a worker between its look at the stop request and its wait
  // cannot miss this.
  void wake() {
    { std::lock_guard lock(mutex_); }
    changed_.notify_all();
  }
  // Waits until the clock reaches the deadline; false when stopped first. On the real clock
  // the wait is one sleep that a stop request cuts short, not a poll; a simulated clock keeps
  // its own way of waiting.
  bool waitUntil(clock::Clock& clock, std::uint64_t deadline, const std::stop_token& stop) {
    if (!dynamic_cast<clock::RealClock*>(&clock)) return clock.waitUntilMicros(deadline, stop);
    std::unique_lock lock(mutex_);
    for (;;) {
      if (stop.stop_requested()) return false;
      const std::uint64_t now = clock.nowMicros();
      if (now >= deadline) return true;
      changed_.wait_for(lock, std::chrono::microseconds(deadline - now),
                        [&] { return stop.stop_requested(); });
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<SoundBlock*> queue_;
  SoundBlock* current_ = nullptr;
  bool started_ = false;
};

// What every device shares: its place among the open directions, its completion event, and a
// worker thread that handles the queued blocks one at a time, in order. A device starts the
// worker once it is built and stops it first thing when it is destroyed, so handle() never runs
// on a half-made or half-gone device.
class QueuedDevice {
 protected:
  QueuedDevice(std::atomic<int>& openCount, event::ManualResetEvent& completion, bool waitForStart)
      : completion_(completion), openCount_(openCount), waitForStart_(waitForStart) {
    openCount_++;
  }
  virtual ~QueuedDevice() { openCount_--; }

  void startWorker() {
    thread_ = std::jthread([this](std::stop_token stop) {
      while (!stop.stop_requested()) {
        SoundBlock* b = queue_.next(stop, waitForStart_);
        if (b && !handle(*b, stop)) break;
      }
    });
  }
  void stopWorker() {
    if (!thread_.joinable()) return;
    thread_.request_stop();
    queue_.wake();
    thread_.join();
  }
  // Records or plays one block; false when stopped meanwhile.
  virtual bool handle(SoundBlock& block, const std::stop_token& stop) = 0;
  // Marks the block done (after work), unless a reset handed it back meanwhile.
  template <typename F>
  void finish(SoundBlock& block, F&& work) {
    queue_.finish(&block, std::forward<F>(work), completion_);
  }
  void handBackAll() { queue_.handBackAll(completion_); }

  BlockQueue queue_;
  event::ManualResetEvent& completion_;

 private:
  std::atomic<int>& openCount_;
  bool waitForStart_;
  std::jthread thread_;
};

class QueuedInput : public SoundInput, protected QueuedDevice {
 public:
  QueuedInput(AudioSystem& system, event::ManualResetEvent& completion)
      : QueuedDevice(system.inputsOpen, completion, true) {}
  void queue(SoundBlock& block) override {
    block.done = false;
    block.recorded = 0;
    queue_.push(block);
  }
};

class QueuedOutput : public SoundOutput, protected QueuedDevice {
 public:
  QueuedOutput(AudioSystem& system, event::ManualResetEvent& completion)
      : QueuedDevice(system.outputsOpen, completion, false) {
    queue_.setStarted(true);
  }
  bool write(SoundBlock& block) override {
    block.done = false;
    queue_.push(block);
    return true;
  }
  void reset() override {
    handBackAll();
    queue_.setStarted(true);
  }
  std::uint64_t played() const override { return played_; }

 protected:
  std::atomic<std::uint64_t> played_{0};
};

// --- file backends ---

class FileInput final : public QueuedInput {
 public:
  FileInput(AudioSystem& system, event::ManualResetEvent& completion,
            std::vector<std::int16_t> samples)
      : QueuedInput(system, completion), system_(system), samples_(std::move(samples)) {
    startWorker();
  }
  ~FileInput() override { stopWorker(); }
  void start() override {
    startMicros_ = system_.clock().nowMicros();
    delivered_ = 0;
    if (system_.trace)
      std::fprintf(stderr, "Sound: input %s starts at %llu us\n", system_.inputChoice().c_str(),
                   static_cast<unsigned long long>(startMicros_));
    queue_.setStarted(true);
  }
  void reset() override { handBackAll(); }

 private:
  bool handle(SoundBlock& b, const std::stop_token& stop) override {
    // The block is full when the card has recorded its last sample.
    std::int64_t due =
        static_cast<std::int64_t>(startMicros_) + microsFor(delivered_ + b.samples.size());
    if (!queue_.waitUntil(system_.clock(), static_cast<std::uint64_t>(due), stop)) return false;
    finish(b, [&] {
      for (auto& s : b.samples) s = position_ < samples_.size() ? samples_[position_++] : 0;
      b.recorded = b.samples.size();
      delivered_ += b.samples.size();
    });
    return true;
  }

  AudioSystem& system_;
  std::vector<std::int16_t> samples_;
  std::size_t position_ = 0;
  std::uint64_t startMicros_ = 0;
  std::size_t delivered_ = 0;
};

class FileOutput final : public QueuedOutput {
 public:
  FileOutput(AudioSystem& system, event::ManualResetEvent& completion, SNDFILE* file,
             std::uint64_t* endMicros)
      : QueuedOutput(system, completion), system_(system), file_(file), endMicros_(endMicros) {
    startWorker();
  }
  ~FileOutput() override {
    stopWorker();
    sf_close(file_);
  }
  bool write(SoundBlock& block) override {
    {
      std::lock_guard lock(queuedMutex_);
      queuedAt_[&block] = system_.clock().nowMicros();
    }
    return QueuedOutput::write(block);
  }

 private:
  bool handle(SoundBlock& b, const std::stop_token& stop) override {
    // A block queued before the one ahead of it ended follows it seamlessly, however late this
    // thread gets to it, as on a sound card: only when it was queued can a pause begin.
    std::uint64_t now = system_.clock().nowMicros();
    {
      std::lock_guard lock(queuedMutex_);
      if (auto it = queuedAt_.find(&b); it != queuedAt_.end()) {
        now = it->second;
        queuedAt_.erase(it);
      }
    }
    // The file is the speaker's timeline: a pause in playing is written as silence. A block
    // that comes a little late still follows seamlessly, as a sound card's own buffer holds it.
    if (*endMicros_ != 0 && now > *endMicros_ + kOutputSlackMicros) {
      std::vector<short> silence(
          static_cast<std::size_t>((now - *endMicros_) * kSampleRate / 1000000));
      sf_write_short(file_, silence.data(), static_cast<sf_count_t>(silence.size()));
      *endMicros_ += microsFor(silence.size());
    }
    std::uint64_t begin = std::max(now, *endMicros_);
    if (*endMicros_ == 0 && system_.trace)
      std::fprintf(stderr, "Sound: output %s starts at %llu us\n", system_.outputChoice().c_str(),
                   static_cast<unsigned long long>(begin));
    std::uint64_t end = begin + static_cast<std::uint64_t>(microsFor(b.samples.size()));
    if (!queue_.waitUntil(system_.clock(), end, stop)) return false;
    finish(b, [&] {
      sf_write_short(file_, b.samples.data(), static_cast<sf_count_t>(b.samples.size()));
      *endMicros_ = end;
      played_++;
    });
    return true;
  }

  AudioSystem& system_;
  SNDFILE* file_;
  std::uint64_t* endMicros_;
  std::mutex queuedMutex_;
  std::map<const SoundBlock*, std::uint64_t> queuedAt_;  // when each waiting block was queued
};

// --- PortAudio backends ---

std::string paError(const char* what, PaError e) {
  return std::string("PortAudio: cannot open sound ") + what + ": " + Pa_GetErrorText(e);
}

class PortAudioStream {
 public:
  ~PortAudioStream() {
    if (stream_) {
      Pa_AbortStream(stream_);
      Pa_CloseStream(stream_);
    }
    if (initialised_) Pa_Terminate();
  }
  // An empty name opens the default device, else the one whose name is or contains it.
  bool open(bool input, const std::string& name, std::string* error) {
    PaError e = Pa_Initialize();
    if (e != paNoError) {
      *error = paError(input ? "input" : "output", e);
      return false;
    }
    initialised_ = true;
    if (name.empty()) {
      e = Pa_OpenDefaultStream(&stream_, input ? 1 : 0, input ? 0 : 1, paInt16, kSampleRate,
                               paFramesPerBufferUnspecified, nullptr, nullptr);
    } else {
      PaDeviceIndex device = findDevice(input, name, error);
      if (device == paNoDevice) return false;
      PaStreamParameters p{};
      p.device = device;
      p.channelCount = 1;
      p.sampleFormat = paInt16;
      const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
      p.suggestedLatency = input ? info->defaultLowInputLatency : info->defaultLowOutputLatency;
      e = Pa_OpenStream(&stream_, input ? &p : nullptr, input ? nullptr : &p, kSampleRate,
                        paFramesPerBufferUnspecified, paNoFlag, nullptr, nullptr);
    }
    if (e != paNoError) {
      stream_ = nullptr;
      *error = paError(input ? "input" : "output", e);
      return false;
    }
    return true;
  }
  PaStream* stream() { return stream_; }

 private:
  // A name matching one device exactly wins; else it must be part of exactly one device's name.
  static PaDeviceIndex findDevice(bool input, const std::string& name, std::string* error) {
    std::vector<PaDeviceIndex> partly;
    std::string known;
    for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
      const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
      if (!info || (input ? info->maxInputChannels : info->maxOutputChannels) < 1) continue;
      std::string deviceName = info->name ? info->name : "";
      if (deviceName == name) return i;
      if (deviceName.find(name) != std::string::npos) partly.push_back(i);
      known += (known.empty() ? "" : ", ") + deviceName;
    }
    if (partly.size() == 1) return partly[0];
    const char* what = input ? "input" : "output";
    if (partly.empty()) {
      *error = std::string("PortAudio: no sound ") + what + " device named '" + name +
               "' (known: " + (known.empty() ? "none" : known) + ")";
    } else {
      std::string matching;
      for (PaDeviceIndex i : partly)
        matching += (matching.empty() ? "" : ", ") + std::string(Pa_GetDeviceInfo(i)->name);
      *error = std::string("PortAudio: sound ") + what + " device name '" + name +
               "' is ambiguous (matching: " + matching + ")";
    }
    return paNoDevice;
  }

  bool initialised_ = false;
  PaStream* stream_ = nullptr;
};

class PortAudioInput final : public QueuedInput {
 public:
  PortAudioInput(AudioSystem& system, event::ManualResetEvent& completion,
                 std::unique_ptr<PortAudioStream> stream)
      : QueuedInput(system, completion), stream_(std::move(stream)) {
    startWorker();
  }
  ~PortAudioInput() override { stopWorker(); }
  void start() override {
    Pa_StartStream(stream_->stream());
    queue_.setStarted(true);
  }
  void reset() override {
    handBackAll();
    Pa_AbortStream(stream_->stream());
  }

 private:
  bool handle(SoundBlock& b, const std::stop_token&) override {
    std::vector<std::int16_t> buffer(b.samples.size());
    Pa_ReadStream(stream_->stream(), buffer.data(), buffer.size());
    finish(b, [&] {
      b.samples = buffer;
      b.recorded = buffer.size();
    });
    return true;
  }
  std::unique_ptr<PortAudioStream> stream_;
};

class PortAudioOutput final : public QueuedOutput {
 public:
  PortAudioOutput(AudioSystem& system, event::ManualResetEvent& completion,
                  std::unique_ptr<PortAudioStream> stream)
      : QueuedOutput(system, completion), stream_(std::move(stream)) {
    Pa_StartStream(stream_->stream());
    startWorker();
  }
  ~PortAudioOutput() override { stopWorker(); }

 private:
  bool handle(SoundBlock& b, const std::stop_token&) override {
    Pa_WriteStream(stream_->stream(), b.samples.data(), b.samples.size());
    finish(b, [&] { played_++; });
    return true;
  }
  std::unique_ptr<PortAudioStream> stream_;
};

// --- the backends by name ---

std::unique_ptr<SoundInput> openFileInput(const std::string& path, AudioSystem& system,
                                          event::ManualResetEvent& completion, std::string* error) {
  std::vector<std::int16_t> samples;
  if (!readSoundFile(path, &samples, error)) return nullptr;
  return std::make_unique<FileInput>(system, completion, std::move(samples));
}

std::unique_ptr<SoundOutput> openFileOutput(const std::string& path, AudioSystem& system,
                                            event::ManualResetEvent& completion,
                                            std::string* error) {
  std::uint64_t& endMicros = system.outputEndMicros();
  SF_INFO info{};
  SNDFILE* file = nullptr;
  if (endMicros != 0) {
    // Reopened: go on where the last opening stopped.
    file = sf_open(path.c_str(), SFM_RDWR, &info);
    if (file) sf_seek(file, 0, SEEK_END);
  } else {
    info.samplerate = kSampleRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    file = sf_open(path.c_str(), SFM_WRITE, &info);
  }
  if (!file) {
    *error = "cannot write sound file " + path + ": " + sf_strerror(nullptr);
    return nullptr;
  }
  return std::make_unique<FileOutput>(system, completion, file, &endMicros);
}

std::unique_ptr<SoundInput> openPortAudioInput(const std::string& name, AudioSystem& system,
                                               event::ManualResetEvent& completion,
                                               std::string* error) {
  auto stream = std::make_unique<PortAudioStream>();
  if (!stream->open(true, name, error)) return nullptr;
  return std::make_unique<PortAudioInput>(system, completion, std::move(stream));
}

std::unique_ptr<SoundOutput> openPortAudioOutput(const std::string& name, AudioSystem& system,
                                                 event::ManualResetEvent& completion,
                                                 std::string* error) {
  auto stream = std::make_unique<PortAudioStream>();
  if (!stream->open(false, name, error)) return nullptr;
  return std::make_unique<PortAudioOutput>(system, completion, std::move(stream));
}

using devices::Argument;

struct BuiltinBackends {
  devices::Registry<SoundInputBackend> inputs{"sound input"};
  devices::Registry<SoundOutputBackend> outputs{"sound output"};
  BuiltinBackends() {
    inputs.add("portaudio", Argument::kOptional, "portaudio[:NAME]", openPortAudioInput);
    inputs.add("file", Argument::kRequired, "file:PATH", openFileInput);
    inputs.add("none", Argument::kNone, "none",
               [](const std::string&, AudioSystem&, event::ManualResetEvent&, std::string* error) {
                 *error = "no sound input device";
                 return std::unique_ptr<SoundInput>();
               });
    outputs.add("portaudio", Argument::kOptional, "portaudio[:NAME]", openPortAudioOutput);
    outputs.add("file", Argument::kRequired, "file:PATH", openFileOutput);
    outputs.add("none", Argument::kNone, "none",
                [](const std::string&, AudioSystem&, event::ManualResetEvent&, std::string* error) {
                  *error = "no sound output device";
                  return std::unique_ptr<SoundOutput>();
                });
  }
};

BuiltinBackends& builtinBackends() {
  static BuiltinBackends backends;
  return backends;
}

}  // namespace

std::vector<SoundDeviceInfo> portAudioDevices(std::string* error) {
  std::vector<SoundDeviceInfo> out;
  if (PaError e = Pa_Initialize(); e != paNoError) {
    *error = std::string("PortAudio: ") + Pa_GetErrorText(e);
    return out;
  }
  for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (!info) continue;
    const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi);
    out.push_back({info->name ? info->name : "", api && api->name ? api->name : "",
                   info->maxInputChannels, info->maxOutputChannels, i == Pa_GetDefaultInputDevice(),
                   i == Pa_GetDefaultOutputDevice()});
  }
  Pa_Terminate();
  return out;
}

devices::Registry<SoundInputBackend>& soundInputBackends() {
  return builtinBackends().inputs;
}
devices::Registry<SoundOutputBackend>& soundOutputBackends() {
  return builtinBackends().outputs;
}

bool readSoundFile(const std::string& path, std::vector<std::int16_t>* samples,
                   std::string* error) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) {
    *error = "cannot read sound file " + path + ": " + sf_strerror(nullptr);
    return false;
  }
  std::vector<float> frames(static_cast<std::size_t>(info.frames * info.channels));
  sf_count_t got = sf_readf_float(file, frames.data(), info.frames);
  sf_close(file);
  if (got <= 0 || info.channels <= 0) {
    *error = "sound file " + path + " holds no audio";
    return false;
  }
  std::vector<float> mono(static_cast<std::size_t>(got));
  for (sf_count_t i = 0; i < got; ++i) {
    float sum = 0;
    for (int c = 0; c < info.channels; ++c)
      sum += frames[static_cast<std::size_t>(i * info.channels + c)];
    mono[static_cast<std::size_t>(i)] = sum / static_cast<float>(info.channels);
  }
  if (info.samplerate != kSampleRate) {
    double ratio = double(kSampleRate) / info.samplerate;
    std::vector<float> converted(static_cast<std::size_t>(double(mono.size()) * ratio) + 16);
    SRC_DATA data{};
    data.data_in = mono.data();
    data.input_frames = static_cast<long>(mono.size());
    data.data_out = converted.data();
    data.output_frames = static_cast<long>(converted.size());
    data.src_ratio = ratio;
    if (int e = src_simple(&data, SRC_SINC_FASTEST, 1); e != 0) {
      *error = "cannot convert sound file " + path + ": " + src_strerror(e);
      return false;
    }
    converted.resize(static_cast<std::size_t>(data.output_frames_gen));
    mono = std::move(converted);
  }
  samples->resize(mono.size());
  for (std::size_t i = 0; i < mono.size(); ++i)
    (*samples)[i] = static_cast<std::int16_t>(std::clamp(mono[i] * 32768.0f, -32768.0f, 32767.0f));
  return true;
}

double toneEnergy(const std::vector<std::int16_t>& samples, double hz) {
  const double step = 2 * std::acos(-1.0) * hz / kSampleRate;
  double re = 0, im = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    re += samples[i] * std::cos(step * static_cast<double>(i));
    im += samples[i] * std::sin(step * static_cast<double>(i));
  }
  return (re * re + im * im) / std::max<double>(1, static_cast<double>(samples.size()));
}

bool writeSoundFile(const std::string& path, const std::vector<std::int16_t>& samples,
                    std::string* error, int rate, int channels) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) {
    *error = "cannot write sound file " + path + ": " + sf_strerror(nullptr);
    return false;
  }
  sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(file);
  return true;
}

AudioSystem::AudioSystem(std::string inputChoice, std::string outputChoice, bool halfDuplex,
                         clock::Clock& clock, bool traceTimelines)
    : trace(traceTimelines),
      inputChoice_(std::move(inputChoice)),
      outputChoice_(std::move(outputChoice)),
      input_(devices::parseChoice(inputChoice_)),
      output_(devices::parseChoice(outputChoice_)),
      halfDuplex_(halfDuplex),
      clock_(clock) {}

AudioSystem AudioSystem::fromEnvironment(clock::Clock& clock) {
  auto in = host::environment("ZEP_AUDIO_IN");
  auto out = host::environment("ZEP_AUDIO_OUT");
  return AudioSystem(
      in.empty() ? "portaudio" : in, out.empty() ? "portaudio" : out,
      host::environment("ZEP_AUDIO_DUPLEX") == "half", clock,
      host::environment("ZEP_TRACE") == "1" || host::environment("ZEP_TRACE") == "sound");
}

std::unique_ptr<SoundInput> AudioSystem::openInput(event::ManualResetEvent& completion,
                                                   std::string* error) {
  if (halfDuplex_ && outputsOpen > 0) {
    *error = "the sound card is half duplex and is playing";
    return nullptr;
  }
  auto backend = soundInputBackends().find(input_, error);
  if (!backend) return nullptr;
  return (*backend)(input_.argument, *this, completion, error);
}

std::unique_ptr<SoundOutput> AudioSystem::openOutput(event::ManualResetEvent& completion,
                                                     std::string* error) {
  if (halfDuplex_ && inputsOpen > 0) {
    *error = "the sound card is half duplex and is recording";
    return nullptr;
  }
  auto backend = soundOutputBackends().find(output_, error);
  if (!backend) return nullptr;
  return (*backend)(output_.argument, *this, completion, error);
}

bool AudioSystem::playSoundFile(const std::string& path, std::string* error, std::stop_token stop) {
  std::vector<std::int16_t> samples;
  if (!readSoundFile(path, &samples, error)) return false;
  event::ManualResetEvent done;
  auto output = openOutput(done, error);
  if (!output) return false;
  const std::size_t blockSamples = kSampleRate / 10;
  std::vector<std::unique_ptr<SoundBlock>> blocks;
  for (std::size_t i = 0; i < samples.size(); i += blockSamples) {
    auto b = std::make_unique<SoundBlock>();
    auto end = std::min(samples.size(), i + blockSamples);
    b->samples.assign(samples.begin() + static_cast<long>(i),
                      samples.begin() + static_cast<long>(end));
    output->write(*b);
    blocks.push_back(std::move(b));
  }
  while (!blocks.empty() && !blocks.back()->done) {
    if (stop.stop_requested()) {
      output->reset();
      return true;
    }
    done.reset();
    if (!blocks.back()->done) done.wait(20);
  }
  return true;
}

}  // namespace zep::sound
