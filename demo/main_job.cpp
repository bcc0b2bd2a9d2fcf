// The suite's main job: a conference of three hosts on this one machine. Each host is a
// loopback address with its own headless conference manager, which starts the host's engine.
// Host A invites B and C from the Add Users dialog (listing the active users of a user server),
// B and C accept; a media program on each host exchanges datagrams while A records the session
// from the Archive Panel and replays it; then A runs the audio tool on every member, everyone
// talks (each microphone a sound file of its own tone), and the loudspeaker files show who
// heard whom. One line per step goes to the console and the figures come in one table at the
// end; every program's window lines and logs are kept in a folder whose path is printed
// (--verbose prints them as well).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "applink/link.h"
#include "archive/recording.h"
#include "kestrel/settings.h"
#include "platform/audio.h"
#include "platform/clock.h"
#include "platform/options.h"
#include "tests/driver/calls.h"
#include "tests/driver/directory.h"
#include "tests/driver/driver.h"
#include "tests/driver/kestrel.h"
#include "tests/driver/stream.h"
#include "tests/driver/video.h"

using namespace zep;
using namespace zep::testing;

namespace {

bool ok = true;
bool verbose = false;
std::filesystem::path logFolder;
// The closing table: its sections in order of first use, each with its lines.
std::vector<std::pair<std::string, std::vector<std::string>>> figures;

void step(bool passed, const std::string& what) {
  std::printf("  %-64s %s\n", what.c_str(), passed ? "ok" : "FAILED");
  std::fflush(stdout);
  ok = ok && passed;
}

std::string format(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* f, ...) {
  char text[1024];
  va_list args;
  va_start(args, f);
  std::vsnprintf(text, sizeof text, f, args);
  va_end(args);
  return text;
}

void figure(const std::string& section, const std::string& line) {
  auto it = std::find_if(figures.begin(), figures.end(),
                         [&](const auto& s) { return s.first == section; });
  if (it == figures.end()) it = figures.insert(figures.end(), {section, {}});
  it->second.push_back(line);
}

// Detail of a program: kept as a file of the log folder, and printed with --verbose.
void keep(const std::string& name, const std::string& text) {
  std::ofstream(logFolder / name) << text;
  if (verbose) std::printf("\n--- %s ---\n%s", name.c_str(), text.c_str());
}

void printFigures() {
  // What a reader looks for first comes first; the rest in the order it was found.
  const std::vector<std::string> first = {"Who heard whom", "Who saw whom", "Delays"};
  auto rank = [&](const std::string& section) {
    for (std::size_t i = 0; i < first.size(); ++i)
      if (section.rfind(first[i], 0) == 0) return i;
    return first.size();
  };
  std::stable_sort(figures.begin(), figures.end(),
                   [&](const auto& a, const auto& b) { return rank(a.first) < rank(b.first); });
  std::printf("\nFigures (details in %s):\n", logFolder.c_str());
  for (const auto& [section, lines] : figures) {
    std::printf("  %s\n", section.c_str());
    for (const auto& l : lines) std::printf("    %s\n", l.c_str());
  }
}

void printRecording(const std::filesystem::path& recording) {
  std::FILE* f = std::fopen(recording.c_str(), "rb");
  if (!f) return;
  archive::DatagramRecord r, first;
  std::string why;
  int n = 0;
  const std::string section = "Recording of the media programs (" + recording.string() + ")";
  while (archive::readRecord(f, &r, &why) == archive::ReadResult::kRecord) {
    if (n++ == 0) first = r;
    auto d = applink::decodeMediaDatagram(r.data);
    figure(section,
           format("+%5lld ms  port %d  %3d bytes  from member %d: %.*s",
                  static_cast<long long>(archive::millisecondsBetween(r.time, first.time)), r.port,
                  r.length, d ? d->sender : -1, d ? static_cast<int>(d->data.size()) : 0,
                  d ? reinterpret_cast<const char*>(d->data.data()) : ""));
  }
  std::fclose(f);
  step(n == 3, "three datagrams recorded");
}

// Start of a sound-file timeline that an audio tool traced on its manager's error stream, in
// monotonic milliseconds; -1 when none was traced.
double timelineStart(const ManagerProcess& m, const std::string& what) {
  double micros = soundTimelineStart(m.err.text(), what);
  return micros < 0 ? -1 : micros / 1000;
}

// alice's voice from her microphone file to bob's loudspeaker file.
void mouthToEar(const ManagerProcess& alice, const ManagerProcess& bob,
                const std::filesystem::path& soundDir, double hz) {
  std::vector<std::int16_t> spoken, heard;
  std::string error;
  sound::readSoundFile((soundDir / "alice-microphone.wav").string(), &spoken, &error);
  sound::readSoundFile((soundDir / "bob-loudspeaker.wav").string(), &heard, &error);
  double spokenStart = timelineStart(alice, "input"), heardStart = timelineStart(bob, "output");
  auto delays = burstDelaysMs(spoken, spokenStart, heard, heardStart, hz);
  if (spokenStart < 0 || heardStart < 0 || delays.empty()) {
    step(false, "mouth-to-ear delay measured");
    return;
  }
  figure("Delays", format("mouth to ear, alice to bob, over %zu bursts: median %.0f ms (from %.0f "
                          "to %.0f)",
                          delays.size(), delays[delays.size() / 2], delays.front(), delays.back()));
}

// A line typed into a video tool that a manager started, through its named pipe.
void typeInto(const std::filesystem::path& pipe, const std::string& line) {
  int fd = ::open(pipe.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  std::string text = line + "\n";
  ssize_t written = ::write(fd, text.data(), text.size());
  (void)written;
  ::close(fd);
}

struct VideoHost {
  std::string user;
  std::filesystem::path displays;  // the tool's display files
  std::filesystem::path input;     // its typed lines
};

// Who saw whom: every member window against the sender's own Mirror pictures, counting the
// pictures painted since `since` (per host and slot).
void printWhoSawWhom(const std::vector<VideoHost>& hosts, const std::string& mode,
                     std::map<std::pair<int, int>, std::size_t>& since, int sender = -1) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      if (i == j || (sender >= 0 && j != sender)) continue;
      auto window = readDisplay(hosts[i].displays, j);
      auto mirror = readDisplay(hosts[j].displays, 20);
      std::size_t from = std::min(since[{i, j}], window.pictures.size());
      since[{i, j}] = window.pictures.size();
      window.pictures.erase(window.pictures.begin(), window.pictures.begin() + from);
      window.paintedMicros.erase(
          window.paintedMicros.begin(),
          window.paintedMicros.begin() + std::min(from, window.paintedMicros.size()));
      auto seen = compareWithMirror(window, mirror);
      figure(
          "Who saw whom",
          format("%-6s saw %-6s %3zu pictures, %4.1f a second, %5.1f dB, delay %4.0f ms "
                 "(95%% %4.0f)  %s",
                 hosts[i].user.c_str(), hosts[j].user.c_str(), seen.pictures, seen.framesPerSecond,
                 seen.medianPsnr, seen.medianDelayMs, seen.p95DelayMs, mode.c_str()));
      step(seen.pictures >= 3 && seen.medianPsnr >= 30,
           hosts[i].user + " saw " + hosts[j].user + " (" + mode + ")");
    }
}

