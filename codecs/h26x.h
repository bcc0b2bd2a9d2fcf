// The H.263 and H.261 picture codecs for QCIF, through libavcodec: intra and predicted
// pictures at a fixed quantiser with no bit-rate target, an H.261 switch that codes every
// picture intra, and decoders that keep the reference pictures of each sender apart and
// refuse a sender's predicted pictures until one of its intra pictures decodes.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "codecs/codec.h"

namespace zep::picture {

inline constexpr int VIDEO_H263 = 0;
inline constexpr int VIDEO_H261 = 1;
inline constexpr int VIDEO_YUV9 = 10;
inline constexpr int kH263Quantiser = 10;
inline constexpr int kH261Quantiser = 8;
inline constexpr std::size_t kCodedFrameCapacity = 20000;
inline constexpr int kMaxSenders = 20;

// What a coded picture's header says: coded without reference to earlier pictures, predicted
// from them, or no readable picture header at its start.
enum class PictureKind { kIntra, kPredicted, kUnreadable };
// H.263: the picture coding type of PTYPE (or of PLUSPTYPE). H.261 has no picture type: a
// picture whose every block is intra sets "freeze picture release", and only those count as
// intra.
PictureKind h263PictureKind(std::span<const std::uint8_t> coded);
PictureKind h261PictureKind(std::span<const std::uint8_t> coded);

class H26xCodec final : public codec::Codec {
 public:
  enum class Standard { kH263, kH261 };
  // Null with *error set when libavcodec lacks the coder.
  static std::unique_ptr<H26xCodec> create(Standard standard, std::string* error);
  ~H26xCodec() override;

  int type() const override { return standard_ == Standard::kH263 ? VIDEO_H263 : VIDEO_H261; }
  std::size_t inputSize() const override;
  // A picture whose coded form does not fit the output is refused (kOutputTooSmall) and
  // counted, never cut.
  codec::EncodeResult encode(std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
                             bool intra) override;
  // A predicted picture from a sender without a good reference (none yet, or the last picture
  // was damaged) gives no picture (kNoReference) until an intra picture of that sender decodes.
  codec::CodecStatus decode(int sender, std::span<const std::uint8_t> input,
                            std::span<std::uint8_t> output) override;
  void resetSender(int sender) override;

  // Every picture intra (H.261 intra mode).
  void setIntraOnly(bool on) { intraOnly_ = on; }
  bool intraOnly() const { return intraOnly_; }
  std::uint64_t refused() const { return refused_; }
  std::uint64_t damaged() const { return damaged_; }
  std::uint64_t unreferenced() const { return unreferenced_; }

 private:
  struct State;
  H26xCodec(Standard standard, std::unique_ptr<State> state);

  Standard standard_;
  std::unique_ptr<State> state_;
  std::atomic<bool> intraOnly_{false};
  std::atomic<std::uint64_t> refused_{0};
  std::atomic<std::uint64_t> damaged_{0};
  std::atomic<std::uint64_t> unreferenced_{0};
};

// Uncompressed YVU9: the capture's 240 x 180 picture cropped to 176 x 144 on sending; on
// receiving a 28512-byte picture expanded to 4:2:0.
class Yuv9Codec final : public codec::Codec {
 public:
  Yuv9Codec(int captureWidth, int captureHeight) : width_(captureWidth), height_(captureHeight) {}
  int type() const override { return VIDEO_YUV9; }
  std::size_t inputSize() const override;
  std::size_t decodedSize() const override;
  codec::EncodeResult encode(std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
                             bool intra) override;
  codec::CodecStatus decode(int sender, std::span<const std::uint8_t> input,
                            std::span<std::uint8_t> output) override;

 private:
  int width_;
  int height_;
};

}  // namespace zep::picture
