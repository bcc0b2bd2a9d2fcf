// Received audio is played through one output device while blocks arrive from several senders
// at uneven times: a PlayoutRing per sender, and an AudioMixer that takes one block from every
// ring at a fixed pace, adds them, and keeps a small queue of blocks on the device. One design
// serves three programs with the settings of PlayoutVariant.
#pragma once

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio.h"
#include "platform/clock.h"
#include "platform/event.h"

namespace zep::audio {

struct PlayoutVariant {
  enum Log { kNoLog, kKestrelLog, kStreamerLog };
  std::size_t blockSamples;
  std::size_t outputHeaders;
  bool jitterBuffer;         // write behind the unread data and prime before playing
  bool timerPaced;           // a 200 ms periodic timer, output before mixing
  bool periodicDeviceReset;  // reset the device every 10000 blocks
  bool waitUntilDone;        // wait for a free header until it is done, not just once
  Log log;
  // The most blocks the device holds, the one playing included: a block that would be one
  // more is dropped instead of written. 0: as many as there are headers.
  std::size_t maxDeviceBlocks = 0;
  std::size_t blockBytes() const { return blockSamples * 2; }
  int blockMs() const { return static_cast<int>(blockSamples / 8); }
};

// The audio tool: the latest block wins, one block of delay at most, and the device holds the
// block playing and at most one more, so a late step never leaves delay behind for the rest of
// the call.
inline constexpr PlayoutVariant kAudioToolPlayout{
    800, 6, false, false, true, false, PlayoutVariant::kNoLog, 2};
// The integrated client and the stream client: jitter buffers primed with two blocks.
inline constexpr PlayoutVariant kKestrelPlayout{
    1600, 6, true, true, false, false, PlayoutVariant::kKestrelLog};
inline constexpr PlayoutVariant kStreamerPlayout{
    1600, 2, true, true, false, true, PlayoutVariant::kStreamerLog};

inline constexpr std::size_t kPrimingBytes = 3200;
inline constexpr int kMaxSources = 10;
inline constexpr std::uint32_t kDeviceResetBlocks = 10000;

// The "ksa.log" lines of the variants that write one.
class PlayoutLog {
 public:
  // limitedPerSecond: at most this many limitedLine()s a second are written (0: all of them),
  // so a peer that floods cannot grow the file faster than that.
  explicit PlayoutLog(const std::string& path, int limitedPerSecond = 0);
  ~PlayoutLog();
  void line(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // A line written for every block or datagram: left out once this second's share is used.
  void limitedLine(const char* format, ...) __attribute__((format(printf, 2, 3)));
  std::uint64_t linesLeftOut() const { return leftOut_; }

 private:
  void write(const char* format, va_list args);

  std::FILE* file_;
  std::mutex mutex_;
  const int limitedPerSecond_;
  std::int64_t second_ = -1;  // the steady clock's second that the count below is for
  int writtenThisSecond_ = 0;
  std::atomic<std::uint64_t> leftOut_{0};
};

class PlayoutRing {
 public:
  struct Region {
    std::span<std::uint8_t> first;
    std::span<std::uint8_t> second;  // empty unless the region wraps
  };

  PlayoutRing(std::size_t sizeBytes, const PlayoutVariant& variant, event::ManualResetEvent& lock,
              clock::Clock& clock, PlayoutLog* log);

  // Takes the lock and returns len bytes from the start offset (the read position; behind the
  // unread data for jitter buffers).
  Region lock_region(std::size_t len);
  void unlock() { lock_.set(); }
  // The block at the read position, which then advances. The caller copies and clears the
  // spans, then unlocks.
  Region read_block(std::size_t len);
  // Copies the block in and clears the block after it.
  void write_block(std::span<const std::uint8_t> data);
  // Jitter buffers: false while priming, until 3200 bytes are in.
  bool ready();
  // Jitter buffers: nothing more is coming for now, so what waits is played even below the
  // minimum; once it has run dry the ring primes again.
  void playOut();
  void reset();

  std::size_t size() const { return data_.size(); }
  std::size_t position() const { return position_; }
  std::size_t fill() const { return fill_; }

