// zepmanager: the conference manager. Starts the engine of its host from its own installation
// directory and holds the user's side of sessions. With a display it shows its Qt window;
// with --headless, or without a display, it runs the headless front end (typed commands in,
// one line per visible change out; see the README).
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include <QApplication>

#include "manager/panel.h"
#include "manager/qt_windows.h"
#include "platform/host.h"
#include "platform/options.h"
#include "platform/process.h"
#include "ui/headless.h"

namespace {

using namespace zep::options;
const Program kProgram{
    "zepmanager",
    "the conference manager: starts this host's engine and holds the user's side of sessions",
    "",
    {{"--headless", "",
      "the headless front end: one line per visible change out, typed commands in"}},
    {kHost,
     kUser,
     {"ZEP_RING_OUT",
      "where the ring plays (default ZEP_AUDIO_OUT): portaudio[:NAME], file:PATH "
      "or none"},
     kAudioOut,
     {"ZEP_ENGINE_LOG", "a file for the log of the engine it starts (unset: its own output)"},
     kTrace,
     kDisplay},
    "Starts Core/KSengine from its own folder, the installation directory."};

}  // namespace

int main(int argc, char** argv) {
  using namespace zep;
  options::parseOrExit(kProgram, argc, argv);
  const bool headless = ui::wantsHeadless(argc, argv);

  // The installation directory is where the program itself is.
  std::string self = process::ownExecutablePath();
  std::string installDirectory = self.substr(0, self.find_last_of('/'));

  clock::RealClock clock;
  // The ring plays on ZEP_RING_OUT when it is set, so a host's loudspeaker file can be left to
  // the audio tool.
  std::string ring = host::environment("ZEP_RING_OUT");
  if (ring.empty()) ring = host::environment("ZEP_AUDIO_OUT");
  sound::AudioSystem audio("none", ring.empty() ? "portaudio" : ring, false, clock);
  manager::PanelSettings settings;
  settings.installDirectory = installDirectory;
  settings.host = host::identityFromEnvironment();
  settings.clock = &clock;
  settings.audio = &audio;
  settings.engineLog = host::environment("ZEP_ENGINE_LOG");
  if (host::environment("ZEP_TRACE") == "1")
    settings.trace = [](const std::string& t) { std::fputs(t.c_str(), stderr); };
  manager::ManagerPanel panel(settings);
  if (headless) {
    ui::HeadlessApp app(stdout, std::cin);
    return app.run(manager::kPanelTitle, panel);
  }
  QApplication qt(argc, argv);
  ui::qt::QtApp app;
  manager::addQtWindows(app);
  return app.run(manager::kPanelTitle, panel);
}
