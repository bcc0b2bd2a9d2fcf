// zepaudio: the audio tool. Attaches to the engine of its host as the application of port
// 12567, sends the microphone to every member and plays what they send. With a display it
// shows its Qt window; with --headless, or without a display, the headless front end.
#include <sys/resource.h>

#include <QApplication>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "audio/panel.h"
#include "audio/qt_window.h"
#include "platform/host.h"
#include "platform/options.h"
#include "ui/headless.h"

namespace {

using namespace zep::options;
const Program kProgram{
    "zepaudio",
    "the audio tool: sends the microphone to every member of the session and plays what they send",
    "",
    {{"--headless", "",
      "the headless front end: one line per visible change out, typed commands in"},
     {"--list-devices", "", "list the sound devices PortAudio sees and exit"}},
    {kHost, kUser, kAudioIn, kAudioOut, kAudioDuplex, kMixerProgram, kTrace, kDisplay},
    "Normally started by the conference manager; attaches to this host's engine at port 12567."};

}  // namespace

int main(int argc, char** argv) {
  using namespace zep;
  if (options::parseOrExit(kProgram, argc, argv).has("--list-devices")) {
    std::string error;
    auto found = sound::portAudioDevices(&error);
    if (!error.empty()) {
      std::fprintf(stderr, "zepaudio: %s\n", error.c_str());
      return 1;
    }
    std::printf("Sound devices (ZEP_AUDIO_IN=portaudio:NAME, ZEP_AUDIO_OUT=portaudio:NAME):\n");
    if (found.empty()) std::printf("  none\n");
    for (const auto& d : found)
      std::printf("  %s  [%s; %d in, %d out%s%s]\n", d.name.c_str(), d.hostApi.c_str(),
                  d.inputChannels, d.outputChannels, d.defaultInput ? "; default input" : "",
                  d.defaultOutput ? "; default output" : "");
    return 0;
  }
  const bool headless = ui::wantsHeadless(argc, argv);
  // Playout and capture keep their pace better at a raised priority, where that is allowed.
  if (::setpriority(PRIO_PROCESS, 0, -10) != 0)
    std::fprintf(stderr, "Audio: cannot raise the priority: %s\n", std::strerror(errno));

  clock::RealClock clock;
  sound::AudioSystem audioSystem = sound::AudioSystem::fromEnvironment(clock);
  audio::AudioToolSettings settings;
  settings.audio = &audioSystem;
  settings.clock = &clock;
  settings.host = host::identityFromEnvironment();
  settings.linkOptions.log = applink::traceLog();
  if (auto mixer = host::environment(std::string(options::kMixerProgram.name).c_str());
      !mixer.empty())
    settings.mixerProgram = mixer;
  audio::AudioToolPanel panel(settings);
  if (headless) {
    // Started as a plug-in it has no input: it runs until told to quit.
    ui::HeadlessApp app(stdout, std::cin, false);
    return app.run(audio::kAudioToolTitle, panel);
  }
  QApplication qt(argc, argv);
  ui::qt::QtApp app;
  audio::addQtWindow(app);
  return app.run(audio::kAudioToolTitle, panel);
}
