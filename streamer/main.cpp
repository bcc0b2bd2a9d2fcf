// streamer: plays an audio clip from an audio stream server until its window is closed.
//   streamer [--server HOST] [--clip NAME] [--headless]
// The server defaults to localhost, the clip to clip.aud. The loudspeaker is ZEP_AUDIO_OUT;
// with ZEP_HOST set the client's socket binds to that address. client.log and ksa.log are
// written in the current directory.
#include <QApplication>
#include <cstdio>
#include <iostream>

#include "platform/audio.h"
#include "platform/host.h"
#include "platform/options.h"
#include "streamer/qt_window.h"
#include "streamer/request.h"
#include "streamer/window.h"
#include "ui/headless.h"

namespace {

using namespace zep::options;
const Program kProgram{
    "streamer",
    "the stream client: plays an audio clip from a stream server until its window is closed",
    "",
    {{"--server", "HOST", "the stream server (default localhost)"},
     {"--clip", "NAME", "the clip to play (default clip.aud)"},
     {"--headless", "",
      "the headless front end: one line per visible change out, typed commands in"}},
    {kHost, kAudioOut, kTrace, kDisplay},
    "Writes client.log and ksa.log in the current directory."};

}  // namespace

int main(int argc, char** argv) {
  using namespace zep;
  streamer::StreamClientSettings settings;
  const options::Parsed parsed = options::parseOrExit(kProgram, argc, argv);
  settings.serverHost = parsed.value("--server", settings.serverHost);
  settings.clip = parsed.value("--clip", settings.clip);
  if (settings.clip.empty() || settings.clip.size() > streamer::kMaxClipName) {
    std::fprintf(stderr,
                 "streamer: the clip name \"%s\" does not fit the request: it must have 1 to %zu "
                 "characters\n",
                 settings.clip.c_str(), streamer::kMaxClipName);
    return 2;
  }
  const bool headless = ui::wantsHeadless(argc, argv);

  clock::RealClock clock;
  sound::AudioSystem audioSystem = sound::AudioSystem::fromEnvironment(clock);
  settings.clock = &clock;
  settings.trace = host::environment("ZEP_TRACE") == "1";
  settings.bindAddress = host::identityFromEnvironment().bindAddress;
  settings.openDevice = [&audioSystem](event::ManualResetEvent& done, std::string* error) {
    auto device = audioSystem.openOutput(done, error);
    if (!device) std::fprintf(stderr, "streamer: %s\n", error->c_str());
    return device;
  };
  streamer::StreamerWindow window(settings);
  if (headless) {
    ui::HeadlessApp app(stdout, std::cin);
    return app.run(streamer::kStreamerTitle, window);
  }
  QApplication qt(argc, argv);
  ui::qt::QtApp app;
  streamer::addQtWindow(app);
  return app.run(streamer::kStreamerTitle, window);
}
