// zeprecord: records every datagram copied to the database port into the recording file under
// the installation directory. Runs until terminated. Two identical builds: ZEPrecord/ZEPrecord
// and Standalone/ROduduzedi.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "applink/link.h"
#include "archive/recording.h"
#include "platform/host.h"
#include "platform/options.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  using namespace zep;
  const std::string name = std::filesystem::path(argv[0]).filename().string();
  options::parseOrExit({name,
                        "the recorder: appends every datagram copied to UDP port 55555 to the "
                        "recording file",
                        "",
                        {},
                        {options::kHost, options::kPath},
                        "The engine starts it when its manager asks to save the session. The "
                        "recording file is\n$ZEP_PATH/recorder.data."},
                       argc, argv);
  std::string installDirectory = host::environment("ZEP_PATH");
  // Both builds live one folder down in the installation tree, as the engine does.
  if (installDirectory.empty())
    installDirectory =
        std::filesystem::path(process::ownExecutablePath()).parent_path().parent_path().string();
  if (installDirectory.empty()) {
    std::fprintf(stderr, "Recorder: ZEP_PATH is not set; nowhere to write %s\n",
                 archive::kRecordingName);
    return 1;
  }
  std::string path = archive::recordingPath(installDirectory);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    std::fprintf(stderr, "Recorder: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
    return 1;
  }
  auto identity = host::identityFromEnvironment();
  const char* failedStep = "";
  net::Socket socket = net::openUdp(identity.bindAddress, applink::kDatabasePort, &failedStep);
  if (!socket) {
    std::fprintf(stderr, std::string(failedStep) == "socket" ? "Recorder: cannot open socket\n"
                                                             : "Recorder: bind error\n");
  } else {
    // Room for bursts: several seconds of the heaviest session wait here while a record is
    // written.
    net::setReceiveBuffer(socket, 8 << 20);
  }
  std::printf("Recorder: recording to %s\n", path.c_str());
  std::fflush(stdout);
  clock::RealClock clock;
  archive::Recorder recorder(file, std::move(socket), clock);
  for (;;) recorder.recordOne(100);
}
