// The integrated client of the installation tree on a loopback host of its own, in a folder of
// its own: Kestrel.cfg with the user's name and e-mail (no first-start form unless asked), a
// microphone file, the loudspeaker written to a WAV file, a pattern camera with the user's name
// drawn on it, and every picture window written to displays/ (see video.h for reading them).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "kestrel/settings.h"
#include "tests/driver/driver.h"

namespace zep::testing {

struct KestrelStart {
  net::Ipv4 address = net::kNoAddress;
  std::string user;
  std::filesystem::path folder;          // empty: a fresh one
  std::vector<std::int16_t> microphone;  // 8 kHz samples; empty: six seconds of silence
  std::string directoryServer;           // empty: the default
  bool firstStart = false;               // no Kestrel.cfg at all
  std::function<void(kestrel::KestrelSettings&)> settings;       // changes to Kestrel.cfg
  std::vector<std::pair<std::string, std::string>> environment;  // added or replacing
  std::vector<std::string> launcher;  // see startUnder (a network namespace's, say)
};

class KestrelProcess {
 public:
  explicit KestrelProcess(KestrelStart start);
  // A tone of hz for six seconds as the microphone, nothing else changed.
  KestrelProcess(net::Ipv4 at, const std::string& user, double hz,
                 const std::string& directoryServer = "", bool firstStart = false);
  ~KestrelProcess();  // File/Exit, then killed if it does not end
  KestrelProcess(const KestrelProcess&) = delete;
  KestrelProcess& operator=(const KestrelProcess&) = delete;

  bool command(const std::string& line) { return process_.writeLine(line); }
  std::vector<std::int16_t> heard() const;  // the loudspeaker file

  net::Ipv4 address;
  std::string user;
  std::filesystem::path dir;
  std::filesystem::path displays;
  LogFile out;
  process::Process process_;
};

// The directory through a client's Directory menu: a Protected conference made with its
// password, and a conference chosen and joined, true once the password is asked for (the
// caller types it and presses OK).
void createProtectedConference(KestrelProcess& k, const std::string& topic,
                               const std::string& password);
bool askToJoin(KestrelProcess& k, const std::string& topic);

// Six seconds of a tone at 8 kHz.
std::vector<std::int16_t> sixSecondTone(double hz);

}  // namespace zep::testing