void videoConference(ManagerProcess& a, const std::vector<ManagerProcess*>& managers,
                     const std::vector<VideoHost>& hosts) {
  std::printf(
      "\nalice runs the video tool, which starts on every member; every camera is a "
      "pattern with its user's name:\n");
  a.command("select Applications = Video tool");
  a.command("click Run");
  for (auto* m : managers)
    step(m->engineLog.waitFor("Engine: application port 46984"),
         "video tool attached on " + m->user + "'s host");
  clock::sleepMs(500);
  for (const auto& h : hosts) typeInto(h.input, "click Capture/Start");
  std::map<std::pair<int, int>, std::size_t> since;
  clock::sleepMs(6000);
  printWhoSawWhom(hosts, "H.263, the Modem 28.8 preset", since);
  typeInto(hosts[0].input, "click Tools/Advanced");
  typeInto(hosts[0].input, "click H261");
  typeInto(hosts[0].input, "click OK");
  clock::sleepMs(3000);
  printWhoSawWhom(hosts, "alice switched to H.261 through Advanced", since, 0);
  typeInto(hosts[0].input, "click Tools/Advanced");
  typeInto(hosts[0].input, "click YUV9");
  typeInto(hosts[0].input, "click OK");
  clock::sleepMs(3000);
  printWhoSawWhom(hosts, "alice switched to uncompressed YUV9", since, 0);
  figure("Files", "display files: " + hosts[0].displays.parent_path().string());
}

// An integrated client on a host of its own, in a folder of the log folder: its microphone
// tone bursts, its camera a pattern with its name (or as `camera` says).
std::unique_ptr<KestrelProcess> startClient(const std::string& address, const std::string& user,
                                            double hz, const std::filesystem::path& soundDir,
                                            const std::string& directoryServer,
                                            const std::string& camera = "") {
  KestrelStart s;
  s.address = net::dottedAddress(address);
  s.user = user;
  s.folder = soundDir / user;
  s.microphone = toneBursts(hz, 40.0);
  s.directoryServer = directoryServer;
  if (!camera.empty()) s.environment = {{"ZEP_CAMERA", camera}};
  return std::make_unique<KestrelProcess>(s);
}

