// KSengine: the session engine daemon of one host. Reads no arguments but --help and --version;
// runs until killed.
// Built twice from this file: the first build finds the recorder and player under the
// installation directory, the second (ZEP_SECOND_BUILD) beside itself.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/engine.h"
#include "platform/host.h"
#include "platform/options.h"
#include "platform/process.h"

namespace {

std::string parentDirectory(const std::string& path) {
  auto cut = path.find_last_of('/');
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

}  // namespace

const zep::options::Program kProgram{
    "KSengine",
    "the session engine of this host",
    "",
    {},
    {zep::options::kHost, zep::options::kUser, zep::options::kPath},
#ifdef ZEP_SECOND_BUILD
    "Listens on TCP port 5000 and runs until it is killed. This build starts the recorder\n"
    "ROduduzedi and the player RAdarozuror from its own folder.",
#else
    "Listens on TCP port 5000 and runs until it is killed. This build starts the recorder\n"
    "$ZEP_PATH/ZEPrecord/ZEPrecord and the player $ZEP_PATH/ZEPretrieve/ZEPretrieve.",
#endif
    true};

int main(int argc, char** argv) {
  using namespace zep;
  options::parseOrExit(kProgram, argc, argv);
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
