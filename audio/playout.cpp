#include "audio/playout.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstring>

namespace zep::audio {

namespace {
// How long, in blocks, the output step waits at most for the device to free the next header.
constexpr int kFreeHeaderBlocks = 2;
}  // namespace

PlayoutLog::PlayoutLog(const std::string& path, int limitedPerSecond)
    : file_(std::fopen(path.c_str(), "w")), limitedPerSecond_(limitedPerSecond) {
  if (!file_) std::fprintf(stderr, "cannot create %s: %s\n", path.c_str(), std::strerror(errno));
}

PlayoutLog::~PlayoutLog() {
  if (file_) std::fclose(file_);
}

void PlayoutLog::write(const char* format, va_list args) {
  std::vfprintf(file_, format, args);
  std::fflush(file_);
}

void PlayoutLog::line(const char* format, ...) {
  if (!file_) return;
  std::lock_guard lock(mutex_);
  va_list args;
  va_start(args, format);
  write(format, args);
  va_end(args);
}

void PlayoutLog::limitedLine(const char* format, ...) {
  if (!file_) return;
  std::lock_guard lock(mutex_);
  if (limitedPerSecond_ > 0) {
    const std::int64_t second = std::chrono::duration_cast<std::chrono::seconds>(
                                    std::chrono::steady_clock::now().time_since_epoch())
                                    .count();
    if (second != second_) {
      second_ = second;
      writtenThisSecond_ = 0;
    }
    if (writtenThisSecond_ >= limitedPerSecond_) {
      ++leftOut_;
      return;
    }
    ++writtenThisSecond_;
  }
  va_list args;
  va_start(args, format);
  write(format, args);
  va_end(args);
}

// --- PlayoutRing ---

PlayoutRing::PlayoutRing(std::size_t sizeBytes, const PlayoutVariant& variant,
                         event::ManualResetEvent& lock, clock::Clock& clock, PlayoutLog* log)
    : variant_(variant), lock_(lock), clock_(clock), log_(log), data_(sizeBytes, 0) {}

void PlayoutRing::take(std::size_t len) {
  std::uint32_t before = clock_.now();
  lock_.take(-1);
  if (log_ && variant_.log == PlayoutVariant::kKestrelLog)
    log_->limitedLine("KSAbuffer lock: pos = %d, relpos = %d, len = %d, delay = %d\n",
                      static_cast<int>(position_), static_cast<int>(fill_), static_cast<int>(len),
                      static_cast<int>(clock_.now() - before));
}

PlayoutRing::Region PlayoutRing::regionAt(std::size_t start, std::size_t len) {
  start %= data_.size();
  len = std::min(len, data_.size());
  std::size_t firstLength = std::min(len, data_.size() - start);
  Region r;
  r.first = std::span(data_).subspan(start, firstLength);
  if (firstLength < len) r.second = std::span(data_).first(len - firstLength);
  return r;
}

PlayoutRing::Region PlayoutRing::lock_region(std::size_t len) {
  take(len);
  return regionAt(variant_.jitterBuffer ? position_ + fill_ : position_, len);
}

PlayoutRing::Region PlayoutRing::read_block(std::size_t len) {
  take(len);
  Region r = regionAt(position_, len);
  if (log_ && variant_.log == PlayoutVariant::kStreamerLog)
    log_->limitedLine("Get buffer, pos: %d, relpos: %d, time: %d ms\n", static_cast<int>(position_),
                      static_cast<int>(fill_), static_cast<int>(clock_.now()));
  position_ = (position_ + len) % data_.size();
  if (variant_.jitterBuffer) {
    bool wasEmpty = fill_ == 0;
    fill_ = fill_ > len ? fill_ - len : 0;
    if (wasEmpty) priming_ = true;
  }
  return r;
}

void PlayoutRing::write_block(std::span<const std::uint8_t> data) {
  const std::size_t len = data.size();
  take(2 * len);
  if (variant_.jitterBuffer && fill_ + 2 * len > data_.size()) {
    // Full: the oldest data goes, so the delay stays bounded by the ring's size.
    std::size_t excess = fill_ + 2 * len - data_.size();
    excess = std::min(excess, fill_);
    position_ = (position_ + excess) % data_.size();
    fill_ -= excess;
  }
  std::size_t start = variant_.jitterBuffer ? position_ + fill_ : position_;
  Region r = regionAt(start, 2 * len);
  std::size_t copied = 0;
  for (auto span : {r.first, r.second}) {
    for (auto& byte : span) byte = copied < len ? data[copied] : 0, ++copied;
  }
  if (log_ && variant_.log == PlayoutVariant::kStreamerLog)
    log_->limitedLine("PLAY buffer, pos: %d, relpos: %d, time: %d ms\n",
                      static_cast<int>(position_), static_cast<int>(fill_),
                      static_cast<int>(clock_.now()));
  if (variant_.jitterBuffer) fill_ += len;
  unlock();
}

bool PlayoutRing::ready() {
  // Fill and priming change under the lock on the receive thread.
  lock_.take(-1);
  if (priming_ && fill_ >= kPrimingBytes) priming_ = false;
  const bool playable = !priming_;
  unlock();
  return playable;
}

void PlayoutRing::playOut() {
  lock_.take(-1);
  if (fill_ > 0) priming_ = false;
  unlock();
}

void PlayoutRing::reset() {
  lock_.take(-1);
  position_ = 0;
  fill_ = 0;
  priming_ = true;
  std::fill(data_.begin(), data_.end(), 0);
  unlock();
}

// --- AudioMixer ---

AudioMixer::AudioMixer(const PlayoutVariant& variant, clock::Clock& clock, Options options)
    : variant_(variant),
      clock_(clock),
      options_(std::move(options)),
      ringLock_(event::named("bufferEvent", true)),
      writeEvent_(event::named("write", true)),
      mix_(variant.blockSamples, 0) {
  if (variant_.log != PlayoutVariant::kNoLog)
    log_ = std::make_unique<PlayoutLog>(options_.logPath, options_.logLinesPerSecond);
  for (std::size_t i = 0; i < variant_.outputHeaders; ++i) {
    auto h = std::make_unique<sound::SoundBlock>();
    h->samples.assign(variant_.blockSamples, 0);
    headers_.push_back(std::move(h));
  }
  if (options_.startClock) clockThread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

AudioMixer::~AudioMixer() {
  if (clockThread_.joinable()) {
    clockThread_.request_stop();
    clockThread_.join();
  }
  close();
}

void AudioMixer::message(const std::string& title, const std::string& text) {
  if (options_.showMessage)
    options_.showMessage(title, text);
  else
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
}

bool AudioMixer::open() {
  std::lock_guard device(deviceMutex_);
  firstBlock_ = true;
  prepared_ = false;
  current_ = 0;
  writeEvent_.set();
  if (variant_.jitterBuffer) {
    std::lock_guard sources(sourcesMutex_);
    for (auto& ring : slots_)
      if (ring) ring->reset();
    dropRetiredRings();
  }
  std::string error;
  device_ = options_.openDevice ? options_.openDevice(writeEvent_, &error) : nullptr;
  if (!device_) return false;
  if (log_) log_->line("KSA init\n");
  clock_.sleep(100);
  playing_ = true;
  return true;
}

void AudioMixer::close() {
  playing_ = false;
  std::lock_guard device(deviceMutex_);
  if (!device_) return;
  device_->reset();
  device_.reset();
  for (auto& h : headers_) h->done = true;
  if (log_) log_->line("KSA close\n");
}

std::uint64_t AudioMixer::playedBlocks() {
  std::lock_guard device(deviceMutex_);
  return device_ ? device_->played() : 0;
}

PlayoutRing* AudioMixer::add_source(std::size_t ringBytes) {
  std::lock_guard sources(sourcesMutex_);
  if (sourceCount_ >= std::min(options_.maxSources, kMaxSources)) return nullptr;
  for (auto& slot : slots_) {
    if (slot) continue;
    slot = std::make_unique<PlayoutRing>(ringBytes, variant_, ringLock_, clock_, log_.get());
    sourceCount_++;
    return slot.get();
  }
  return nullptr;
}

void AudioMixer::remove_source(PlayoutRing* ring) {
  std::lock_guard sources(sourcesMutex_);
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].get() != ring || !ring) continue;
    dropSlot(i);
    return;
  }
}

