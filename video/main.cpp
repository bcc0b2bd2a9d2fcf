// zepvideo: the video tool. Attaches to the engine of its host as the application of port
// 34999, sends the camera to every member and shows each member's pictures in a window of its
// own. With a display it shows its Qt window; with --headless, or without a display, the
// headless front end.
#include <fcntl.h>

#include <QApplication>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ext/stdio_filebuf.h>
#include <iostream>

#include "platform/capture.h"
#include "platform/host.h"
#include "platform/options.h"
#include "ui/headless.h"
#include "video/panel.h"
#include "video/qt_window.h"

namespace {

using namespace zep::options;
const Program kProgram{
    "zepvideo",
    "the video tool: sends the camera to every member and shows each member's pictures",
    "",
    {{"--headless", "",
      "the headless front end: one line per visible change out, typed commands in"},
     {"--list-devices", "", "list the cameras V4L2 sees and exit"}},
    {kHost,
     kUser,
     kCamera,
     kCameraFormat,
     kCameraSize,
     kVideoOut,
     {"ZEP_VIDEO_INPUT", "a named pipe the headless tool takes its typed lines from"},
     kTrace,
     kDisplay},
    "Normally started by the conference manager; attaches to this host's engine at port 34999.\n"
    "Its settings are kept in video.cfg beside the program."};

}  // namespace

int main(int argc, char** argv) {
  using namespace zep;
  if (options::parseOrExit(kProgram, argc, argv).has("--list-devices")) {
    std::printf("Cameras (ZEP_CAMERA=CHOICE):\n");
    for (const auto& d : capture::CaptureSystem::devices())
      std::printf("  %-28s %s\n", d.choice.c_str(), d.description.c_str());
    return 0;
  }
  const bool headless = ui::wantsHeadless(argc, argv);
  clock::RealClock clock;
  capture::CaptureSystem cameras = capture::CaptureSystem::fromEnvironment(clock);

  video::VideoToolSettings settings;
  settings.clock = &clock;
  settings.host = host::identityFromEnvironment();
  settings.linkOptions.log = applink::traceLog();
  settings.connectCamera = [&cameras](std::string* error) { return cameras.connect(error); };
  settings.settingsPath = video::settingsPath(argv[0]);
  std::string why;
  settings.displayFiles = video::DisplayFiles::fromEnvironment(&why);
  if (!why.empty()) {
    std::fprintf(stderr, "Video: %s\n", why.c_str());
    return 2;
  }
  video::VideoToolPanel panel(std::move(settings));
  if (headless) {
    // Started as a plug-in it has no input: it runs until told to quit. ZEP_VIDEO_INPUT names
    // a named pipe to take typed lines from instead, so a plug-in can be driven too.
    std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> pipe;
    std::unique_ptr<std::istream> typed;
    if (std::string path = host::environment("ZEP_VIDEO_INPUT"); !path.empty()) {
      int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);  // read-write: never sees an end
      if (fd < 0) {
        std::fprintf(stderr, "Video: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return 2;
      }
      pipe = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd, std::ios::in);
      typed = std::make_unique<std::istream>(pipe.get());
    }
    ui::HeadlessApp app(stdout, typed ? *typed : std::cin, false);
    return app.run(video::kVideoToolTitle, panel);
  }
  QApplication qt(argc, argv);
  ui::qt::QtApp app;
  video::addQtWindows(app);
  return app.run(video::kVideoToolTitle, panel);
}
