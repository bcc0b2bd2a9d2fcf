// zepretrieve: replays the recording file under the installation directory into the
// applications of this host, keeping the recorded gaps. Ends when the file is exhausted.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "archive/recording.h"
#include "platform/host.h"
#include "platform/options.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  using namespace zep;
  const std::string name = std::filesystem::path(argv[0]).filename().string();
  options::parseOrExit({name,
                        "the player: replays the recording file into the applications of this "
                        "host, keeping the recorded gaps",
                        "",
                        {},
                        {options::kHost, options::kPath},
                        "The engine starts it when its manager asks to replay the session. It "
                        "reads\n$ZEP_PATH/recorder.data and ends when the file is exhausted "
                        "(exit code 255)."},
                       argc, argv);
  std::printf("Simulator: init\n");
  std::fflush(stdout);
  std::string installDirectory = host::environment("ZEP_PATH");
  // Both builds live one folder down in the installation tree, as the engine does.
  if (installDirectory.empty())
    installDirectory =
        std::filesystem::path(process::ownExecutablePath()).parent_path().parent_path().string();
  if (installDirectory.empty()) {
    std::fprintf(stderr, "Simulator: ZEP_PATH is not set; no recording to replay\n");
    return 1;
  }
  std::string path = archive::recordingPath(installDirectory);
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    std::fprintf(stderr, "Simulator: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
    return 1;
  }
  auto identity = host::identityFromEnvironment();
  const char* failedStep = "";
  net::Socket socket = net::openUdp(identity.bindAddress, 0, &failedStep);
  if (!socket) std::fprintf(stderr, "Simulator: cannot open socket\n");

  clock::RealClock clock;
  archive::Player player(clock, [&](std::uint16_t port, std::span<const std::uint8_t> datagram) {
    net::sendTo(socket, identity.address, port, datagram);  // send errors are ignored
  });
  auto outcome = player.play(file);
  std::fclose(file);
  if (outcome.end == archive::ReadResult::kError)
    std::fprintf(stderr, "Read error: %s\n", std::strerror(errno));
  if (outcome.end == archive::ReadResult::kCutShort) {
    // The recording was ended while a record was being written: what came before is whole.
    std::fprintf(stderr, "Simulator: %s was cut short (%s); every whole record was replayed\n",
                 path.c_str(), outcome.why.c_str());
  }
  if (outcome.end == archive::ReadResult::kDamaged) {
    std::fprintf(stderr, "Simulator: %s is damaged: %s; replay stopped\n", path.c_str(),
                 outcome.why.c_str());
    return 1;
  }
  if (outcome.skipped)
    std::fprintf(stderr, "Simulator: %d records of failed receives skipped\n", outcome.skipped);
  std::printf("Simulator: %d datagrams replayed\n", outcome.sent);
  return -1;
}
