// Video datagrams as the receive thread hands them over: any type, any sender, any payload,
// into a core whose windows are open.
#include <cstdint>
#include <span>
#include <string>

#include "video/video_core.h"

namespace {

struct Quiet final : zep::video::VideoHooks {
  void message(const std::string&, const std::string&, zep::ui::Icon) override {}
  void openDisplay(int) override {}
  void closeDisplay(int) override {}
  void paint(int, const zep::picture::VideoFrame420&) override {}
  void cameraLost(const std::string&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zep;
  static clock::SimulatedClock clock;
  static Quiet hooks;
  static std::unique_ptr<video::VideoCore> core = [] {
    std::string error;
    auto c = video::VideoCore::create(
        clock, hooks, [](int, int, std::span<const std::uint8_t>) { return 1; },
        [](std::string*) { return std::unique_ptr<capture::Camera>(); }, &error);
    for (int m = 0; m < video::kMembers; ++m) c->on_video_datagram(video::VIDEO_START, {}, m);
    return c;
  }();
  if (size < 2) return 0;
  std::span<const std::uint8_t> bytes(data, size);
  video::decodeCodedFrame(bytes.subspan(2));
  // The first byte picks the type among those that mean something, the second the sender.
  static const int kTypes[] = {0, 1, 3, 4, 5, 9, 10, 2, 255};
  core->on_video_datagram(kTypes[data[0] % 9], bytes.subspan(2), data[1] % 24 - 2);
  return 0;
}
