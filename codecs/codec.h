// One small interface for every audio and picture codec, and the table a program looks its
// codecs up in by the message type they carry. The output capacity is always passed and
// checked: nothing is ever written past it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>

namespace zep::codec {

enum class CodecStatus {
  kOk,
  kInputSize,       // the input is not what the codec takes (a block or a picture)
  kOutputTooSmall,  // the result does not fit the output; nothing usable was written
  kDamaged,         // the input could not be decoded; no result
  kFailed,          // the codec itself failed
  kNoReference,     // a predicted picture from a sender with no good picture to predict from
};

struct EncodeResult {
  CodecStatus status = CodecStatus::kOk;
  std::size_t bytes = 0;  // written to the output when ok
  bool ok() const { return status == CodecStatus::kOk; }
};

class Codec {
 public:
  virtual ~Codec() = default;
  // The message type its data travels as.
  virtual int type() const = 0;
  // Bytes of one block or picture that encode() takes and decode() produces.
  virtual std::size_t inputSize() const = 0;
  virtual std::size_t decodedSize() const { return inputSize(); }
  // Codes one block or picture. intra: without reference to earlier pictures (codecs without
  // prediction ignore it).
  virtual EncodeResult encode(std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
                              bool intra) = 0;
  // Decodes data from one sender (0..19) with that sender's own state into output, which
  // holds decodedSize() bytes.
  virtual CodecStatus decode(int sender, std::span<const std::uint8_t> input,
                             std::span<std::uint8_t> output) = 0;
  // Forgets a sender's state: its next data is decoded as the first.
  virtual void resetSender(int sender) { (void)sender; }
  // Starts the coder afresh: the next block or picture is coded as the first.
  virtual void resetEncoder() {}
};

// The codecs of one program, by message type.
class CodecTable {
 public:
  // Replaces a codec of the same type.
  void add(std::unique_ptr<Codec> codec);
  Codec* find(int type) const;
  // Every codec forgets a sender's state.
  void resetSender(int sender);
  // Every codec but `except` forgets a sender's state (a sender that changed codec).
  void resetOthers(int sender, const Codec* except);
  void resetEncoders();

 private:
  std::map<int, std::unique_ptr<Codec>> codecs_;
};

}  // namespace zep::codec
