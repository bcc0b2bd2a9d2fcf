#include "platform/bytes.h"

#include <algorithm>

namespace zep {

void ByteWriter::u16(std::uint16_t v, ByteOrder order) {
  if (order == ByteOrder::kBig) {
    u8(static_cast<std::uint8_t>(v >> 8));
    u8(static_cast<std::uint8_t>(v));
  } else {
    u8(static_cast<std::uint8_t>(v));
    u8(static_cast<std::uint8_t>(v >> 8));
  }
}

void ByteWriter::u32(std::uint32_t v, ByteOrder order) {
  for (int i = 0; i < 4; ++i) {
    int shift = order == ByteOrder::kBig ? 24 - 8 * i : 8 * i;
    u8(static_cast<std::uint8_t>(v >> shift));
  }
}

void ByteWriter::raw32(std::uint32_t v) {
  std::uint8_t b[4];
  std::memcpy(b, &v, 4);
  bytes(b);
}

void ByteWriter::text(std::string_view s, std::size_t width) {
  if (width == 0) return;
  std::size_t n = std::min(s.size(), width - 1);
  n = std::min(n, s.find('\0'));
  bytes_.insert(bytes_.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
  zeros(width - n);
}

bool ByteReader::take(std::size_t n) {
  if (!ok_ || data_.size() - pos_ < n) {
    ok_ = false;
    return false;
  }
  return true;
}

std::uint8_t ByteReader::u8() {
  if (!take(1)) return 0;
  return data_[pos_++];
}

std::uint16_t ByteReader::u16(ByteOrder order) {
  if (!take(2)) return 0;
  std::uint16_t a = data_[pos_], b = data_[pos_ + 1];
  pos_ += 2;
  return order == ByteOrder::kBig ? static_cast<std::uint16_t>(a << 8 | b)
                                  : static_cast<std::uint16_t>(b << 8 | a);
}

std::uint32_t ByteReader::u32(ByteOrder order) {
  if (!take(4)) return 0;
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    std::uint32_t byte = data_[pos_ + static_cast<std::size_t>(i)];
    v |= byte << (order == ByteOrder::kBig ? 24 - 8 * i : 8 * i);
  }
  pos_ += 4;
  return v;
}

std::uint32_t ByteReader::raw32() {
  if (!take(4)) return 0;
  std::uint32_t v;
  std::memcpy(&v, data_.data() + pos_, 4);
  pos_ += 4;
  return v;
}

std::string ByteReader::text(std::size_t width, std::size_t maxLength) {
  if (!take(width)) return {};
  const char* p = reinterpret_cast<const char*>(data_.data() + pos_);
  std::size_t n = 0;
  while (n < width && n < maxLength && p[n] != '\0') ++n;
  pos_ += width;
  return std::string(p, n);
}

std::span<const std::uint8_t> ByteReader::bytes(std::size_t n) {
  if (!take(n)) return {};
  auto s = data_.subspan(pos_, n);
  pos_ += n;
  return s;
}

}  // namespace zep