// Two integrated clients join alice's session from her manager's Add Users, hear the others
// and are heard, and chat.
void clientsJoin(ManagerProcess& a, const std::vector<ManagerProcess*>& managers,
                 const std::string& base, const std::filesystem::path& soundDir,
                 const double* tones) {
  std::printf("\nTwo integrated clients, kay and lou, join alice's session from her Add Users:\n");
  const double kayTone = 1320;
  auto kayProgram = startClient(base + "4", "kay", kayTone, soundDir, "", "none"),
       louProgram = startClient(base + "5", "lou", 1760, soundDir, "", "none");
  KestrelProcess &kay = *kayProgram, &lou = *louProgram;
  for (auto* c : {&kay, &lou})
    step(c->out.waitFor("Status = Conferencing panel ready to use"),
         "kestrel of " + c->user + " on " + dotted(c->address) + " is ready");
  a.command("click Add");
  for (auto* c : {&kay, &lou}) {
    a.command("type User = " + c->user + "@" + dotted(c->address));
    a.command("click Add ->");
  }
  a.command("click OK");
  for (auto* m : managers)
    step(m->out.waitForCount("Members + ", 5), m->user + "'s Members list shows five members");
  for (auto* c : {&kay, &lou})
    step(c->out.waitForCount("Participants + ", 5), c->user + " lists all five participants");
  kay.command("click Tools/Text Chat");
  kay.command("type Message = hello from kay");
  kay.command("click Send");
  kay.command("click Close");
  step(LogFile(lou.dir / "chat.log").waitFor("kay: hello from kay"),
       "lou's Text Chat shows kay's line");
  clock::sleepMs(4000);
  for (auto* c : {&kay, &lou}) {
    c->command("click File/Exit");
    step(c->process_.waitForExit(8000), c->user + "'s kestrel ended and wrote its receive report");
  }
  std::vector<std::int16_t> heard;
  std::string error;
  sound::readSoundFile((kay.dir / "loudspeaker.wav").string(), &heard, &error);
  const char* users[] = {"alice", "bob", "carol"};
  for (int j = 0; j < 3; ++j)
    step(
        sound::toneEnergy(heard, tones[j]) > 100 * std::max(1.0, sound::toneEnergy(heard, kayTone)),
        std::string("kay heard ") + users[j] + "'s audio tool");
  for (int i = 0; i < 3; ++i) {
    std::vector<std::int16_t> atTool;
    sound::readSoundFile((soundDir / (std::string(users[i]) + "-loudspeaker.wav")).string(),
                         &atTool, &error);
    step(sound::toneEnergy(atTool, kayTone) > 1e5,
         std::string(users[i]) + "'s audio tool heard kay");
  }
  std::istringstream report(LogFile(kay.dir / "userdata.log").text());
  for (std::string line; std::getline(report, line);)
    if (line.rfind("User ", 0) == 0) figure("kay's receive report (userdata.log)", line);
  figure("Files",
         "kestrel hosts: " + (soundDir / "kay").string() + ", " + (soundDir / "lou").string());
}

// alice listens to a clip from the stand-in stream server on its own host.
void streamToAlice(net::Ipv4 serverAt, net::Ipv4 alice, const std::filesystem::path& soundDir) {
  std::printf("\nalice plays a clip from the stream server on %s:\n", dotted(serverAt).c_str());
  auto speaker = soundDir / "alice-stream.wav";
  auto run = streamClip(serverAt, alice, speaker);
  step(run.ok, "the clip arrived whole and in order, sample for sample");
  if (!run.ok) std::printf("  %s\n", run.problem.c_str());
  figure("Delays", format("stream request to first sound: %.0f ms", run.requestToFirstSoundMs));
  figure("Files", format("stream: %zu samples of the clip, from sample %zu of %s", run.clip.samples,
                         run.clip.offset, speaker.c_str()));
}