 private:
  void take(std::size_t len);
  Region regionAt(std::size_t start, std::size_t len);

  const PlayoutVariant& variant_;
  event::ManualResetEvent& lock_;
  clock::Clock& clock_;
  PlayoutLog* log_;
  std::vector<std::uint8_t> data_;
  std::size_t position_ = 0;
  std::size_t fill_ = 0;
  bool priming_ = true;
};

class AudioMixer {
 public:
  using OpenDevice =
      std::function<std::unique_ptr<sound::SoundOutput>(event::ManualResetEvent&, std::string*)>;
  using ShowMessage = std::function<void(const std::string& title, const std::string& text)>;

  struct Options {
    OpenDevice openDevice;    // the program's output device
    ShowMessage showMessage;  // message boxes; standard error when empty
    std::string logPath = "ksa.log";
    int logLinesPerSecond = 0;     // the per-block lines of the log: at most this many a second
    bool startClock = true;        // false: the caller drives step() (tests)
    int maxSources = kMaxSources;  // fewer rings, to try the limit with few senders
  };

  AudioMixer(const PlayoutVariant& variant, clock::Clock& clock, Options options);
  ~AudioMixer();
  AudioMixer(const AudioMixer&) = delete;
  AudioMixer& operator=(const AudioMixer&) = delete;

  bool open();
  void close();
  // A new ring in the first empty slot; null when all ten are taken.
  PlayoutRing* add_source(std::size_t ringBytes);
  // Deletes the ring; a ring that is not here is ignored. Never while it is being mixed.
  void remove_source(PlayoutRing* ring);
  // The ring's sender has ended its spurt: what waits in it is played out, then the ring is
  // deleted (at once when nothing waits or nothing plays). The caller forgets the ring.
  void retire_source(PlayoutRing* ring);
  void play_on() { playing_ = true; }
  void play_off() { playing_ = false; }
  void reset_output();

  // One clock step as the variant orders it: mix then output, or output then mix.
  void step();
  // The parts of a step.
  void mix();
  void output();

  int sourceCount() const { return sourceCount_; }
  // Blocks the open device has played to the end.
  std::uint64_t playedBlocks();
  bool playing() const { return playing_; }
  std::span<const std::int16_t> mixBuffer() const { return mix_; }
  std::uint32_t blocksSinceDeviceReset() const { return writtenSinceReset_; }
  // Blocks dropped because the device still held the header they were due in.
  std::uint64_t droppedBlocks() const { return droppedBlocks_; }
  // Blocks dropped because the device already held as many as the variant allows: each one
  // takes a block's time off the delay that a late step left in the device.
  std::uint64_t lateBlocks() const { return lateBlocks_; }

 private:
  void run(const std::stop_token& stop);
  // The device holds as many blocks as the variant allows.
  bool atDeviceLimit() const;
  void message(const std::string& title, const std::string& text);
  // Under sourcesMutex_.
  void dropSlot(std::size_t i);
  void dropRetiredRings();

  const PlayoutVariant& variant_;
  clock::Clock& clock_;
  Options options_;
  std::unique_ptr<PlayoutLog> log_;
  event::ManualResetEvent& ringLock_;
  event::ManualResetEvent& writeEvent_;

  std::mutex sourcesMutex_;  // slots change on the receive thread while the clock mixes
  std::array<std::unique_ptr<PlayoutRing>, kMaxSources> slots_;
  std::array<bool, kMaxSources> retiring_{};  // deleted once played dry
  std::atomic<int> sourceCount_{0};

  std::mutex deviceMutex_;
  std::unique_ptr<sound::SoundOutput> device_;
  std::vector<std::unique_ptr<sound::SoundBlock>> headers_;
  std::size_t current_ = 0;
  bool firstBlock_ = true;
  bool prepared_ = false;  // the current header holds a block to write
  std::uint32_t writtenSinceReset_ = 0;
  std::atomic<std::uint64_t> droppedBlocks_{0};
  std::atomic<std::uint64_t> lateBlocks_{0};
  std::vector<std::int16_t> mix_;
  std::atomic<bool> playing_{false};
  std::uint32_t target_ = 0;
  std::jthread clockThread_;
};

}  // namespace zep::audio
