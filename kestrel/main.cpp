// kestrel: the integrated client, one program with its own session engine, audio and text
// chat. With a display it shows its Qt window; with --headless, or without a display, the
// headless front end.
#include <sys/resource.h>

#include <QApplication>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "directory/dirlink.h"
#include "directory/qt_windows.h"
#include "kestrel/qt_window.h"
#include "kestrel/window.h"
#include "platform/capture.h"
#include "platform/host.h"
#include "platform/options.h"
#include "ui/headless.h"
#include "video/display_files.h"

namespace {

using namespace zep::options;
const Program kProgram{
    "kestrel",
    "the integrated client: one program with its own session engine, audio, video and text chat",
    "",
    {{"--headless", "",
      "the headless front end: one line per visible change out, typed commands in"},
     {"--config", "PATH", "the settings file (default: Kestrel.cfg beside the program)"}},
    {kHost,
     kUser,
     kAudioIn,
     kAudioOut,
     kAudioDuplex,
     {"ZEP_KESTREL_CFG", "the settings file, when --config does not name one"},
     kMixerProgram,
     kCamera,
     kCameraFormat,
     kCameraSize,
     kVideoOut,
     kDisplay},
    "Listens on TCP port 5000 like an engine, so it cannot run where an engine already serves\n"
    "(it then ends with code 0). Audio travels on UDP port 12567, video on 34999, text chat\n"
    "through the engines."};

}  // namespace

int main(int argc, char** argv) {
  using namespace zep;
  auto parsed = options::parseOrExit(kProgram, argc, argv);
  const bool headless = ui::wantsHeadless(argc, argv);
  // The media threads keep their pace better at a raised priority; the engine's thread
  // lowers its own.
  if (::setpriority(PRIO_PROCESS, 0, -10) != 0)
    std::fprintf(stderr, "Kestrel: cannot raise the priority: %s\n", std::strerror(errno));
  clock::RealClock clock;
  sound::AudioSystem audio = sound::AudioSystem::fromEnvironment(clock);
  kestrel::KestrelOptions options;
  options.clock = &clock;
  options.audio = &audio;
  options.host = host::identityFromEnvironment();
  std::string config = parsed.value("--config", host::environment("ZEP_KESTREL_CFG"));
  options.settingsPath = config.empty() ? kestrel::programFile(argv[0], "Kestrel.cfg") : config;
  options.ringPath = kestrel::programFile(argv[0], "RINGIN.WAV");
  if (auto mixer = host::environment(std::string(kMixerProgram.name).c_str()); !mixer.empty())
    options.mixerProgram = mixer;
  int code = 0;
  options.exit = [&code](int c) { code = c; };
  // The Options dialog's Video page: the cameras of the capture layer, and what each offers;
  // a camera that ZEP_CAMERA names comes first.
  auto cameras = capture::CaptureSystem::devices();
  auto chosen = capture::CaptureSystem::fromEnvironment(clock);
  if (!host::environment("ZEP_CAMERA").empty()) {
    auto same = [&](const capture::DeviceInfo& d) { return d.choice == chosen.choice(); };
    auto found = std::find_if(cameras.begin(), cameras.end(), same);
    capture::DeviceInfo first{chosen.choice(), "Camera " + chosen.choice()};
    if (found != cameras.end()) {
      first = *found;
      cameras.erase(found);
    }
    cameras.insert(cameras.begin(), first);
  }
  options.connectCamera = [cameras, chosen](
                              int device, std::string* error) -> std::unique_ptr<capture::Camera> {
    if (device < 0 || device >= static_cast<int>(cameras.size())) {
      *error = "no capture device " + std::to_string(device);
      return nullptr;
    }
    return chosen.withChoice(cameras[static_cast<std::size_t>(device)].choice).connect(error);
  };
  std::string displayError;
  options.displayFiles = video::DisplayFiles::fromEnvironment(&displayError);
  if (!displayError.empty()) std::fprintf(stderr, "Kestrel: %s\n", displayError.c_str());
  for (const auto& c : cameras) options.optionsEnvironment.devices.push_back(c.description);
  options.optionsEnvironment.formatOf = [cameras, chosen](int device) -> std::string {
    if (device < 0 || device >= static_cast<int>(cameras.size())) return {};
    std::string why;
    auto camera = chosen.withChoice(cameras[static_cast<std::size_t>(device)].choice).connect(&why);
    if (!camera) return why;
    auto f = camera->format();
    return std::to_string(f.width) + " x " + std::to_string(f.height) + ", " +
           (f.pixel == capture::PixelFormat::kRgb24 ? "RGB24" : "YVU9");
  };
  options.optionsEnvironment.sourceOf = [cameras](int device) -> std::string {
    if (device < 0 || device >= static_cast<int>(cameras.size())) return {};
    return cameras[static_cast<std::size_t>(device)].description;
  };
  // The directory client library, linked at load time.
  options.directory.connect = [](ui::View& window, const auto& settings) {
    return DSInitialize(&window) != 0 ? -1 : DSConnect(settings.data());
  };
  options.directory.activeUsers = [] { return DSActiveUsers(); };
  options.directory.conferences = [] { return DSConferences(); };
  kestrel::KestrelWindow window(options);
  if (headless) {
    ui::HeadlessApp app(stdout, std::cin, false);
    app.run(kestrel::kKestrelTitle, window);
    return code;
  }
  QApplication qt(argc, argv);
  ui::qt::QtApp app;
  kestrel::addQtWindows(app);
  directory::addQtWindows(app);
  app.run(kestrel::kKestrelTitle, window);
  return code;
}