// alice, bob and carol browse a directory: alice makes a Protected conference that bob joins
// with its password, and a Restricted one that carol asks to join and alice admits.
// Who heard whom among some sound files: each listener's loudspeaker file against every
// speaker's tone, a step for each pair.
void heardAmong(const std::vector<std::pair<std::string, std::filesystem::path>>& listeners,
                const std::vector<std::pair<std::string, double>>& speakers,
                const std::vector<std::pair<std::string, std::string>>& unchecked = {}) {
  for (const auto& [listener, file] : listeners) {
    std::vector<std::int16_t> heard;
    std::string error;
    sound::readSoundFile(file.string(), &heard, &error);
    std::string row = format("%-8s", listener.c_str());
    double loudest = 1;
    for (const auto& [speaker, hz] : speakers)
      if (speaker != listener) loudest = std::max(loudest, sound::toneEnergy(heard, hz));
    for (const auto& [speaker, hz] : speakers) {
      if (speaker == listener) continue;
      double e = sound::toneEnergy(heard, hz);
      row += format(" %s %.0f dB", speaker.c_str(), 10 * std::log10(std::max(1.0, e)));
      // Heard: well above silence and within 30 dB of the loudest voice in the file.
      if (std::find(unchecked.begin(), unchecked.end(), std::pair(listener, speaker)) ==
          unchecked.end())
        step(e > 1e5 && e > loudest / 1000, listener + " heard " + speaker);
    }
    figure("Who heard whom in the directory's conference (tone energy)", row);
  }
}

// How well each of several picture sources was shown by each of several receivers: every
// member window against the sender's own Mirror.
struct Viewer {
  std::string user;
  std::filesystem::path displays;
  int member;  // its number in the session: the slot the others show it in
};
void printWhoSawWhomAmong(const std::vector<Viewer>& viewers, const std::string& what) {
  for (const auto& v : viewers)
    for (const auto& s : viewers) {
      if (&v == &s) continue;
      auto seen = compareWithMirror(readDisplay(v.displays, s.member), readDisplay(s.displays, 20));
      figure("Who saw whom in the directory's conference",
             format("%-6s saw %-6s %3zu pictures, %4.1f a second, %5.1f dB, delay %4.0f ms  %s",
                    v.user.c_str(), s.user.c_str(), seen.pictures, seen.framesPerSecond,
                    seen.medianPsnr, seen.medianDelayMs, what.c_str()));
      step(seen.pictures >= 3 && seen.medianPsnr >= 30, v.user + " saw " + s.user);
    }
}

