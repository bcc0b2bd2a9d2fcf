// zepmanager: the conference manager. Starts the engine of its host from its own installation
// directory and holds the user's side of sessions. The window is the headless front end
// (typed commands in, one line per visible change out); see the README.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "manager/panel.h"
#include "platform/host.h"
#include "platform/process.h"
#include "ui/headless.h"

int main(int argc, char** argv) {
  using namespace zep;
  bool headless = false;
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--headless") == 0) headless = true;
  if (!headless && !host::environment("DISPLAY").empty())
    std::fprintf(stderr, "Manager: no window front end in this build yet; running headless\n");

  // The installation directory is where the program itself is.
  std::string self = process::ownExecutablePath();
  std::string installDirectory = self.substr(0, self.find_last_of('/'));

  clock::RealClock clock;
  sound::AudioSystem audio = sound::AudioSystem::fromEnvironment(clock);
  manager::PanelSettings settings;
  settings.installDirectory = installDirectory;
  settings.host = host::identityFromEnvironment();
  settings.clock = &clock;
  settings.audio = &audio;
  settings.engineLog = host::environment("ZEP_ENGINE_LOG");
  if (host::environment("ZEP_TRACE") == "1")
    settings.trace = [](const std::string& t) { std::fputs(t.c_str(), stderr); };
  manager::ManagerPanel panel(settings);
  ui::HeadlessApp app(stdout, std::cin);
  return app.run(manager::kPanelTitle, panel);
}
