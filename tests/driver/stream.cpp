#include "tests/driver/stream.h"

#include <signal.h>

#include <sstream>

#include "platform/audio.h"

namespace zep::testing {

StreamServerProcess::StreamServerProcess(net::Ipv4 at, std::vector<std::string> args)
    : address(at) {
  auto dir = freshDirectory("streamserver");
  out = LogFile(dir / "stdout.txt");
  err = LogFile(dir / "stderr.txt");
  process::StartOptions start;
  start.stdoutPath = out.path();
  start.stderrPath = err.path();
  start.args = std::move(args);
  start.environment = {{"ZEP_HOST", dotted(at)}, {"ZEP_PATH", installTree().string()}};
  std::string why;
  process_ = process::start((installTree() / "servers" / "streamserver").string(), start, &why);
}

StreamServerProcess::~StreamServerProcess() {
  process_.terminate(500);
}

StreamerProcess::StreamerProcess(net::Ipv4 address, StreamerOptions options)
    : directory(options.workingDirectory.empty() ? freshDirectory("streamer")
                                                 : options.workingDirectory) {
  ::signal(SIGPIPE, SIG_IGN);
  out = LogFile(directory / "stdout.txt");
  err = LogFile(directory / "stderr.txt");
  clientLog = LogFile(directory / "client.log");
  mixerLog = LogFile(directory / "ksa.log");
  std::string audioOut = options.audioOut;
  if (audioOut.empty()) {
    speaker = directory / "speaker.wav";
    audioOut = "file:" + speaker.string();
  } else if (audioOut.rfind("file:", 0) == 0) {
    speaker = audioOut.substr(5);
  }
  process::StartOptions start;
  start.stdoutPath = out.path();
  start.stderrPath = err.path();
  start.workingDirectory = directory.string();
  start.pipeStdin = true;
  start.args = {"--headless"};
  if (!options.server.empty()) start.args.insert(start.args.end(), {"--server", options.server});
  if (!options.clip.empty()) start.args.insert(start.args.end(), {"--clip", options.clip});
  start.environment = {
      {"ZEP_HOST", dotted(address)}, {"ZEP_TRACE", "1"}, {"ZEP_AUDIO_OUT", audioOut}};
  std::string why;
  process_ = process::start((installTree() / "streamer").string(), start, &why);
}

StreamerProcess::~StreamerProcess() {
  if (process_.running()) close(2000);
  process_.terminate(500);
}

bool StreamerProcess::waitPlayedOut(int timeoutMs) {
  auto ranDry = [this] {
    std::istringstream lines(mixerLog.text());
    std::string line;
    while (std::getline(lines, line))
      if (line.rfind("Get buffer", 0) == 0 && line.find(", relpos: 0,") != std::string::npos)
        return true;
    return false;
  };
  if (!waitUntil(ranDry, timeoutMs)) return false;
  std::error_code ec;
  auto size = std::filesystem::file_size(speaker, ec);
  // The last block mixed is written at the next step and has been played one step later.
  return waitUntil([&] { return std::filesystem::file_size(speaker, ec) >= size + 2 * 3200; },
                   kDeadlineMs);
}

bool StreamerProcess::close(int timeoutMs) {
  process_.writeLine("close");
  process_.closeInput();  // or the headless front end waits a while for its input to end
  return process_.waitForExit(timeoutMs);
}

namespace {
double tracedMicros(const LogFile& log, const std::string& prefix) {
  std::istringstream lines(log.text());
  std::string line;
  while (std::getline(lines, line)) {
    auto at = line.find(" at ");
    if (line.rfind(prefix, 0) == 0 && at != std::string::npos)
      return std::stod(line.substr(at + 4));
  }
  return -1;
}
}  // namespace

double StreamerProcess::requestMicros() const {
  return tracedMicros(err, "Client: request sent");
}

double StreamerProcess::speakerStartMicros() const {
  return tracedMicros(err, "Sound: output");
}

StreamedClip findStreamedClip(const std::filesystem::path& clip,
                              const std::filesystem::path& speaker) {
  StreamedClip found;
  std::vector<std::int16_t> expected, heard;
  std::string error;
  if (!sound::readSoundFile(clip.string(), &expected, &error) ||
      !sound::readSoundFile(speaker.string(), &heard, &error)) {
    found.problem = error;
    return found;
  }
  found.samples = expected.size();
  // Everything before the clip is silence, so the first sound lines the two up.
  std::size_t firstExpected = 0, firstHeard = 0;
  while (firstExpected < expected.size() && expected[firstExpected] == 0) ++firstExpected;
  while (firstHeard < heard.size() && heard[firstHeard] == 0) ++firstHeard;
  if (firstExpected == expected.size() || firstHeard == heard.size() ||
      firstHeard < firstExpected) {
    found.problem = "no sound of the clip in " + speaker.string();
    return found;
  }
  found.offset = firstHeard - firstExpected;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    std::size_t at = found.offset + i;
    if (at >= heard.size() || heard[at] != expected[i]) {
      found.problem =
          "the clip's sample " + std::to_string(i) + " of " + std::to_string(expected.size()) +
          (at >= heard.size()
               ? " is missing"
               : " is " + std::to_string(heard[at]) + ", not " + std::to_string(expected[i]));
      // Where the rest went: a gap of silence before it, or samples lost.
      const std::size_t run = std::min<std::size_t>(64, expected.size() - i);
      for (std::size_t shift = 1; shift < 16000; ++shift) {
        for (long sign : {1L, -1L}) {
          long from = static_cast<long>(at) + sign * static_cast<long>(shift);
          if (from < 0 || static_cast<std::size_t>(from) + run > heard.size()) continue;
          if (std::equal(expected.begin() + static_cast<long>(i),
                         expected.begin() + static_cast<long>(i + run), heard.begin() + from)) {
            found.problem += sign > 0
                                 ? "; it follows " + std::to_string(shift) + " samples later"
                                 : "; " + std::to_string(shift) + " samples before it are lost";
            return found;
          }
        }
      }
      return found;
    }
  }
  found.whole = true;
  return found;
}

StreamRun streamClip(net::Ipv4 serverAt, net::Ipv4 clientAt, const std::filesystem::path& speaker,
                     bool burst) {
  StreamRun run;
  StreamServerProcess server(
      serverAt, burst ? std::vector<std::string>{"--burst"} : std::vector<std::string>{});
  if (!server.waitReady()) {
    run.problem = "the stream server did not start: " + server.err.text();
    return run;
  }
  StreamerOptions options;
  options.server = dotted(serverAt);
  options.audioOut = "file:" + speaker.string();
  StreamerProcess client(clientAt, options);
  const bool played = client.waitPlayedOut(30000);
  const bool closed = client.close();
  run.clientLog = client.clientLog.text();
  if (!played || !closed) {
    run.problem = played ? "the streamer did not end when its window closed"
                         : "the streamer did not play the clip out: " + client.err.text();
    return run;
  }
  run.clip = findStreamedClip(installTree() / "clips" / "clip.aud", speaker);
  run.requestToFirstSoundMs =
      (client.speakerStartMicros() + double(run.clip.offset) * 125 - client.requestMicros()) / 1000;
  run.problem = run.clip.problem;
  run.ok = run.clip.whole;
  return run;
}

}  // namespace zep::testing