// Two integrated clients meet in a Protected conference of the directory, which makes their
// session; they talk, see each other and chat; then dave calls alice, a manager's host, from
// Active Users, and her audio and video tools join the talk and the pictures.
void kestrelsMeetInTheDirectory(net::Ipv4 serverAt, const std::string& base, net::Ipv4 alice,
                                const std::filesystem::path& soundDir) {
  std::printf("\ndave and erin (kestrel) meet in the directory; dave then calls alice:\n");
  const double daveTone = 523, erinTone = 784, aliceTone = 440;
  auto daveProgram = startClient(base + "10", "dave", daveTone, soundDir, dotted(serverAt)),
       erinProgram = startClient(base + "11", "erin", erinTone, soundDir, dotted(serverAt));
  KestrelProcess &dave = *daveProgram, &erin = *erinProgram;
  for (auto* k : {&dave, &erin})
    step(k->out.waitFor("Directory Server: User list + dave | dave@example.org") &&
             k->out.waitFor("Status = Conferencing panel ready to use"),
         k->user + "'s kestrel is registered with the directory");
  createProtectedConference(dave, "Weekly call", "kestrel");
  step(askToJoin(erin, "Weekly call"), "erin sees dave's conference and is asked for the password");
  erin.command("type Password = kestrel");
  erin.command("click OK");
  step(erin.out.waitFor("Kestrel Videoconferencing: Participants + dave@") &&
           dave.out.waitFor("Kestrel Videoconferencing: Participants + erin@"),
       "the conference became a session of dave and erin");
  for (auto* k : {&dave, &erin}) {
    k->command("close");  // the Directory Server window
    k->command("click Video");
  }
  step(erin.out.waitFor("display 0 opened \"dave@") && dave.out.waitFor("display 1 opened \"erin@"),
       "dave and erin opened each other's video window");
  dave.command("click Tools/Text Chat");
  dave.command("type Message = hello erin, can you see me?");
  dave.command("click Send");
  dave.command("click Close");
  step(LogFile(erin.dir / "chat.log").waitFor("dave: hello erin, can you see me?"),
       "erin's Text Chat shows dave's line");
  erin.command("click Tools/Text Chat");
  erin.command("type Message = yes, and hear you too");
  erin.command("click Send");
  erin.command("click Close");
  step(LogFile(dave.dir / "chat.log").waitFor("erin: yes, and hear you too"),
       "dave's Text Chat shows erin's answer");

  std::string error;
  sound::writeSoundFile((soundDir / "alice-second-microphone.wav").string(),
                        toneBursts(aliceTone, 30.0), &error);
  const auto aliceDisplays = soundDir / "video" / "alice-second";
  const auto aliceInput = soundDir / "alice-second.input";
  ::mkfifo(aliceInput.c_str(), 0600);
  ManagerProcess a(
      alice, "alice",
      {{"ZEP_AUDIO_IN", "file:" + (soundDir / "alice-second-microphone.wav").string()},
       {"ZEP_AUDIO_OUT", "file:" + (soundDir / "alice-second-loudspeaker.wav").string()},
       {"ZEP_RING_OUT", "none"},
       {"ZEP_CAMERA", "pattern:alice"},
       {"ZEP_VIDEO_OUT", "dir:" + aliceDisplays.string()},
       {"ZEP_VIDEO_INPUT", aliceInput.string()}});
  step(a.out.waitFor("Status = Conferencing panel ready to use"), "alice's manager is ready again");
  // The window shows itself once the library has been asked: only then does it take the lines.
  int shown = dave.out.count("Directory Server: shown");
  dave.command("click Directory/Active Users...");
  dave.out.waitForCount("Directory Server: shown", shown + 1);
  dave.command("select User list = alice");
  dave.command("click Call");
  step(a.out.waitFor("Status = RECEIVED INVITATION from dave@"), "dave's call rings at alice");
  a.command("click Accept");
  step(a.out.waitForCount("Members + ", 3) &&
           dave.out.waitForCount("Kestrel Videoconferencing: Participants + ", 3),
       "alice joined dave and erin's session");
  step(erin.out.waitForCount("Kestrel Videoconferencing: Participants + ", 3),
       "erin heard through dave that alice joined");
  dave.command("close");  // the Directory Server window
  a.command("select Applications = Audio tool");
  a.command("click Run");
  step(a.engineLog.waitFor("Engine: application port 5937"), "alice's audio tool attached");
  a.command("select Applications = Video tool");
  a.command("click Run");
  step(a.engineLog.waitFor("Engine: application port 46984"), "alice's video tool attached");
  clock::sleepMs(500);
  typeInto(aliceInput, "click Capture/Start");
  step(dave.out.waitFor("display 2 opened \"alice@") &&
           erin.out.waitFor("display 2 opened \"alice@"),
       "dave and erin opened alice's video window");
  clock::sleepMs(5000);
  printWhoSawWhomAmong(
      {{"dave", dave.displays, 0}, {"erin", erin.displays, 1}, {"alice", aliceDisplays, 2}},
      "H.263 from kestrel and from the video tool");
  std::istringstream transcript(LogFile(dave.dir / "chat.log").text());
  for (std::string line; std::getline(transcript, line);)
    if (!line.empty() && line != "\r")
      figure("Text chat transcript (dave's chat.log)", line.substr(0, line.find('\r')));
  for (auto* k : {&dave, &erin}) {
    k->command("click File/Exit");
    step(k->process_.waitForExit(8000), k->user + "'s kestrel ended");
  }
  typeInto(aliceInput, "click File/Exit");
  a.command("click File/Exit");
  step(a.process().waitForExit(15000), "alice's manager shut down");
  heardAmong({{"dave", dave.dir / "loudspeaker.wav"},
              {"erin", erin.dir / "loudspeaker.wav"},
              {"alice", soundDir / "alice-second-loudspeaker.wav"}},
             {{"dave", daveTone}, {"erin", erinTone}, {"alice", aliceTone}});
  std::istringstream report(LogFile(dave.dir / "userdata.log").text());
  for (std::string line; std::getline(report, line);)
    if (line.rfind("User ", 0) == 0) figure("dave's receive report (userdata.log)", line);
  keep("alice-second-manager-window.txt", a.out.text());
  keep("alice-second-engine.log", a.engineLog.text());
}

