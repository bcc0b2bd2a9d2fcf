#include "tests/driver/kestrel.h"

#include <signal.h>

#include <cmath>

#include "platform/audio.h"

namespace zep::testing {

std::vector<std::int16_t> sixSecondTone(double hz) {
  std::vector<std::int16_t> tone(8000 * 6);
  for (std::size_t i = 0; i < tone.size(); ++i)
    tone[i] = static_cast<std::int16_t>(10000 * std::sin(2 * M_PI * hz * double(i) / 8000));
  return tone;
}

KestrelProcess::KestrelProcess(net::Ipv4 at, const std::string& name, double hz,
                               const std::string& directoryServer, bool firstStart)
    : KestrelProcess(
          KestrelStart{at, name, {}, sixSecondTone(hz), directoryServer, firstStart, {}, {}, {}}) {}

KestrelProcess::KestrelProcess(KestrelStart start)
    : address(start.address),
      user(start.user),
      dir(start.folder.empty() ? freshDirectory("kestrel-" + start.user) : start.folder) {
  ::signal(SIGPIPE, SIG_IGN);
  std::filesystem::create_directories(dir);
  displays = dir / "displays";
  kestrel::KestrelSettings s;
  if (!start.directoryServer.empty()) s.directoryServer = start.directoryServer;
  s.name = user;
  s.email = user + "@example.org";
  if (start.settings) start.settings(s);
  if (!start.firstStart) kestrel::writeSettingsFile((dir / "Kestrel.cfg").string(), s);
  if (start.microphone.empty()) start.microphone.assign(8000 * 6, 0);
  std::string error;
  sound::writeSoundFile((dir / "microphone.wav").string(), start.microphone, &error);
  out = LogFile(dir / "window.txt");
  process::StartOptions o;
  o.stdoutPath = out.path();
  o.stderrPath = (dir / "errors.txt").string();
  o.pipeStdin = true;
  o.args = {"--headless"};
  o.argv0 = (dir / "kestrel").string();  // Kestrel.cfg beside it
  if (!start.launcher.empty())           // which names its own program: the settings file by name
    start.environment.emplace_back("ZEP_KESTREL_CFG", (dir / "Kestrel.cfg").string());
  o.workingDirectory = dir;
  o.environment = {{"ZEP_HOST", dotted(address)},
                   {"ZEP_USER", user},
                   {"ZEP_AUDIO_IN", "file:" + (dir / "microphone.wav").string()},
                   {"ZEP_AUDIO_OUT", "file:" + (dir / "loudspeaker.wav").string()},
                   {"ZEP_CAMERA", "pattern:" + user},
                   {"ZEP_VIDEO_OUT", "dir:" + displays.string()}};
  for (auto& [key, value] : start.environment) {
    std::erase_if(o.environment, [&](const auto& e) { return e.first == key; });
    o.environment.emplace_back(key, value);
  }
  std::string why;
  process_ = startUnder(start.launcher, (installTree() / "kestrel").string(), o, &why);
}

KestrelProcess::~KestrelProcess() {
  if (process_.running()) {
    command("click File/Exit");
    process_.waitForExit(5000);
  }
  process_.terminate(1000);
}

void createProtectedConference(KestrelProcess& k, const std::string& topic,
                               const std::string& password) {
  for (const std::string& line :
       {std::string("click Directory/Conferences..."), std::string("click New"),
        "type Topic = " + topic, std::string("click Protected"), "type Password = " + password,
        "type Confirm Password = " + password, std::string("click OK"), std::string("click OK")})
    k.command(line);
}

bool askToJoin(KestrelProcess& k, const std::string& topic) {
  k.command("click Directory/Conferences...");
  if (!k.out.waitFor("Conference list + " + topic)) return false;
  k.command("select Conference list = " + topic);
  k.command("click Join");
  return k.out.waitFor("Protected Conference: opened");
}

std::vector<std::int16_t> KestrelProcess::heard() const {
  std::vector<std::int16_t> s;
  std::string error;
  sound::readSoundFile((dir / "loudspeaker.wav").string(), &s, &error);
  return s;
}

}  // namespace zep::testing