void AudioMixer::retire_source(PlayoutRing* ring) {
  std::lock_guard sources(sourcesMutex_);
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].get() != ring || !ring) continue;
    // The ring's writer is the caller, and the mixer reads it only under sourcesMutex_: its
    // fill cannot change here.
    ring->playOut();
    if (ring->fill() == 0 || !playing_)
      dropSlot(i);
    else
      retiring_[i] = true;
    return;
  }
}

void AudioMixer::dropSlot(std::size_t i) {
  slots_[i].reset();
  retiring_[i] = false;
  sourceCount_--;
}

void AudioMixer::dropRetiredRings() {
  for (std::size_t i = 0; i < slots_.size(); ++i)
    if (slots_[i] && retiring_[i] && slots_[i]->fill() == 0) dropSlot(i);
}

void AudioMixer::reset_output() {
  if (log_) log_->line("RESET!!!!!!!!!!\n");
  {
    std::lock_guard device(deviceMutex_);
    if (device_) device_->reset();
    writeEvent_.wait(1000);
    for (auto& h : headers_) h->done = true;
    firstBlock_ = true;
    prepared_ = false;
    current_ = 0;
  }
  std::lock_guard sources(sourcesMutex_);
  for (auto& ring : slots_)
    if (ring) ring->reset();
  dropRetiredRings();
}

