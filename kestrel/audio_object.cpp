#include "kestrel/audio_object.h"

#include <cstdio>
#include <cstring>

#include "audio/codecs.h"

namespace zep::kestrel {

namespace {

void addCodecs(codec::CodecTable& table) {
  table.add(std::make_unique<AdpcmPacketCodec>());
  table.add(std::make_unique<audio::GsmBlockCodec>());
  table.add(std::make_unique<audio::PcmCodec>());
}

std::span<const std::uint8_t> bytesOf(std::span<const std::int16_t> samples) {
  return {reinterpret_cast<const std::uint8_t*>(samples.data()), samples.size_bytes()};
}

}  // namespace

AudioObject::AudioObject(sound::AudioSystem& audio, clock::Clock& clock, AudioObjectHooks& hooks,
                         AudioObjectSettings settings)
    : audio_(audio), clock_(clock), hooks_(hooks), settings_(std::move(settings)), capture_(audio) {
  addCodecs(coders_);
  addCodecs(decoders_);
}

AudioObject::~AudioObject() {
  stop();
}

bool AudioObject::openDevices() {
  capture_.init([this](std::span<const std::int16_t> block) {
    std::array<std::int16_t, audio::kBlockSamples> samples{};
    if (!settings_.micOff || !settings_.micOff())
      std::copy_n(block.begin(), std::min(block.size(), samples.size()), samples.begin());
    if (auto* talk = live_.load()) talk->onCapturedBlock(samples);
  });
  audio::AudioMixer::Options options;
  options.openDevice = [this](event::ManualResetEvent& e, std::string* error) {
    return audio_.openOutput(e, error);
  };
  options.showMessage = [this](const std::string& t, const std::string& m) {
    hooks_.message(t, m);
  };
  options.logPath = settings_.mixerLogPath;
  mixer_ = std::make_unique<audio::AudioMixer>(audio::kKestrelPlayout, clock_, options);
  bool fullDuplex = true;
  if (!mixer_->open()) {
    hooks_.message("Info", "There is no appropriate audio device");
    hooks_.requestClose();
    mixer_.reset();
    return false;
  }
  mixer_->close();
  if (!capture_.open()) {
    hooks_.message("Info", "Audio device does not support audio capturing");
    mixer_->open();
  } else if (!mixer_->open()) {
    fullDuplex = false;
  }
  fullDuplex_ = fullDuplex;
  started_ = true;  // the devices are open: stop() closes them
  return true;
}

void AudioObject::startTalking() {
  talk_ = std::make_unique<TalkControl>(static_cast<TalkOutput&>(*this), fullDuplex_);
  talk_->start();
  live_ = talk_.get();
  capture_.set_capturing(capture_.isOpen());
  if (mixer_) mixer_->play_on();
}

void AudioObject::stop() {
  if (!started_) return;
  started_ = false;
  live_ = nullptr;
  capture_.close();
  capture_.shutdown();
  {
    std::lock_guard lock(ringsMutex_);
    if (mixer_) mixer_->close();
    mixer_.reset();  // its rings go with it
    rings_.fill(nullptr);
  }
  writeReport();
}

void AudioObject::openCapture() {
  capture_.open();
  capture_.set_capturing(true);
}

void AudioObject::closeCapture() {
  capture_.set_capturing(false);
  capture_.close();
}

void AudioObject::openPlayout() {
  if (mixer_) mixer_->open();
}

void AudioObject::closePlayout() {
  if (mixer_) mixer_->close();
}

void AudioObject::sendBlock(std::span<const std::int16_t> samples) {
  int type = settings_.compression ? settings_.compression() : audio::AUDIO_GSM;
  auto* c = coders_.find(type);
  if (!c) return;
  std::array<std::uint8_t, audio::kBlockBytes> out;
  auto coded = c->encode(bytesOf(samples), out, false);
  if (coded.ok()) settings_.send(type, std::span(out).first(coded.bytes));
}

void AudioObject::sendEndOfSpurt() {
  settings_.send(static_cast<int>(AUDIO_END_OF_SPURT), {});
}

void AudioObject::play(int member, std::span<const std::int16_t> samples) {
  std::lock_guard lock(ringsMutex_);
  auto m = static_cast<std::size_t>(member);
  if (!mixer_) return;
  if (!rings_[m]) rings_[m] = mixer_->add_source(kKestrelRingBytes);
  if (!rings_[m]) {
    // Every buffer is taken by members still talking: the block is dropped, and the box
    // comes once for this member, not for every block.
    if (!noBufferShown_[m]) hooks_.message("Error", "KS audio buffer init failed!");
    noBufferShown_[m] = true;
    return;
  }
  rings_[m]->write_block(bytesOf(samples));
}

// The end of a spurt does not drop what waits below the priming minimum (a spurt of one block
// would never be heard): the mixer plays it out, then releases the buffer, which would
// otherwise hold a source of the mixer and divide everyone else's samples for good.
void AudioObject::endOfSpurt(int member) {
  std::lock_guard lock(ringsMutex_);
  auto m = static_cast<std::size_t>(member);
  if (rings_[m] && mixer_) mixer_->retire_source(rings_[m]);
  rings_[m] = nullptr;
}

void AudioObject::onMemberDeleted(int member) {
  if (member < 0 || member >= kMaxAudioSenders) return;
  auto m = static_cast<std::size_t>(member);
  {
    std::lock_guard lock(ringsMutex_);
    if (rings_[m] && mixer_) mixer_->remove_source(rings_[m]);
    rings_[m] = nullptr;
    noBufferShown_[m] = false;
  }
  decoders_.resetSender(member);
}

void AudioObject::onPacket(int member, int type, std::span<const std::uint8_t> payload,
                           std::uint16_t sequence) {
  TalkControl* talk = live_.load();
  if (member < 0 || member >= kMaxAudioSenders || !talk) return;
  auto m = static_cast<std::size_t>(member);
  if (type == static_cast<int>(AUDIO_END_OF_SPURT)) {
    talk->onEndOfSpurt(member);
    return;
  }
  auto* c = decoders_.find(type);
  if (!c) return;
  std::uint32_t now = clock_.now();
  if (!stats_[m]) {
    stats_[m] = std::make_unique<ReceiveStats>();
    stats_[m]->start(sequence, now);
  } else {
    bool use = stats_[m]->count(sequence, payload.size(), now);
    if (settings_.counted) settings_.counted(member, *stats_[m], now);
    if (!use) return;  // older than what was already played
  }
  std::array<std::int16_t, audio::kBlockSamples> block{};
  if (c->decode(member, payload,
                {reinterpret_cast<std::uint8_t*>(block.data()), audio::kBlockBytes}) !=
      codec::CodecStatus::kOk)
    return;
  if (settings_.mute && settings_.mute()) block.fill(0);
  talk->onReceivedBlock(member, block);
}

const ReceiveStats* AudioObject::stats(int member) const {
  if (member < 0 || member >= kMaxAudioSenders) return nullptr;
  return stats_[static_cast<std::size_t>(member)].get();
}

void AudioObject::writeReport() {
  std::FILE* f = std::fopen(settings_.reportPath.c_str(), "w");
  if (!f) return;
  std::fputs("AUDIO RECEIVE REPORT\n", f);
  for (int m = 0; m < kMaxAudioSenders; ++m)
    if (const auto* s = stats(m))
      std::fprintf(f, "User %d, packets: received %d, lost %d, late %d\n", m, s->received(),
                   s->lost(), s->late());
  std::fclose(f);
}

}  // namespace zep::kestrel
