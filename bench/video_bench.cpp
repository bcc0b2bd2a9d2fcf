// Picture code paths per QCIF frame: our H.263 and H.261 coders and decoders against
// libavcodec called directly with the same settings, the conversions against libswscale doing
// the same conversion, and the whole sending path of one frame (conversion, Mirror copy,
// coding, datagrams to two members).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

#include "applink/link.h"
#include "codecs/h26x.h"
#include "codecs/picture.h"
#include "platform/net.h"
#include "video/protocol.h"

using namespace zep;
using namespace zep::picture;

namespace {

VideoFrame420 moving(int n) {
  VideoFrame420 f;
  for (int r = 0; r < kHeight; ++r)
    for (int c = 0; c < kWidth; ++c) {
      bool square = r >= 40 && r < 80 && c >= 20 + (3 * n) % 100 && c < 60 + (3 * n) % 100;
      f.y()[r * kWidth + c] = static_cast<std::uint8_t>(square ? 220 : 40 + (r + c + n) % 120);
    }
  for (std::size_t i = 0; i < kChromaSize; ++i) {
    f.cb()[i] = static_cast<std::uint8_t>(100 + (i + n) % 40);
    f.cr()[i] = static_cast<std::uint8_t>(150 - i % 30);
  }
  return f;
}

std::vector<VideoFrame420> clip() {
  std::vector<VideoFrame420> frames;
  for (int n = 0; n < 30; ++n) frames.push_back(moving(n));
  return frames;
}

H26xCodec::Standard standardOf(const benchmark::State& state) {
  return state.range(0) == 0 ? H26xCodec::Standard::kH263 : H26xCodec::Standard::kH261;
}

void BM_OurEncode(benchmark::State& state) {
  std::string error;
  auto codec = H26xCodec::create(standardOf(state), &error);
  auto frames = clip();
  std::vector<std::uint8_t> out(kCodedFrameCapacity);
  const bool intra = state.range(1) == 1;
  std::size_t i = 0;
  for (auto _ : state) {
    auto r = codec->encode(frames[i++ % frames.size()].bytes, out, intra);
    benchmark::DoNotOptimize(r.bytes);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OurEncode)->ArgsProduct({{0, 1}, {1, 0}})->ArgNames({"h261", "intra"});

// libavcodec called directly with the settings our coder uses.
struct DirectCoder {
  AVCodecContext* c = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  explicit DirectCoder(AVCodecID id, int q) {
    const AVCodec* codec = avcodec_find_encoder(id);
    c = avcodec_alloc_context3(codec);
    c->width = kWidth;
    c->height = kHeight;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = {1, 30};
    c->gop_size = 1 << 30;
    c->max_b_frames = 0;
    c->thread_count = 1;
    c->flags |= AV_CODEC_FLAG_QSCALE;
    c->global_quality = FF_QP2LAMBDA * q;
    avcodec_open2(c, codec, nullptr);
    frame = av_frame_alloc();
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = kWidth;
    frame->height = kHeight;
    av_frame_get_buffer(frame, 0);
    packet = av_packet_alloc();
  }
  ~DirectCoder() {
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&c);
  }
};

void BM_LibavcodecEncode(benchmark::State& state) {
  bool h261 = state.range(0) == 1;
  DirectCoder d(h261 ? AV_CODEC_ID_H261 : AV_CODEC_ID_H263, h261 ? kH261Quantiser : kH263Quantiser);
  auto frames = clip();
  const bool intra = state.range(1) == 1;
  std::int64_t pts = 0;
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& f = frames[i++ % frames.size()];
    av_frame_make_writable(d.frame);
    for (int plane = 0; plane < 3; ++plane) {
      int w = plane ? kWidth / 2 : kWidth, h = plane ? kHeight / 2 : kHeight;
      const std::uint8_t* from = plane == 0 ? f.y() : plane == 1 ? f.cb() : f.cr();
      for (int r = 0; r < h; ++r)
        std::memcpy(d.frame->data[plane] + r * d.frame->linesize[plane], from + r * w,
                    static_cast<std::size_t>(w));
    }
    d.frame->pts = pts++;
    d.frame->quality = d.c->global_quality;
    d.frame->pict_type = intra ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    avcodec_send_frame(d.c, d.frame);
    avcodec_receive_packet(d.c, d.packet);
    benchmark::DoNotOptimize(d.packet->size);
    av_packet_unref(d.packet);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LibavcodecEncode)->ArgsProduct({{0, 1}, {1, 0}})->ArgNames({"h261", "intra"});

// A stream of one intra picture and predicted ones after it, decoded in turn.
std::vector<std::vector<std::uint8_t>> codedStream(H26xCodec::Standard standard) {
  std::string error;
  auto codec = H26xCodec::create(standard, &error);
  std::vector<std::vector<std::uint8_t>> stream;
  auto frames = clip();
  for (std::size_t n = 0; n < frames.size(); ++n) {
    std::vector<std::uint8_t> out(kCodedFrameCapacity);
    auto r = codec->encode(frames[n].bytes, out, n % 10 == 0);
    out.resize(r.bytes);
    stream.push_back(out);
  }
  return stream;
}

void BM_OurDecode(benchmark::State& state) {
  std::string error;
  auto codec = H26xCodec::create(standardOf(state), &error);
  auto stream = codedStream(standardOf(state));
  std::vector<std::uint8_t> out(kFrame420Size);
  std::size_t i = 0;
  for (auto _ : state) {
    auto s = codec->decode(0, stream[i++ % stream.size()], out);
    benchmark::DoNotOptimize(s);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OurDecode)->Arg(0)->Arg(1)->ArgName("h261");

void BM_LibavcodecDecode(benchmark::State& state) {
  auto standard = standardOf(state);
  auto stream = codedStream(standard);
  const AVCodec* codec =
      avcodec_find_decoder(state.range(0) == 1 ? AV_CODEC_ID_H261 : AV_CODEC_ID_H263);
  AVCodecContext* c = avcodec_alloc_context3(codec);
  // The settings our decoder uses.
  c->thread_count = 1;
  c->flags |= AV_CODEC_FLAG_LOW_DELAY;
  c->err_recognition = AV_EF_EXPLODE;
  avcodec_open2(c, codec, nullptr);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  std::vector<std::vector<std::uint8_t>> padded;
  for (auto& s : stream) {
    padded.push_back(s);
    padded.back().resize(s.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  }
  std::size_t i = 0;
  for (auto _ : state) {
    std::size_t k = i++ % stream.size();
    packet->data = padded[k].data();
    packet->size = static_cast<int>(stream[k].size());
    avcodec_send_packet(c, packet);
    if (avcodec_receive_frame(c, frame) >= 0) av_frame_unref(frame);
  }
  packet->data = nullptr;
  packet->size = 0;
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&c);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LibavcodecDecode)->Arg(0)->Arg(1)->ArgName("h261");

std::vector<std::uint8_t> rgbCapture() {
  std::vector<std::uint8_t> rgb(240 * 180 * 3);
  for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<std::uint8_t>(i * 13);
  return rgb;
}

void BM_OurRgbTo420(benchmark::State& state) {
  auto rgb = rgbCapture();
  VideoFrame420 f;
  for (auto _ : state) {
    rgb24ToFrame420(rgb, 240, 180, &f);
    benchmark::DoNotOptimize(f.bytes.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OurRgbTo420);

// libswscale converting the same 176 x 144 area, with its fastest filter.
void BM_SwscaleRgbTo420(benchmark::State& state) {
  auto rgb = rgbCapture();
  SwsContext* sws = sws_getContext(kWidth, kHeight, AV_PIX_FMT_BGR24, kWidth, kHeight,
                                   AV_PIX_FMT_YUV420P, SWS_POINT, nullptr, nullptr, nullptr);
  VideoFrame420 f;
  // Bottom to top: start at the last row and step backwards.
  const std::uint8_t* src[1] = {rgb.data() + static_cast<std::size_t>(179) * 240 * 3};
  int srcStride[1] = {-240 * 3};
  std::uint8_t* dst[3] = {f.y(), f.cb(), f.cr()};
  int dstStride[3] = {kWidth, kWidth / 2, kWidth / 2};
  for (auto _ : state) {
    sws_scale(sws, src, srcStride, 0, kHeight, dst, dstStride);
    benchmark::DoNotOptimize(f.bytes.data());
  }
  sws_freeContext(sws);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SwscaleRgbTo420);

void BM_Our420ToRgb(benchmark::State& state) {
  auto f = moving(3);
  std::vector<std::uint8_t> rgb(kRgbSize);
  for (auto _ : state) {
    frame420ToRgb24(f, rgb);
    benchmark::DoNotOptimize(rgb.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Our420ToRgb);

void BM_Swscale420ToRgb(benchmark::State& state) {
  auto f = moving(3);
  std::vector<std::uint8_t> rgb(kRgbSize);
  SwsContext* sws = sws_getContext(kWidth, kHeight, AV_PIX_FMT_YUV420P, kWidth, kHeight,
                                   AV_PIX_FMT_BGR24, SWS_POINT, nullptr, nullptr, nullptr);
  const std::uint8_t* src[3] = {f.y(), f.cb(), f.cr()};
  int srcStride[3] = {kWidth, kWidth / 2, kWidth / 2};
  std::uint8_t* dst[1] = {rgb.data() + static_cast<std::size_t>(kHeight - 1) * kWidth * 3};
  int dstStride[1] = {-kWidth * 3};
  for (auto _ : state) {
    sws_scale(sws, src, srcStride, 0, kHeight, dst, dstStride);
    benchmark::DoNotOptimize(rgb.data());
  }
  sws_freeContext(sws);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Swscale420ToRgb);

// The sending path of one captured RGB frame in H.263: conversion, the Mirror's RGB copy,
// coding (every tenth intra), the payload and one datagram to each of two members.
void BM_WholeFramePath(benchmark::State& state) {
  std::string error;
  auto codec = H26xCodec::create(H26xCodec::Standard::kH263, &error);
  auto rgb = rgbCapture();
  const char* step = "";
  auto socket = net::openUdp(net::dottedAddress("127.0.0.1"), 0, &step);
  auto sink = net::openUdp(net::dottedAddress("127.0.0.1"), 0, &step);
  std::uint16_t port = net::localPort(sink.fd());
  net::setReceiveBuffer(sink, 1 << 20);
  VideoFrame420 f;
  std::vector<std::uint8_t> mirror(kRgbSize), coded(kCodedFrameCapacity), drain(65536);
  int n = 0;
  std::uint8_t counter = 0;
  for (auto _ : state) {
    // A picture that changes, so the coder has work every time.
    rgb[static_cast<std::size_t>(n % 1000) * 3] ^= 0xFF;
    rgb24ToFrame420(rgb, 240, 180, &f);
    frame420ToRgb24(f, mirror);
    auto r = codec->encode(f.bytes, coded, n++ % 10 == 0);
    auto payload = video::encodeCodedFrame(++counter, std::span(coded).first(r.bytes));
    auto datagram = applink::encodeMediaDatagram(video::VIDEO_H263, 0, payload);
    for (int member = 0; member < 2; ++member)
      net::sendTo(socket, net::dottedAddress("127.0.0.1"), port, datagram);
    while (net::receiveAvailable(sink.fd(), drain) > 0) {
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WholeFramePath);

}  // namespace

BENCHMARK_MAIN();