void AudioMixer::mix() {
  std::fill(mix_.begin(), mix_.end(), 0);
  std::lock_guard sources(sourcesMutex_);
  const int count = sourceCount_;
  if (count == 0) return;
  for (auto& ring : slots_) {
    if (!ring || (variant_.jitterBuffer && !ring->ready())) continue;
    auto region = ring->read_block(variant_.blockBytes());
    std::size_t j = 0;
    for (auto span : {region.first, region.second}) {
      for (std::size_t k = 0; k + 1 < span.size() && j < mix_.size(); k += 2, ++j) {
        std::int16_t s;
        std::memcpy(&s, span.data() + k, 2);
        mix_[j] = static_cast<std::int16_t>(mix_[j] + s / count);
      }
      std::fill(span.begin(), span.end(), 0);
    }
    ring->unlock();
  }
  // Rings whose spurt has ended and whose last data was just mixed leave: they no longer
  // divide the others' samples.
  dropRetiredRings();
}

void AudioMixer::output() {
  std::lock_guard device(deviceMutex_);
  if (!device_) return;
  if (firstBlock_) {
    firstBlock_ = false;
  } else if (prepared_ && atDeviceLimit()) {
    // The device is behind (a step came late, or several came at once to catch up): rather
    // than carry the extra delay for the rest of the call, this block is dropped and its
    // header takes the next one.
    ++lateBlocks_;
  } else if (prepared_) {
    if (variant_.periodicDeviceReset && ++writtenSinceReset_ >= kDeviceResetBlocks) {
      device_->reset();
      writtenSinceReset_ = 0;
    }
    if (!device_->write(*headers_[current_])) message("Error", "Can't write audio");
    current_ = (current_ + 1) % headers_.size();
    auto& next = *headers_[current_];
    if (variant_.waitUntilDone) {
      // The event stays set here, so a wait may return at once: pause between looks. A device
      // that never hands the header back must neither stall the clock nor keep close(), which
      // needs the device lock, waiting: give up after two blocks' time or once the mixer
      // closes, and the block is dropped below.
      const auto deadline = std::chrono::steady_clock::now() +
                            std::chrono::milliseconds(kFreeHeaderBlocks * variant_.blockMs());
      while (!next.done && playing_ && std::chrono::steady_clock::now() < deadline &&
             writeEvent_.wait(variant_.blockMs()) && !next.done)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } else {
      const std::uint32_t before = clock_.now();
      if (!next.done) writeEvent_.wait(10 * variant_.blockMs());
      writeEvent_.reset();
      if (log_ && variant_.log == PlayoutVariant::kKestrelLog)
        log_->line("Wait on play event: %d\n", static_cast<int>(clock_.now() - before));
    }
  }
  auto& header = *headers_[current_];
  if (!header.done) {
    // The device has not handed this header back and may still be playing it: the block is
    // dropped rather than written over it, and the next step tries the header again.
    prepared_ = false;
    ++droppedBlocks_;
    return;
  }
  std::copy(mix_.begin(), mix_.end(), header.samples.begin());
  prepared_ = true;
}

bool AudioMixer::atDeviceLimit() const {
  if (variant_.maxDeviceBlocks == 0) return false;
  std::size_t held = 0;
  for (const auto& h : headers_) held += !h->done;
  return held >= variant_.maxDeviceBlocks;
}

void AudioMixer::step() {
  if (variant_.timerPaced) {
    output();
    mix();
  } else {
    mix();
    output();
  }
}

void AudioMixer::run(const std::stop_token& stop) {
  while (!stop.stop_requested()) {
    if (!playing_) {
      clock_.sleep(variant_.timerPaced ? variant_.blockMs() : 100);
      continue;
    }
    if (variant_.timerPaced) {
      // The periodic timer: a step every 200 ms on a fixed grid.
      target_ += static_cast<std::uint32_t>(variant_.blockMs());
      std::uint32_t now = clock_.now();
      if (static_cast<std::int32_t>(target_ - now) > 0)
        clock_.sleep(static_cast<int>(target_ - now));
      else if (static_cast<std::int32_t>(now - target_) > variant_.blockMs())
        target_ = now;
      if (playing_) step();
      continue;
    }
    // The step's time comes first and the mix right before the output, so a block that
    // arrived just before a step is in it, and is written at the next.
    std::uint32_t t = clock_.now();
    bool first;
    {
      std::lock_guard device(deviceMutex_);
      first = firstBlock_;
    }
    target_ = first ? t : target_ + 100;
    if (static_cast<std::int32_t>(target_ - t) > 0) clock_.sleep(static_cast<int>(target_ - t));
    if (!playing_) continue;
    mix();
    output();
  }
}

}  // namespace zep::audio
