// Sound input and output at 8000 Hz, 16-bit, mono, block by block, with a completion event set
// whenever the device finishes a block. Backends, chosen at run time:
//   portaudio    a real sound card (the default); portaudio:NAME the device whose name is NAME
//                or the only one whose name contains it
//   file:PATH    input reads a sound file (any rate and channel count, converted) paced by the
//                clock, then silence; output writes what the speaker would play to a WAV file,
//                at the device's rate, silence included (a block queued up to 20 ms after the
//                one before it ended follows it seamlessly, as in a sound card's buffer)
//   none         no device: opening fails, as on a machine without a sound card
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/devices.h"
#include "platform/event.h"

namespace zep::sound {

inline constexpr int kSampleRate = 8000;

// A buffer handed to a device, like a wave header: the device owns it from queueing until it
// marks it done.
struct SoundBlock {
  std::vector<std::int16_t> samples;
  std::size_t recorded = 0;  // input: samples the device filled
  std::atomic<bool> done{true};
};

class SoundInput {
 public:
  virtual ~SoundInput() = default;  // closes the device
  // Queues an empty block; the device fills it in turn, marks it done and sets the event.
  virtual void queue(SoundBlock& block) = 0;
  virtual void start() = 0;
  // Stops recording and hands back every queued block marked done, unfilled.
  virtual void reset() = 0;
};

class SoundOutput {
 public:
  virtual ~SoundOutput() = default;  // closes the device
  // Queues a block to play; it is marked done (and the event set) once played.
  virtual bool write(SoundBlock& block) = 0;
  // Stops playing and marks every queued block done.
  virtual void reset() = 0;
  // Number of blocks the device has played (for tests and statistics).
  virtual std::uint64_t played() const = 0;
};

class AudioSystem;

// Sound backends by name, one registry per direction: each opens its device from the choice's
// argument (empty when the choice has none). A test backend is added like the others.
using SoundInputBackend = std::function<std::unique_ptr<SoundInput>(
    const std::string& argument, AudioSystem& system, event::ManualResetEvent& completion,
    std::string* error)>;
using SoundOutputBackend = std::function<std::unique_ptr<SoundOutput>(
    const std::string& argument, AudioSystem& system, event::ManualResetEvent& completion,
    std::string* error)>;
// portaudio, file and none in each.
devices::Registry<SoundInputBackend>& soundInputBackends();
devices::Registry<SoundOutputBackend>& soundOutputBackends();

// The sound hardware of one program: which backends, whether the card is half duplex.
class AudioSystem {
 public:
  AudioSystem(std::string inputChoice, std::string outputChoice, bool halfDuplex,
              clock::Clock& clock, bool trace = false);
  // ZEP_AUDIO_IN, ZEP_AUDIO_OUT (default "portaudio") and ZEP_AUDIO_DUPLEX=half.
  static AudioSystem fromEnvironment(clock::Clock& clock);

  // Null with *error set when the device cannot be opened (and, half duplex, while the other
  // direction is open).
  std::unique_ptr<SoundInput> openInput(event::ManualResetEvent& completion, std::string* error);
  std::unique_ptr<SoundOutput> openOutput(event::ManualResetEvent& completion, std::string* error);

  // Plays a sound file on the output device and returns when it has been played. A missing
  // file plays nothing (there is no default sound) and returns false.
  // A stop request ends the playing at once.
  bool playSoundFile(const std::string& path, std::string* error, std::stop_token stop = {});

  const std::string& inputChoice() const { return inputChoice_; }
  const std::string& outputChoice() const { return outputChoice_; }
  clock::Clock& clock() { return clock_; }

  // With ZEP_TRACE=1 the sound-file devices say on standard error when their timelines start
  // (monotonic microseconds), so delays can be measured across processes; ZEP_TRACE=sound
  // traces only that, for measurements that the other trace lines would disturb.
  const bool trace;

  // Open directions, kept by the devices (half-duplex emulation).
  std::atomic<int> inputsOpen{0};
  std::atomic<int> outputsOpen{0};

  // Where the output file's timeline ends (microseconds of the clock), kept across openings
  // so a reopened file goes on where it stopped; 0 before any output.
  std::uint64_t& outputEndMicros() { return outputEndMicros_; }

 private:
  std::string inputChoice_;
  std::string outputChoice_;
  devices::DeviceChoice input_;  // the choices, parsed once
  devices::DeviceChoice output_;
  bool halfDuplex_;
  clock::Clock& clock_;
  std::uint64_t outputEndMicros_ = 0;
};

// A sound device as PortAudio sees it.
struct SoundDeviceInfo {
  std::string name;
  std::string hostApi;  // "ALSA", ...
  int inputChannels = 0;
  int outputChannels = 0;
  bool defaultInput = false;
  bool defaultOutput = false;
};
// Every device PortAudio knows; empty with *error set when PortAudio cannot start.
std::vector<SoundDeviceInfo> portAudioDevices(std::string* error);

// Reads a sound file as 8000 Hz mono samples; false with *error naming the file when it cannot
// be read or holds no audio.
bool readSoundFile(const std::string& path, std::vector<std::int16_t>* samples, std::string* error);
// Writes samples (interleaved when channels > 1) as a 16-bit WAV file.
bool writeSoundFile(const std::string& path, const std::vector<std::int16_t>& samples,
                    std::string* error, int rate = kSampleRate, int channels = 1);

// Energy of one frequency in 8000 Hz samples (a single DFT bin), per sample: how loud a tone
// is in a recording, for measurements.
double toneEnergy(const std::vector<std::int16_t>& samples, double hz);

}  // namespace zep::sound