void directoryConference(net::Ipv4 serverAt, const std::vector<net::Ipv4>& hosts,
                         const std::string& base, const std::filesystem::path& soundDir) {
  std::printf("\nThe directory: a Directory Server stand-in on %s and a browser on each host:\n",
              dotted(serverAt).c_str());
  DirServerProcess server(serverAt);
  step(server.waitReady(), "Directory Server stand-in listens on " + dotted(serverAt) + ":4401");
  const char* names[] = {"alice", "bob", "carol"};
  std::vector<std::unique_ptr<DirClientProcess>> c;
  for (int i = 0; i < 3; ++i)
    c.push_back(std::make_unique<DirClientProcess>(hosts[static_cast<std::size_t>(i)], serverAt,
                                                   names[i],
                                                   std::string(names[i]) + "@example.org"));
  for (auto& client : c)
    step(client->out.waitFor("User list + carol | carol@example.org"),
         client->user + " sees every registered user");
  auto id = [&](int i) {
    return std::string(names[i]) + " " + dotted(c[static_cast<std::size_t>(i)]->address);
  };
  auto& alice = *c[0];
  auto& bob = *c[1];
  auto& carol = *c[2];
  for (const char* line :
       {"click Conferences", "click New", "type Topic = Design review", "click Protected",
        "type Password = kestrel", "type Confirm Password = kestrel", "click OK", "click OK"})
    alice.command(line);
  step(alice.out.waitFor("DSN_CONFENTERED 1 " + id(0)), "alice made the Protected conference");
  bob.command("click Conferences");
  step(bob.out.waitFor("Conference list + Design review"), "bob sees it listed");
  bob.command("select Conference list = Design review");
  bob.command("click Join");
  step(bob.out.waitFor("Protected Conference: opened"), "bob is asked for the password");
  bob.command("type Password = kestrel");
  bob.command("click OK");
  step(bob.out.waitFor("DSN_CONFENTERED 2 " + id(0)) &&
           alice.out.waitFor("DSN_PARTICIPANTJOINED 0 " + id(1)),
       "bob entered with the password; alice heard of him");
  for (const char* line : {"click New", "type Topic = Planning", "click Restricted", "click OK"})
    alice.command(line);
  carol.command("click Conferences");
  step(carol.out.waitFor("Conference list + Planning"), "carol sees the Restricted conference");
  carol.command("select Conference list = Planning");
  carol.command("click Join");
  step(alice.out.waitFor("New Participant: Name = carol"), "alice is asked to admit carol");
  alice.command("click Accept");
  step(carol.out.waitFor("DSN_CONFENTERED 2 " + id(0)), "carol entered once alice accepted");
  clock::sleepMs(300);
  for (auto& client : c) {
    std::istringstream lines(client->out.text());
    for (std::string line; std::getline(lines, line);)
      if (line.rfind("DSN_", 0) == 0)
        figure("Directory notifications", client->user + " got " + line);
    keep(client->user + "-directory-window.txt", client->out.text());
  }
  kestrelsMeetInTheDirectory(serverAt, base, hosts[0], soundDir);
}

}  // namespace

