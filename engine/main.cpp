// KSengine: the session engine daemon of one host. Reads no arguments; runs until killed.
// Built twice from this file: the first build finds the recorder and player under the
// installation directory, the second (ZEP_SECOND_BUILD) beside itself.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/engine.h"
#include "platform/host.h"
#include "platform/process.h"

namespace {

std::string parentDirectory(const std::string& path) {
  auto cut = path.find_last_of('/');
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

}  // namespace

int main(int argc, char** argv) {
  (void)argc;
  using namespace zep;
  engine::EngineConfig config;
  config.host = host::identityFromEnvironment();
  std::string installDirectory = host::environment("ZEP_PATH");
  if (installDirectory.empty()) {
    // Both builds live one folder down in the installation tree (Core/ or Standalone/).
    installDirectory = parentDirectory(parentDirectory(process::ownExecutablePath()));
    std::fprintf(stderr, "Engine: ZEP_PATH is not set; using installation directory %s\n",
                 installDirectory.c_str());
    // The recorder and player look for the recording there too.
    ::setenv("ZEP_PATH", installDirectory.c_str(), 1);
  }
#ifdef ZEP_SECOND_BUILD
  config = engine::secondBuildPaths(config, engine::engineDirectoryFromCommandLine(argv[0]));
#else
  (void)argv;
  config = engine::firstBuildPaths(config, installDirectory);
#endif
  engine::Engine engine(config);
  if (!engine.startUp()) return 0;
  for (;;) engine.runOnce(1000);
}
