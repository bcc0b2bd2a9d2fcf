#include "codecs/h26x.h"

#include <array>
#include <cstring>
#include <vector>

#include "codecs/picture.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

namespace zep::picture {

namespace {

struct ContextDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using ContextPtr = std::unique_ptr<AVCodecContext, ContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

AVCodecID idOf(H26xCodec::Standard s) {
  return s == H26xCodec::Standard::kH263 ? AV_CODEC_ID_H263 : AV_CODEC_ID_H261;
}

// Damaged pictures from the network are ours to refuse; libavcodec need not describe them.
void quietLibrary() {
  static bool done = [] {
    av_log_set_level(AV_LOG_FATAL);
    return true;
  }();
  (void)done;
}

void copyIn(std::span<const std::uint8_t> input, AVFrame* frame) {
  const std::uint8_t* from = input.data();
  for (int plane = 0; plane < 3; ++plane) {
    int w = plane == 0 ? kWidth : kWidth / 2, h = plane == 0 ? kHeight : kHeight / 2;
    for (int row = 0; row < h; ++row)
      std::memcpy(frame->data[plane] + row * frame->linesize[plane], from + row * w,
                  static_cast<std::size_t>(w));
    from += static_cast<std::size_t>(w) * h;
  }
}

void copyOut(const AVFrame* frame, std::span<std::uint8_t> output) {
  std::uint8_t* to = output.data();
  for (int plane = 0; plane < 3; ++plane) {
    int w = plane == 0 ? kWidth : kWidth / 2, h = plane == 0 ? kHeight : kHeight / 2;
    for (int row = 0; row < h; ++row)
      std::memcpy(to + row * w, frame->data[plane] + row * frame->linesize[plane],
                  static_cast<std::size_t>(w));
    to += static_cast<std::size_t>(w) * h;
  }
}

// Bits of a coded picture, most significant first; reading past the end sets `shortRead`.
struct HeaderBits {
  std::span<const std::uint8_t> bytes;
  std::size_t at = 0;
  bool shortRead = false;
  unsigned take(int n) {
    unsigned v = 0;
    for (int i = 0; i < n; ++i, ++at) {
      if (at / 8 >= bytes.size()) {
        shortRead = true;
        return 0;
      }
      v = v << 1 | ((bytes[at / 8] >> (7 - at % 8)) & 1u);
    }
    return v;
  }
};

}  // namespace

PictureKind h263PictureKind(std::span<const std::uint8_t> coded) {
  HeaderBits b{coded};
  if (b.take(22) != 0x20) return PictureKind::kUnreadable;  // picture start code
  b.take(8);                                                // temporal reference
  if (b.take(2) != 2) return PictureKind::kUnreadable;      // PTYPE starts "1 0"
  b.take(3);                                                // split, camera, freeze release
  unsigned format = b.take(3);
  unsigned type = 0;
  if (format == 0) return PictureKind::kUnreadable;
  if (format == 7) {
    // PLUSPTYPE: the update flag, the optional part when it is 1, then the type code.
    if (b.take(3) == 1) b.take(18);
    type = b.take(3);  // 000 intra, any other code predicts
  } else {
    type = b.take(1);  // 0 intra, 1 inter
  }
  if (b.shortRead) return PictureKind::kUnreadable;
  return type == 0 ? PictureKind::kIntra : PictureKind::kPredicted;
}

PictureKind h261PictureKind(std::span<const std::uint8_t> coded) {
  HeaderBits b{coded};
  if (b.take(20) != 0x10) return PictureKind::kUnreadable;  // picture start code
  b.take(5);                                                // temporal reference
  b.take(2);                                                // split screen, document camera
  unsigned freezeRelease = b.take(1);
  if (b.shortRead) return PictureKind::kUnreadable;
  return freezeRelease ? PictureKind::kIntra : PictureKind::kPredicted;
}

struct H26xCodec::State {
  const AVCodec* decoderCodec = nullptr;
  ContextPtr encoder;
  FramePtr picture;
  PacketPtr coded;
  std::int64_t pts = 0;
  int quality = 0;
  std::array<ContextPtr, kMaxSenders> decoders;
  // Whether a sender's decoder holds a good picture to predict from: set when one of its intra
  // pictures decodes, cleared by a damaged picture and by a reset.
  std::array<bool, kMaxSenders> referenced{};
  FramePtr decoded;
  PacketPtr received;
  std::vector<std::uint8_t> padded;
};

std::unique_ptr<H26xCodec> H26xCodec::create(Standard standard, std::string* error) {
  quietLibrary();
  const char* name = standard == Standard::kH263 ? "H.263" : "H.261";
  const AVCodec* coder = avcodec_find_encoder(idOf(standard));
  const AVCodec* decoder = avcodec_find_decoder(idOf(standard));
  if (!coder || !decoder) {
    *error = std::string("libavcodec has no ") + name + " coder";
    return nullptr;
  }
  auto state = std::make_unique<State>();
  state->decoderCodec = decoder;
  state->encoder.reset(avcodec_alloc_context3(coder));
  AVCodecContext* c = state->encoder.get();
  c->width = kWidth;
  c->height = kHeight;
  c->pix_fmt = AV_PIX_FMT_YUV420P;
  c->time_base = {1, 30};
  c->framerate = {30, 1};
  c->gop_size = 1 << 30;  // intra pictures only when asked for
  c->max_b_frames = 0;
  c->thread_count = 1;
  int q = standard == Standard::kH263 ? kH263Quantiser : kH261Quantiser;
  c->flags |= AV_CODEC_FLAG_QSCALE;
  c->global_quality = FF_QP2LAMBDA * q;
  c->qmin = c->qmax = q;
  state->quality = c->global_quality;
  if (avcodec_open2(c, coder, nullptr) < 0) {
    *error = std::string("cannot open the ") + name + " coder";
    return nullptr;
  }
  state->picture.reset(av_frame_alloc());
  state->picture->format = AV_PIX_FMT_YUV420P;
  state->picture->width = kWidth;
  state->picture->height = kHeight;
  if (av_frame_get_buffer(state->picture.get(), 0) < 0) {
    *error = "out of memory for a picture";
    return nullptr;
  }
  state->coded.reset(av_packet_alloc());
  state->decoded.reset(av_frame_alloc());
  state->received.reset(av_packet_alloc());
  return std::unique_ptr<H26xCodec>(new H26xCodec(standard, std::move(state)));
}

H26xCodec::H26xCodec(Standard standard, std::unique_ptr<State> state)
    : standard_(standard), state_(std::move(state)) {}

H26xCodec::~H26xCodec() = default;

std::size_t H26xCodec::inputSize() const {
  return kFrame420Size;
}

codec::EncodeResult H26xCodec::encode(std::span<const std::uint8_t> input,
                                      std::span<std::uint8_t> output, bool intra) {
  if (input.size() != kFrame420Size) return {codec::CodecStatus::kInputSize, 0};
  AVFrame* frame = state_->picture.get();
  if (av_frame_make_writable(frame) < 0) return {codec::CodecStatus::kFailed, 0};
  copyIn(input, frame);
  frame->pts = state_->pts++;
  frame->quality = state_->quality;
  frame->pict_type = intra || intraOnly_ ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  AVCodecContext* c = state_->encoder.get();
  if (avcodec_send_frame(c, frame) < 0) return {codec::CodecStatus::kFailed, 0};
  AVPacket* packet = state_->coded.get();
  if (avcodec_receive_packet(c, packet) < 0) return {codec::CodecStatus::kFailed, 0};
  auto size = static_cast<std::size_t>(packet->size);
  codec::EncodeResult result;
  if (size > output.size()) {
    ++refused_;
    result = {codec::CodecStatus::kOutputTooSmall, 0};
  } else {
    std::memcpy(output.data(), packet->data, size);
    result = {codec::CodecStatus::kOk, size};
  }
  av_packet_unref(packet);
  return result;
}

codec::CodecStatus H26xCodec::decode(int sender, std::span<const std::uint8_t> input,
                                     std::span<std::uint8_t> output) {
  if (sender < 0 || sender >= kMaxSenders || output.size() < kFrame420Size)
    return codec::CodecStatus::kInputSize;
  const PictureKind kind =
      standard_ == Standard::kH263 ? h263PictureKind(input) : h261PictureKind(input);
  ContextPtr& context = state_->decoders[sender];
  bool& referenced = state_->referenced[static_cast<std::size_t>(sender)];
  if (kind == PictureKind::kUnreadable) {
    ++damaged_;
    context.reset();
    referenced = false;
    return codec::CodecStatus::kDamaged;
  }
  // Decoded without its reference, a predicted picture is garbage: the window keeps its last
  // good picture instead.
  if (kind == PictureKind::kPredicted && !referenced) {
    ++unreferenced_;
    return codec::CodecStatus::kNoReference;
  }
  if (!context) {
    context.reset(avcodec_alloc_context3(state_->decoderCodec));
    context->thread_count = 1;
    context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    context->err_recognition = AV_EF_EXPLODE;
    if (avcodec_open2(context.get(), state_->decoderCodec, nullptr) < 0) {
      context.reset();
      return codec::CodecStatus::kFailed;
    }
  }
  // libavcodec reads a few bytes past the data it is given: pad with zeros.
  auto& padded = state_->padded;
  padded.assign(input.begin(), input.end());
  padded.resize(input.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  AVPacket* packet = state_->received.get();
  packet->data = padded.data();
  packet->size = static_cast<int>(input.size());
  AVFrame* frame = state_->decoded.get();
  int sent = avcodec_send_packet(context.get(), packet);
  packet->data = nullptr;
  packet->size = 0;
  // Every picture the decoder holds is taken out, even after a refused packet: one it kept
  // back would otherwise stand in front of all later ones.
  bool good = sent >= 0, painted = false;
  while (avcodec_receive_frame(context.get(), frame) >= 0) {
    bool whole = frame->width == kWidth && frame->height == kHeight &&
                 frame->format == AV_PIX_FMT_YUV420P && frame->decode_error_flags == 0 &&
                 !(frame->flags & AV_FRAME_FLAG_CORRUPT);
    if (whole && good) {
      copyOut(frame, output);
      painted = true;
    }
    good = good && whole;
    av_frame_unref(frame);
  }
  if (!good || !painted) {
    // A damaged picture leaves the references in doubt: the sender starts afresh, and its
    // next intra picture shows again.
    ++damaged_;
    context.reset();
    referenced = false;
    return codec::CodecStatus::kDamaged;
  }
  if (kind == PictureKind::kIntra) referenced = true;
  return codec::CodecStatus::kOk;
}

void H26xCodec::resetSender(int sender) {
  if (sender < 0 || sender >= kMaxSenders) return;
  state_->decoders[static_cast<std::size_t>(sender)].reset();
  state_->referenced[static_cast<std::size_t>(sender)] = false;
}

std::size_t Yuv9Codec::inputSize() const {
  auto pixels = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
  return pixels + 2 * (pixels / 16);
}

std::size_t Yuv9Codec::decodedSize() const {
  return kFrame420Size;
}

codec::EncodeResult Yuv9Codec::encode(std::span<const std::uint8_t> input,
                                      std::span<std::uint8_t> output, bool intra) {
  (void)intra;
  if (input.size() != inputSize()) return {codec::CodecStatus::kInputSize, 0};
  if (output.size() < kYvu9FrameSize) return {codec::CodecStatus::kOutputTooSmall, 0};
  cropYvu9(input, width_, height_, output);
  return {codec::CodecStatus::kOk, kYvu9FrameSize};
}

codec::CodecStatus Yuv9Codec::decode(int sender, std::span<const std::uint8_t> input,
                                     std::span<std::uint8_t> output) {
  (void)sender;
  if (input.size() != kYvu9FrameSize) return codec::CodecStatus::kDamaged;
  if (output.size() < kFrame420Size) return codec::CodecStatus::kOutputTooSmall;
  VideoFrame420 frame;
  yvu9ToFrame420(input, kWidth, kHeight, &frame);
  std::memcpy(output.data(), frame.bytes.data(), kFrame420Size);
  return codec::CodecStatus::kOk;
}

}  // namespace zep::picture
