// The directory client's receiving loop on an arbitrary byte stream: every message it takes is
// executed against a model that checks what it was given.
#include <cstdint>
#include <cstring>

#include "directory/messages.h"

namespace {

using namespace zep::directory;

class SpanTransport final : public Transport {
 public:
  SpanTransport(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  long recv_n(std::uint8_t* buffer, std::size_t n) override {
    if (size_ - pos_ < n) return 0;
    std::memcpy(buffer, data_ + pos_, n);
    pos_ += n;
    return static_cast<long>(n);
  }
  long send_n(const std::uint8_t*, std::size_t n) override { return static_cast<long>(n); }

 private:
  const std::uint8_t* data_;
  std::size_t size_, pos_ = 0;
};

// Texts come without their NUL and never longer than a body can be.
void check(const std::string& s) {
  if (s.size() > kMaxBody || s.find('\0') != std::string::npos) __builtin_trap();
}

struct Checker final : DirectoryModel {
  void onRegister(const Registration& r) override {
    check(r.name), check(r.second), check(r.email);
  }
  void onUnregister(zep::net::Ipv4) override {}
  void onNewConference(const NewConference& c) override { check(c.topic), check(c.password); }
  void onConferenceEntry(const ConferenceEntry& c) override {
    check(c.topic);
    if (5 + c.topic.size() + 4 * c.participants.size() > kMaxBody + 1) __builtin_trap();
  }
  void onDeleteConference(std::uint32_t) override {}
  void onJoin(const IdPair&) override {}
  void onLeave(const IdPair&) override {}
  void onNotice(const std::string& t) override { check(t); }
  void onPasswordAsked(const PasswordText& p) override { check(p.text); }
  void onAdmitAsked(const IdPair&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static PrototypeTable table = [] {
    PrototypeTable t;
    t.registerAll();
    return t;
  }();
  SpanTransport in(data, size);
  Checker model;
  while (auto m = receiveNext(in, table))
    if (m->executes()) m->execute(model);
  return 0;
}
