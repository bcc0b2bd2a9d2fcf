// In-memory stand-ins for the directory tests: a byte stream, a host window that keeps the
// notifications, and builders of server messages.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "directory/dirlink.h"
#include "directory/messages.h"
#include "directory/pages.h"

namespace zep::directory::testing {

// Reads from a fixed byte string; keeps everything sent.
class MemoryTransport final : public Transport {
 public:
  explicit MemoryTransport(std::vector<std::uint8_t> in = {}) : in_(std::move(in)) {}
  long recv_n(std::uint8_t* buffer, std::size_t n) override {
    if (in_.size() - pos_ < n) {
      pos_ = in_.size();
      return 0;
    }
    std::memcpy(buffer, in_.data() + pos_, n);
    pos_ += n;
    return static_cast<long>(n);
  }
  long send_n(const std::uint8_t* buffer, std::size_t n) override {
    sent.insert(sent.end(), buffer, buffer + n);
    return static_cast<long>(n);
  }
  std::size_t position() const { return pos_; }
  std::vector<std::uint8_t> sent;

 private:
  std::vector<std::uint8_t> in_;
  std::size_t pos_ = 0;
};

struct Notification {
  std::uint16_t code, low;
  std::string name;  // of the record, if any
  std::uint32_t id;  // the record's user id, or the second word
  bool operator==(const Notification&) const = default;
};

class FakeHost final : public HostWindow {
 public:
  void notify(std::uint16_t code, std::uint16_t low, std::uintptr_t second) override {
    Notification n{code, low, "", static_cast<std::uint32_t>(second)};
    if (code != DSN_CALLUSER && second) {
      auto* r = reinterpret_cast<ParticipantRecord*>(second);
      n.name = std::string(r->name, strnlen(r->name, sizeof r->name));
      n.id = r->userId;
      std::free(r);
    }
    got.push_back(n);
  }
  std::vector<Notification> got;
};

inline std::vector<std::uint8_t> framed(std::uint8_t type, std::vector<std::uint8_t> body) {
  return *frame(type, body);
}

inline net::Ipv4 ip(const char* dotted) {
  return net::dottedAddress(dotted);
}

}  // namespace zep::directory::testing
