// Field-by-field reading and writing of wire data with explicit byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zep {

enum class ByteOrder { kLittle, kBig };

// Appends fields to a growing buffer.
class ByteWriter {
 public:
  void u8(std::uint8_t v) { bytes_.push_back(v); }
  void u16(std::uint16_t v, ByteOrder order);
  void u32(std::uint32_t v, ByteOrder order);
  void i32(std::int32_t v, ByteOrder order) { u32(static_cast<std::uint32_t>(v), order); }
  // Four bytes kept in memory order (an address in network order, an opaque word).
  void raw32(std::uint32_t v);
  void bytes(std::span<const std::uint8_t> data) {
    bytes_.insert(bytes_.end(), data.begin(), data.end());
  }
  void zeros(std::size_t n) { bytes_.insert(bytes_.end(), n, 0); }
  // A NUL-terminated text in a field of `width` bytes, cut to width - 1 characters and
  // padded with zeros.
  void text(std::string_view s, std::size_t width);

  std::vector<std::uint8_t>& data() { return bytes_; }
  std::vector<std::uint8_t> take() { return std::move(bytes_); }
  std::size_t size() const { return bytes_.size(); }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Reads fields from a span. Once a read runs past the end, ok() stays false and every further
// read yields zero, so a parser can read a whole layout and check once.
class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> data) : data_(data) {}

  std::uint8_t u8();
  std::uint16_t u16(ByteOrder order);
  std::uint32_t u32(ByteOrder order);
  std::int32_t i32(ByteOrder order) { return static_cast<std::int32_t>(u32(order)); }
  std::uint32_t raw32();
  // A text field of `width` bytes: up to its first NUL, at most maxLength characters.
  std::string text(std::size_t width, std::size_t maxLength);
  std::span<const std::uint8_t> bytes(std::size_t n);
  void skip(std::size_t n) { bytes(n); }

  bool ok() const { return ok_; }
  std::size_t remaining() const { return ok_ ? data_.size() - pos_ : 0; }
  std::size_t position() const { return pos_; }

 private:
  bool take(std::size_t n);
  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace zep
