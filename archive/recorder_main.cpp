// zeprecord: records every datagram copied to the database port into the recording file under
// the installation directory. Runs until terminated.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "applink/link.h"
#include "archive/recording.h"
#include "platform/host.h"

int main() {
  using namespace zep;
  std::string installDirectory = host::environment("ZEP_PATH");
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
