// The stand-in stream server and the stream client of the installation tree on loopback
// hosts, and the check that a loudspeaker file holds a clip whole and in order.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/driver/driver.h"

namespace zep::testing {

// servers/streamserver on its own loopback address, serving the clips of `clips` (default: the
// tree's clips folder). Terminated on destruction.
class StreamServerProcess {
 public:
  explicit StreamServerProcess(net::Ipv4 address, std::vector<std::string> args = {});
  ~StreamServerProcess();
  StreamServerProcess(const StreamServerProcess&) = delete;
  StreamServerProcess& operator=(const StreamServerProcess&) = delete;
  bool waitReady(int timeoutMs = kDeadlineMs) const {
    return out.waitFor("Server: streaming clips", timeoutMs);
  }
  process::Process& process() { return process_; }
  net::Ipv4 address;
  LogFile out;
  LogFile err;

 private:
  process::Process process_;
};

struct StreamerOptions {
  std::string server;                      // --server; empty: the program's default
  std::string clip;                        // --clip; empty: the program's default
  std::string audioOut;                    // ZEP_AUDIO_OUT; empty: file:<directory>/speaker.wav
  std::filesystem::path workingDirectory;  // where client.log and ksa.log go; empty: a new one
};

// A headless streamer on host `address` (ZEP_HOST), with ZEP_TRACE=1 so that the request time
// and the loudspeaker's timeline can be read from its standard error.
class StreamerProcess {
 public:
  StreamerProcess(net::Ipv4 address, StreamerOptions options);
  ~StreamerProcess();
  StreamerProcess(const StreamerProcess&) = delete;
  StreamerProcess& operator=(const StreamerProcess&) = delete;

  // Waits until the ring has run dry after playing and its last block has reached the
  // loudspeaker file (two more blocks written).
  bool waitPlayedOut(int timeoutMs);
  // Closes the window (the stop steps) and waits for the program to end.
  bool close(int timeoutMs = kDeadlineMs);
  process::Process& process() { return process_; }
  // Monotonic microseconds of "Client: request sent" and of the loudspeaker file's start;
  // -1 when not (yet) traced.
  double requestMicros() const;
  double speakerStartMicros() const;

  std::filesystem::path directory;
  std::filesystem::path speaker;  // the loudspeaker file, when it is one
  LogFile out;
  LogFile err;
  LogFile clientLog;
  LogFile mixerLog;

 private:
  process::Process process_;
};

// Where a clip was found in a loudspeaker file.
struct StreamedClip {
  bool whole = false;       // every sample of the clip, in order, unchanged
  std::size_t offset = 0;   // the file's sample at which the clip's first sample plays
  std::size_t samples = 0;  // the clip's length
  std::string problem;      // what is wrong, when not whole
};

// Looks for the clip (as the stream server converts it: 8000 Hz mono 16-bit) in the file.
StreamedClip findStreamedClip(const std::filesystem::path& clip,
                              const std::filesystem::path& speaker);

// One clip streamed from a stand-in server on `serverAt` to a streamer on `clientAt` whose
// loudspeaker is `speaker`, played out, the window closed, and the clip looked for in the file.
struct StreamRun {
  bool ok = false;  // the programs ran, and the clip was found whole
  StreamedClip clip;
  double requestToFirstSoundMs = -1;
  std::string clientLog;  // client.log as the streamer left it
  std::string problem;    // when not ok
};
StreamRun streamClip(net::Ipv4 serverAt, net::Ipv4 clientAt, const std::filesystem::path& speaker,
                     bool burst = true);

}  // namespace zep::testing
