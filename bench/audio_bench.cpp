// Audio code paths: our ADPCM against libavcodec's IMA ADPCM (QuickTime framing, 64 samples a
// frame) in the same run, one GSM block through our wrapper and through libgsm, and one mixing
// step with ten sources in each playout variant.
#include <benchmark/benchmark.h>
#include <gsm.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include "audio/adpcm.h"
#include "audio/gsm_codec.h"
#include "audio/playout.h"

using namespace zep::audio;

namespace {

std::vector<std::int16_t> testSignal(std::size_t n) {
  std::mt19937 random(7);
  std::vector<std::int16_t> v(n);
  for (std::size_t i = 0; i < n; ++i)
    v[i] = static_cast<std::int16_t>(8000 * std::sin(0.05 * static_cast<double>(i)) +
                                     static_cast<int>(random() % 600) - 300);
  return v;
}

constexpr std::size_t kBlocks = 100;  // 10 s of speech per iteration

void BM_AdpcmEncode(benchmark::State& state) {
  auto in = testSignal(kBlockSamples * kBlocks);
  std::vector<std::uint8_t> out(kAdpcmBlockBytes);
  AdpcmState s;
  for (auto _ : state) {
    for (std::size_t b = 0; b < kBlocks; ++b)
      adpcm_encode(std::span(in).subspan(b * kBlockSamples, kBlockSamples), out, s);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_AdpcmEncode);

void BM_AdpcmDecode(benchmark::State& state) {
  auto in = testSignal(kBlockSamples * kBlocks);
  std::vector<std::uint8_t> codes(in.size() / 2);
  AdpcmState s;
  adpcm_encode(in, codes, s);
  std::vector<std::int16_t> out(kBlockSamples);
  for (auto _ : state) {
    AdpcmState d;
    for (std::size_t b = 0; b < kBlocks; ++b)
      adpcm_decode(std::span(codes).subspan(b * kAdpcmBlockBytes, kAdpcmBlockBytes), out, d);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_AdpcmDecode);

AVCodecContext* openCodec(const AVCodec* codec) {
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->sample_rate = 8000;
  av_channel_layout_default(&ctx->ch_layout, 1);
  ctx->sample_fmt = AV_SAMPLE_FMT_S16P;
  if (avcodec_open2(ctx, codec, nullptr) < 0) return nullptr;
  return ctx;
}

void BM_LibavcodecImaEncode(benchmark::State& state) {
  AVCodecContext* ctx = openCodec(avcodec_find_encoder(AV_CODEC_ID_ADPCM_IMA_QT));
  if (!ctx) {
    state.SkipWithError("libavcodec IMA ADPCM encoder unavailable");
    return;
  }
  auto in = testSignal(kBlockSamples * kBlocks);
  const int frameSize = ctx->frame_size;  // 64
  AVFrame* frame = av_frame_alloc();
  frame->nb_samples = frameSize;
  frame->format = ctx->sample_fmt;
  av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
  av_frame_get_buffer(frame, 0);
  AVPacket* packet = av_packet_alloc();
  const std::size_t frames = in.size() / static_cast<std::size_t>(frameSize);
  for (auto _ : state) {
    for (std::size_t f = 0; f < frames; ++f) {
      std::memcpy(frame->data[0], in.data() + f * static_cast<std::size_t>(frameSize),
                  static_cast<std::size_t>(frameSize) * 2);
      avcodec_send_frame(ctx, frame);
      while (avcodec_receive_packet(ctx, packet) == 0) av_packet_unref(packet);
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * frames * frameSize));
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&ctx);
}
BENCHMARK(BM_LibavcodecImaEncode);

void BM_LibavcodecImaDecode(benchmark::State& state) {
  AVCodecContext* enc = openCodec(avcodec_find_encoder(AV_CODEC_ID_ADPCM_IMA_QT));
  const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_ADPCM_IMA_QT);
  AVCodecContext* dec = avcodec_alloc_context3(decoder);
  dec->sample_rate = 8000;
  av_channel_layout_default(&dec->ch_layout, 1);
  if (!enc || avcodec_open2(dec, decoder, nullptr) < 0) {
    state.SkipWithError("libavcodec IMA ADPCM unavailable");
    return;
  }
  auto in = testSignal(kBlockSamples * kBlocks);
  const int frameSize = enc->frame_size;
  AVFrame* frame = av_frame_alloc();
  frame->nb_samples = frameSize;
  frame->format = enc->sample_fmt;
  av_channel_layout_copy(&frame->ch_layout, &enc->ch_layout);
  av_frame_get_buffer(frame, 0);
  std::vector<AVPacket*> packets;
  for (std::size_t f = 0; f < in.size() / static_cast<std::size_t>(frameSize); ++f) {
    std::memcpy(frame->data[0], in.data() + f * static_cast<std::size_t>(frameSize),
                static_cast<std::size_t>(frameSize) * 2);
    avcodec_send_frame(enc, frame);
    AVPacket* p = av_packet_alloc();
    while (avcodec_receive_packet(enc, p) == 0) {
      packets.push_back(p);
      p = av_packet_alloc();
    }
    av_packet_free(&p);
  }
  AVFrame* out = av_frame_alloc();
  for (auto _ : state) {
    for (AVPacket* p : packets) {
      avcodec_send_packet(dec, p);
      while (avcodec_receive_frame(dec, out) == 0) av_frame_unref(out);
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * packets.size() *
                                                    static_cast<std::size_t>(frameSize)));
  for (AVPacket* p : packets) av_packet_free(&p);
  av_frame_free(&out);
  av_frame_free(&frame);
  avcodec_free_context(&enc);
  avcodec_free_context(&dec);
}
BENCHMARK(BM_LibavcodecImaDecode);

void BM_GsmEncodeBlock(benchmark::State& state) {
  GsmCodec codec;
  auto in = testSignal(kBlockSamples);
  std::vector<std::uint8_t> out(kGsmBlockBytes);
  for (auto _ : state) {
    codec.encodeBlock(in, out);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_GsmEncodeBlock);

void BM_GsmDecodeBlock(benchmark::State& state) {
  GsmCodec codec;
  auto in = testSignal(kBlockSamples);
  std::vector<std::uint8_t> coded(kGsmBlockBytes);
  codec.encodeBlock(in, coded);
  std::vector<std::int16_t> out(kBlockSamples);
  for (auto _ : state) {
    codec.decodeBlock(coded, out);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_GsmDecodeBlock);

// libgsm called directly, five frames: what the wrapper is compared with.
void BM_LibgsmEncodeFiveFrames(benchmark::State& state) {
  gsm g = gsm_create();
  auto in = testSignal(kBlockSamples);
  gsm_byte out[kGsmBlockBytes];
  for (auto _ : state) {
    for (std::size_t f = 0; f < 5; ++f) gsm_encode(g, in.data() + f * 160, out + f * 33);
    benchmark::DoNotOptimize(out);
  }
  gsm_destroy(g);
}
BENCHMARK(BM_LibgsmEncodeFiveFrames);

void BM_LibgsmDecodeFiveFrames(benchmark::State& state) {
  gsm g = gsm_create();
  auto in = testSignal(kBlockSamples);
  gsm_byte coded[kGsmBlockBytes];
  for (std::size_t f = 0; f < 5; ++f) gsm_encode(g, in.data() + f * 160, coded + f * 33);
  gsm_signal out[kBlockSamples];
  for (auto _ : state) {
    for (std::size_t f = 0; f < 5; ++f) gsm_decode(g, coded + f * 33, out + f * 160);
    benchmark::DoNotOptimize(out);
  }
  gsm_destroy(g);
}
BENCHMARK(BM_LibgsmDecodeFiveFrames);

void mixTenSources(benchmark::State& state, const PlayoutVariant& variant) {
  zep::clock::RealClock clock;
  AudioMixer::Options o;
  o.startClock = false;
  o.logPath = "/dev/null";
  AudioMixer mixer(variant, clock, o);
  std::vector<PlayoutRing*> rings;
  for (int i = 0; i < kMaxSources; ++i) rings.push_back(mixer.add_source(160000));
  std::vector<std::uint8_t> block(variant.blockBytes(), 3);
  for (auto _ : state) {
    state.PauseTiming();
    for (auto* r : rings) {
      r->write_block(block);
      if (variant.jitterBuffer) r->write_block(block);
    }
    state.ResumeTiming();
    mixer.mix();
    benchmark::DoNotOptimize(mixer.mixBuffer().data());
  }
}
void BM_MixTenSourcesAudioTool(benchmark::State& s) {
  mixTenSources(s, kAudioToolPlayout);
}
void BM_MixTenSourcesKestrel(benchmark::State& s) {
  mixTenSources(s, kKestrelPlayout);
}
void BM_MixTenSourcesStreamer(benchmark::State& s) {
  mixTenSources(s, kStreamerPlayout);
}
BENCHMARK(BM_MixTenSourcesAudioTool);
BENCHMARK(BM_MixTenSourcesKestrel);
BENCHMARK(BM_MixTenSourcesStreamer);

}  // namespace

BENCHMARK_MAIN();
