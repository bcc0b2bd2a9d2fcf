#include "audio/audio_core.h"

#include <algorithm>
#include <cstdio>

#include "platform/bytes.h"

namespace zep::audio {

int blockLevel(std::span<const std::int16_t> samples) {
  int level = 0;
  for (auto s : samples) level = std::max<int>(level, s);
  return level;
}

AudioCore::AudioCore(sound::AudioSystem& audio, clock::Clock& clock, AudioCoreHooks& hooks,
                     SendToAll send, AudioMixer::Options mixerOptions)
    : audio_(audio),
      clock_(clock),
      hooks_(hooks),
      send_(std::move(send)),
      mixerOptions_(std::move(mixerOptions)),
      capture_(audio) {
  addAudioCodecs(codecs_);
}

AudioCore::~AudioCore() {
  stop();
}

void AudioCore::start(const std::function<void()>& startReceiving) {
  capture_.init([this](std::span<const std::int16_t> s) { on_captured_block(s); });
  if (!mixerOptions_.openDevice)
    mixerOptions_.openDevice = [this](event::ManualResetEvent& e, std::string* error) {
      return audio_.openOutput(e, error);
    };
  mixer_ = std::make_unique<AudioMixer>(kAudioToolPlayout, clock_, mixerOptions_);
  if (!mixer_->open()) {
    hooks_.message("Info", "There is no appropriate audio device");
    hooks_.requestClose();
  } else {
    mixer_->close();
    if (!capture_.open()) {
      hooks_.message("Info", "Audio device does not support audio capturing");
      mixer_->open();
    } else if (!mixer_->open()) {
      deviceClass_ = HALF_DUPLEX;
    }
  }
  auto_ = false;
  // The start state is set without the actions of a transition.
  state_ = deviceClass_ == HALF_DUPLEX ? TALK : BOTH;
  if (startReceiving) startReceiving();
}

void AudioCore::requestResets() {
  send_(AUDIO_RESET_REQUEST, {});
}

void AudioCore::restartCoders() {
  std::lock_guard lock(codecMutex_);
  if (sendCodec_ != AUDIO_RESET_PENDING) {
    savedCodec_ = sendCodec_;
    sendCodec_ = AUDIO_RESET_PENDING;
  }
}

void AudioCore::stop() {
  if (!mixer_) return;
  switch (state_) {
    case TALK:
      closeCapture();
      break;
    case LISTEN:
      mixer_->close();
      speakerOff();
      break;
    case BOTH:
      closeCapture();
      mixer_->close();
      speakerOff();
      break;
  }
  mixer_.reset();
  capture_.shutdown();
}

void AudioCore::openCapture() {
  capture_.open();
  capture_.set_capturing(true);
}

void AudioCore::closeCapture() {
  capture_.close();
  capture_.set_capturing(false);
}

void AudioCore::speakerOff() {
  send_(AUDIO_SPEAKER_OFF, {});
}

void AudioCore::select_codec(std::uint32_t codec) {
  // Choosing ADPCM starts its decoders afresh for every sender. The other decoders follow
  // their senders' coders, which a choice made here does not touch.
  if (codec == AUDIO_ADPCM)
    if (auto* c = codecs_.find(static_cast<int>(codec)))
      for (int m = 0; m < kMaxSenders; ++m) c->resetSender(m);
  std::lock_guard lock(codecMutex_);
  // While a reset is pending the choice waits as the codec to return to: the reset still
  // goes out with the next block, and the new codec follows it.
  if (sendCodec_ == AUDIO_RESET_PENDING)
    savedCodec_ = codec;
  else
    sendCodec_ = codec;
}

void AudioCore::on_captured_block(std::span<const std::int16_t> samples) {
  if (samples.size() < kBlockSamples) return;
  samples = samples.first(kBlockSamples);
  const int level = blockLevel(samples);
  std::uint32_t codec;
  {
    std::lock_guard lock(codecMutex_);
    codec = sendCodec_;
    if (codec == AUDIO_RESET_PENDING) {
      // This block's audio is not sent: the reset answers the request instead.
      codecs_.resetEncoders();
      sendCodec_ = savedCodec_;
    }
  }
  if (codec == AUDIO_RESET_PENDING) {
    send_(AUDIO_RESET, {});
  } else if (auto* c = codecs_.find(static_cast<int>(codec))) {
    std::array<std::uint8_t, kBlockBytes> out;
    auto coded =
        c->encode({reinterpret_cast<const std::uint8_t*>(samples.data()), kBlockBytes}, out, false);
    if (coded.ok()) send_(codec, std::span(out).first(coded.bytes));
  }
  hooks_.showMicrophoneLevel(level / kMeterDivisor);
  if (level > threshold_) {
    silentBlocks_ = 0;
    return;
  }
  if (++silentBlocks_ < kSilentBlocksBeforeQuiet) return;
  hooks_.restartQuietTimer();
  if (talkRequest_) {
    silentBlocks_ = 0;
    hooks_.raiseLater(EV_SILENCE);
  }
}

void AudioCore::on_datagram(std::uint32_t type, std::span<const std::uint8_t> payload, int sender) {
  if (sender < 0 || sender >= kMaxSenders) return;
  auto m = static_cast<std::size_t>(sender);
  heardAt_[m] = clock_.now();
  std::array<std::int16_t, kBlockSamples> block{};
  if (auto* c = codecs_.find(static_cast<int>(type))) {
    // Short blocks are never decoded past their end; a sender that changed codec starts the
    // other decoders afresh.
    if (c->decode(sender, payload, {reinterpret_cast<std::uint8_t*>(block.data()), kBlockBytes}) !=
        codec::CodecStatus::kOk)
      return;
    codecs_.resetOthers(sender, c);
  }
  switch (type) {
    case AUDIO_RESET_REQUEST:
      restartCoders();
      break;
    case AUDIO_RESET:
      codecs_.resetSender(sender);
      break;
    case AUDIO_SPEAKER_OFF:
      forgetSender(sender);
      break;
    default:
      break;
  }
  const int level = blockLevel(block);
  hooks_.showSpeakerLevel(level / kMeterDivisor);
  switch (state_.load()) {
    case TALK:
      if (level > threshold_) talkRequest_ = true;
      return;
    case LISTEN:
      if (level > threshold_) hooks_.restartQuietTimer();
      break;
    case BOTH:
      break;
  }
  if (!mixer_) return;
  const std::uint32_t now = clock_.now();
  const bool loud = level > threshold_;
  if (!rings_[m]) {
    rings_[m] = mixer_->add_source(kAudioToolRingBytes);
    // With every ring taken, a new voice takes the ring of the sender quiet longest, so that
    // people who speak in turn are all heard; while everyone with a ring is still talking,
    // the new one is not heard, and those who started first keep clear voices.
    if (!rings_[m] && loud) rings_[m] = takeQuietRing(now);
    if (rings_[m]) loudAt_[m] = now;
  }
  if (!rings_[m]) return;
  if (loud) loudAt_[m] = now;
  rings_[m]->write_block(
      std::span(reinterpret_cast<const std::uint8_t*>(block.data()), kPcmBlockBytes));
}

PlayoutRing* AudioCore::takeQuietRing(std::uint32_t now) {
  int quietest = -1;
  std::uint32_t longest = 0;
  for (int m = 0; m < kMaxSenders; ++m) {
    auto i = static_cast<std::size_t>(m);
    if (!rings_[i]) continue;
    const std::uint32_t quietFor = now - loudAt_[i];
    if (quietFor >= kQuietRingMs && quietFor >= longest) {
      quietest = m;
      longest = quietFor;
    }
  }
  if (quietest < 0) return nullptr;
  auto i = static_cast<std::size_t>(quietest);
  PlayoutRing* ring = rings_[i];
  rings_[i] = nullptr;  // should it speak again, it asks for a ring like a new sender
  return ring;
}

void AudioCore::forgetSender(int sender) {
  if (sender < 0 || sender >= kMaxSenders) return;
  auto m = static_cast<std::size_t>(sender);
  if (rings_[m] && mixer_) mixer_->remove_source(rings_[m]);
  rings_[m] = nullptr;
}

void AudioCore::memberLeft(int member) {
  forgetSender(member);
  codecs_.resetSender(member);
}

void AudioCore::forgetGoneSenders() {
  const std::uint32_t now = clock_.now();
  for (int m = 0; m < kMaxSenders; ++m)
    if (rings_[static_cast<std::size_t>(m)] &&
        now - heardAt_[static_cast<std::size_t>(m)] >= kGoneSenderMs)
      forgetSender(m);
}

bool AudioCore::hasRing(int sender) const {
  return sender >= 0 && sender < kMaxSenders && rings_[static_cast<std::size_t>(sender)];
}

void AudioCore::onQuietTimer() {
  raise_event(EV_QUIET);
  talkRequest_ = false;
}

void AudioCore::raise_event(AudioEvent event) {
  std::lock_guard lock(transitions_);
  const AudioState s = state_;
  const bool automatic = auto_;
  const bool talkish = event == EV_TALK || event == EV_SILENCE;
  const bool listenish = event == EV_TALK || event == EV_QUIET;
  if (deviceClass_ == FULL_DUPLEX) {
    if (!automatic) {
      if (event == EV_AUTO) {
        auto_ = true;
        goTo(TALK);
      }
      return;
    }
    if (s == TALK && event == EV_AUTO) {
      auto_ = false;
      goTo(BOTH);
    } else if (s == TALK && talkish) {
      goTo(LISTEN);
    } else if (s == LISTEN && event == EV_AUTO) {
      auto_ = false;
      goTo(BOTH);
    } else if (s == LISTEN && listenish) {
      goTo(TALK);
    }
    return;
  }
  if (automatic) {
    if (event == EV_AUTO) {
      auto_ = false;
    } else if (s == TALK && talkish) {
      goTo(LISTEN);
    } else if (s == LISTEN && listenish) {
      goTo(TALK);
    }
    return;
  }
  if (s == TALK && event == EV_AUTO) {
    auto_ = true;
  } else if (s == TALK && event == EV_TALK) {
    goTo(LISTEN);
  } else if (s == LISTEN && event == EV_AUTO) {
    auto_ = true;
    goTo(TALK);
  } else if (s == LISTEN && event == EV_TALK) {
    goTo(TALK);
  }
}

void AudioCore::goTo(AudioState next) {
  const AudioState from = state_;
  switch (next) {
    case TALK:
      hooks_.showTalk(true, true);
      if (from == LISTEN) {
        hooks_.showSpeakerLevel(0);
        if (mixer_) mixer_->close();
        speakerOff();
        openCapture();
      } else if (from == BOTH) {
        if (mixer_) mixer_->close();
        speakerOff();
      }
      break;
    case LISTEN:
      hooks_.showTalk(true, false);
      if (from == TALK) {
        closeCapture();
        hooks_.showMicrophoneLevel(0);
        if (mixer_) mixer_->open();
      } else if (from == BOTH) {
        closeCapture();
      }
      break;
    case BOTH:
      hooks_.showTalk(false, true);
      if (from == TALK) {
        if (mixer_) mixer_->open();
      } else if (from == LISTEN) {
        openCapture();
      }
      break;
  }
  state_ = next;
}

}  // namespace zep::audio