int main(int argc, char** argv) {
  const options::Program program{
      "zep_main_job",
      "the suite's main job: a conference of several hosts on this machine",
      "[ADDRESS-PREFIX]",
      {{"--verbose", "", "print every program's window lines and logs as well"}},
      {},
      "Each host is a loopback address: ADDRESS-PREFIX followed by 1 to 9 (default 127.77.0.).\n"
      "Prints one line per step and a closing table of figures; the detail of each program\n"
      "is kept in a log folder whose path is printed. Exits 0 when every step passed."};
  auto parsed = options::parseOrExit(program, argc, argv);
  verbose = parsed.has("--verbose");
  std::string base = parsed.operands.empty() ? "127.77.0." : parsed.operands[0];
  auto tree = installTree();
  auto soundDir = freshDirectory("main-job");
  logFolder = soundDir;
  std::printf("Installation tree %s\nLog folder %s\n\n", tree.c_str(), logFolder.c_str());

  // The user server, named in SERVERS.CFG for every manager of this tree.
  net::Ipv4 serverAddress = net::dottedAddress(base + "9");
  LogFile serverLog(freshDirectory("userserver") / "out.txt");
  process::StartOptions serverOptions;
  serverOptions.stdoutPath = serverLog.path();
  serverOptions.environment = {{"ZEP_HOST", dotted(serverAddress)}};
  std::string why;
  auto server = process::start((tree / "servers" / "userserver").string(), serverOptions, &why);
  std::ofstream(tree / "SERVERS.CFG") << dotted(serverAddress) << "\n";
  step(serverLog.waitFor("Server: listening"),
       "user server listens on " + dotted(serverAddress) + ":4998");

  const char* users[] = {"alice", "bob", "carol"};
  const double tones[] = {440, 660, 990};  // each host's voice
  std::vector<std::unique_ptr<ManagerProcess>> managers;
  std::vector<VideoHost> videoHosts;
  for (int i = 0; i < 3; ++i) {
    VideoHost v{users[i], soundDir / "video" / users[i],
                soundDir / (std::string(users[i]) + ".input")};
    ::mkfifo(v.input.c_str(), 0600);
    videoHosts.push_back(v);
  }
  for (int i = 0; i < 3; ++i) {
    auto mic = soundDir / (std::string(users[i]) + "-microphone.wav");
    auto speaker = soundDir / (std::string(users[i]) + "-loudspeaker.wav");
    std::string error;
    sound::writeSoundFile(mic.string(), toneBursts(tones[i], 60.0), &error);
    managers.push_back(std::make_unique<ManagerProcess>(
        net::dottedAddress(base + std::to_string(i + 1)), users[i],
        std::vector<std::pair<std::string, std::string>>{
            {"ZEP_AUDIO_IN", "file:" + mic.string()},
            {"ZEP_AUDIO_OUT", "file:" + speaker.string()},
            {"ZEP_RING_OUT", "none"},
            {"ZEP_TRACE", "1"},
            {"ZEP_CAMERA", std::string("pattern:") + users[i]},
            // alice's camera gives YVU9 only, so her
            // uncompressed YUV9 can be shown
            {"ZEP_CAMERA_FORMAT", i == 0 ? "yvu9" : ""},
            {"ZEP_VIDEO_OUT", "dir:" + videoHosts[i].displays.string()},
            {"ZEP_VIDEO_INPUT", videoHosts[i].input.string()}}));
  }
  for (int i = 0; i < 3; ++i)
    step(managers[i]->out.waitFor("Status = Conferencing panel ready to use"),
         std::string("manager of ") + users[i] + " on " + dotted(managers[i]->address) +
             " is ready");
  step(serverLog.waitForCount("signed on", 3), "all three signed on to the user server");

  std::printf(
      "\nalice opens Add Users, picks bob and carol from Active Users, and invites them:\n");
  auto& a = *managers[0];
  std::string bob = "bob@" + dotted(managers[1]->address),
              carol = "carol@" + dotted(managers[2]->address);
  a.command("click Add");
  step(a.out.waitFor("Add Users: Active Users + " + carol),
       "Active Users lists everyone signed on");
  for (const auto& who : {bob, carol}) {
    a.command("select Active Users = " + who);
    a.command("click Add ->");
  }
  a.command("click OK");
  for (int i = 1; i < 3; ++i) {
    auto& m = *managers[i];
    step(m.out.waitFor("Status = RECEIVED INVITATION from alice@"),
         m.user + " is invited (the ring starts)");
    m.command("click Accept");
  }
  for (auto& m : managers)
    step(m->out.waitForCount("Members + ", 3), m->user + "'s Members list shows three members");

  std::printf("\nA media program on every host exchanges datagrams while alice records:\n");
  std::vector<std::unique_ptr<MediaTool>> tools;
  for (auto& m : managers) tools.push_back(std::make_unique<MediaTool>(m->address, 20000));
  for (std::size_t i = 0; i < tools.size(); ++i)
    step(tools[i]->out.waitFor("local member"),
         "media program of " + managers[i]->user + " attached");
  a.command("click Archive/Archive Panel");
  a.command("click Record");
  step(a.engineLog.waitFor("Recorder: recording to"),
       "Archive Panel: Record starts the recorder on alice's host");
  step(tools[0]->out.waitFor("database open"), "alice's media program copies to the recorder");
  for (std::size_t i = 0; i < tools.size(); ++i) {
    tools[i]->command("send -1 13 hello from " + managers[i]->user);
    for (std::size_t j = 0; j < tools.size(); ++j)
      if (j != i)
        step(tools[j]->out.waitFor("hello from " + managers[i]->user),
             managers[j]->user + " received " + managers[i]->user + "'s datagram");
    clock::sleepMs(250);
  }
  a.command("click Stop");
  step(tools[0]->out.waitFor("database closed"), "Archive Panel: Stop ends the recording");
  printRecording(tree / archive::kRecordingName);

  std::printf("\nalice replays the recording from the Archive Panel:\n");
  a.command("click Play");
  for (std::size_t i = 0; i < tools.size(); ++i)
    step(tools[0]->out.waitForCount("hello from " + managers[i]->user, i == 0 ? 1 : 2),
         "replayed into alice's media program: hello from " + managers[i]->user);
  a.command("click OK");
  for (auto& t : tools) t->command("detach");

  std::printf("\nalice runs the audio tool, which starts on every member; everyone talks:\n");
  a.command("select Applications = Audio tool");
  a.command("click Run");
  for (auto& m : managers)
    step(m->engineLog.waitFor("Engine: application port 5937"),
         "audio tool attached on " + m->user + "'s host");
  clock::sleepMs(1000);
  std::printf("\nalice records the conversation from the Archive Panel, then replays it:\n");
  auto recording = tree / archive::kRecordingName;
  a.command("click Archive/Archive Panel");
  a.command("click Record");
  step(a.engineLog.waitForCount("Recorder: recording to", 2), "the recorder runs again");
  clock::sleepMs(3000);
  a.command("click Stop");
  clock::sleepMs(300);
  {
    std::map<std::pair<int, int>, int> counts;  // (port, member) -> records
    std::FILE* f = std::fopen(recording.c_str(), "rb");
    archive::DatagramRecord r;
    std::string reason;
    while (f && archive::readRecord(f, &r, &reason) == archive::ReadResult::kRecord)
      if (auto d = applink::decodeMediaDatagram(r.data)) counts[{r.port, d->sender}]++;
    if (f) std::fclose(f);
    for (auto& [key, n] : counts)
      figure("Recording of the conversation",
             format("%3d datagrams of member %d for port %d", n, key.second, key.first));
    step(counts.size() >= 3 && counts[{12567, 1}] >= 20,
         "every member's voice is in the recording (10 blocks a second)");
  }
  clock::RealClock wall;
  const double replayStartMs = static_cast<double>(wall.nowMicros()) / 1000;
  a.command("click Play");
  step(a.engineLog.waitForCount("datagrams replayed", 2, 10000),
       "the recording was replayed to its end");
  a.command("click OK");

  std::vector<ManagerProcess*> all;
  for (auto& m : managers) all.push_back(m.get());
  videoConference(a, all, videoHosts);
  clientsJoin(a, all, base, soundDir, tones);

  for (auto& m : managers) m->command("click File/Exit");  // quits the audio tools too
  for (auto& m : managers) step(m->process().waitForExit(15000), m->user + "'s manager shut down");
  for (auto& m : managers) {
    keep(m->user + "-manager-window.txt", m->out.text());
    keep(m->user + "-engine.log", m->engineLog.text());
    keep(m->user + "-errors.txt", m->err.text());
  }

  const std::string heardSection =
      "Who heard whom (energy of each voice in each loudspeaker file, dB above the quietest)";
  {
    std::string header = format("%-8s", "");
    for (const char* u : users) header += format(" %10s", u);
    figure(heardSection, header);
  }
  for (int i = 0; i < 3; ++i) {
    auto speaker = soundDir / (std::string(users[i]) + "-loudspeaker.wav");
    std::vector<std::int16_t> heard;
    std::string error;
    bool read = sound::readSoundFile(speaker.string(), &heard, &error);
    std::vector<std::int16_t> replayed;
    if (i == 0) {
      // The replay gives alice her own voice back: judge the conversation before it.
      double start = timelineStart(*managers[0], "output");
      auto cut = static_cast<std::size_t>(std::max(0.0, (replayStartMs - start) * 8));
      if (start >= 0 && cut < heard.size()) {
        replayed.assign(heard.begin() + static_cast<long>(cut), heard.end());
        heard.resize(cut);
      }
    }
    std::array<double, 3> e{};
    for (int j = 0; j < 3; ++j) e[static_cast<std::size_t>(j)] = sound::toneEnergy(heard, tones[j]);
    double floor = std::max(1.0, *std::min_element(e.begin(), e.end()));
    std::string row = format("%-8s", users[i]);
    for (int j = 0; j < 3; ++j)
      row += format(" %8.0f dB",
                    10 * std::log10(std::max(1.0, e[static_cast<std::size_t>(j)]) / floor));
    double sum = 0;
    for (auto v : heard) sum += double(v) * v;
    double rms = std::sqrt(sum / std::max<double>(1, static_cast<double>(heard.size())));
    figure(heardSection,
           row + format("   level %.0f dBFS, %.1f s", 20 * std::log10(std::max(1.0, rms) / 32768),
                        static_cast<double>(heard.size()) / 8000));
    figure("Files", std::string(users[i]) + "'s loudspeaker: " + speaker.string());
    if (i == 0)
      step(sound::toneEnergy(replayed, tones[0]) >
               100 * std::max(1.0, sound::toneEnergy(heard, tones[0])),
           "alice hears her own recorded voice in the replay");
    for (int j = 0; j < 3; ++j) {
      if (j == i) continue;
      step(read && e[static_cast<std::size_t>(j)] > 100 * e[static_cast<std::size_t>(i)],
           std::string(users[i]) + " heard " + users[j] + " (and not " + users[i] + ")");
    }
  }
  mouthToEar(*managers[0], *managers[1], soundDir, tones[0]);
  streamToAlice(net::dottedAddress(base + "8"), managers[0]->address, soundDir);
  directoryConference(net::dottedAddress(base + "6"),
                      {managers[0]->address, managers[1]->address, managers[2]->address}, base,
                      soundDir);
  keep("userserver.txt", serverLog.text());
  printFigures();
  server.terminate();
  std::filesystem::remove(tree / "SERVERS.CFG");
  std::printf(
      "\nMain job %s\n",
      ok ? "completed: three hosts held a session through their managers, "
           "exchanged media, recorded and replayed it, talked, saw each other, two integrated "
           "clients joined and chatted, alice played a stream, and two more met in the "
           "directory, saw each other, chatted and brought alice in"
         : "FAILED");
  return ok ? 0 : 1;
}
