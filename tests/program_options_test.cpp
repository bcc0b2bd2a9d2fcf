// Every program of the installation tree answers --help and --version and refuses an unknown
// option with its usage line, before it opens any device or socket.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/driver/driver.h"

namespace zep::testing {
namespace {

struct Program {
  std::string path;  // in the tree
  std::string name;  // as --help names it
  std::vector<std::string> variables;
};

const std::vector<Program> kPrograms = {
    {"Core/KSengine", "KSengine", {"ZEP_HOST", "ZEP_USER", "ZEP_PATH"}},
    {"Standalone/KSengine", "KSengine", {"ZEP_HOST", "ZEP_USER", "ZEP_PATH"}},
    {"ZEPrecord/ZEPrecord", "ZEPrecord", {"ZEP_HOST", "ZEP_PATH"}},
    {"Standalone/ROduduzedi", "ROduduzedi", {"ZEP_HOST", "ZEP_PATH"}},
    {"ZEPretrieve/ZEPretrieve", "ZEPretrieve", {"ZEP_HOST", "ZEP_PATH"}},
    {"Standalone/RAdarozuror", "RAdarozuror", {"ZEP_HOST", "ZEP_PATH"}},
    {"zepmanager",
     "zepmanager",
     {"ZEP_HOST", "ZEP_USER", "ZEP_RING_OUT", "ZEP_AUDIO_OUT", "ZEP_ENGINE_LOG", "ZEP_TRACE"}},
    {"zepaudio",
     "zepaudio",
     {"ZEP_HOST", "ZEP_USER", "ZEP_AUDIO_IN", "ZEP_AUDIO_OUT", "ZEP_AUDIO_DUPLEX",
      "ZEP_MIXER_PROGRAM"}},
    {"zepvideo",
     "zepvideo",
     {"ZEP_HOST", "ZEP_USER", "ZEP_CAMERA", "ZEP_CAMERA_FORMAT", "ZEP_VIDEO_OUT",
      "ZEP_VIDEO_INPUT"}},
    {"streamer", "streamer", {"ZEP_HOST", "ZEP_AUDIO_OUT", "ZEP_TRACE"}},
    {"kestrel",
     "kestrel",
     {"ZEP_HOST", "ZEP_USER", "ZEP_AUDIO_IN", "ZEP_AUDIO_OUT", "ZEP_KESTREL_CFG",
      "ZEP_MIXER_PROGRAM"}},
    {"servers/userserver", "userserver", {"ZEP_HOST"}},
    {"servers/streamserver", "streamserver", {"ZEP_HOST", "ZEP_PATH"}},
    {"servers/dirserver", "dirserver", {"ZEP_HOST"}},
    {"dirclient", "dirclient", {"ZEP_HOST"}},
    {"zepmediatest", "zepmediatest", {"ZEP_HOST", "ZEP_USER"}},
};

// The tree under test: the build's, or an installed one named by ZEP_INSTALLED_TREE.
std::filesystem::path tree() {
  const char* installed = std::getenv("ZEP_INSTALLED_TREE");
  return installed && *installed ? std::filesystem::path(installed) : installTree();
}

struct Outcome {
  int exitCode = -1;
  std::string out, err;
};

Outcome run(const std::string& path, std::vector<std::string> args, int timeoutMs = 20000) {
  auto dir = freshDirectory("options");
  LogFile out(dir / "stdout.txt"), err(dir / "stderr.txt");
  process::StartOptions start;
  start.args = std::move(args);
  start.stdoutPath = out.path();
  start.stderrPath = err.path();
  start.workingDirectory = dir.string();
  // A program that ignored the option would bind here, not on a shared address.
  start.environment = {{"ZEP_HOST", dotted(freshAddress())}, {"QT_QPA_PLATFORM", "offscreen"}};
  std::string why;
  process::Process p = process::start((tree() / path).string(), start, &why);
  Outcome r;
  if (!p.started()) {
    r.err = why;
    return r;
  }
  if (!p.waitForExit(timeoutMs)) p.terminate();
  r.exitCode = p.exitCode();
  r.out = out.text();
  r.err = err.text();
  return r;
}

TEST(ProgramOptions, HelpVersionAndUnknownOptionOfEveryProgram) {
  for (const Program& program : kPrograms) {
    SCOPED_TRACE(program.path);
    Outcome help = run(program.path, {"--help"});
    EXPECT_EQ(help.exitCode, 0) << help.err;
    EXPECT_EQ(help.out.rfind(program.name + " 0.1 -- ", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("--version"), std::string::npos);
    for (const std::string& v : program.variables)
      EXPECT_NE(help.out.find("\n  " + v), std::string::npos) << v << " missing in\n" << help.out;

    Outcome version = run(program.path, {"--version"});
    EXPECT_EQ(version.exitCode, 0) << version.err;
    EXPECT_EQ(version.out, program.name + " (zep) 0.1\n");

    Outcome unknown = run(program.path, {"--no-such-option"});
    EXPECT_EQ(unknown.exitCode, 2) << unknown.out;
    EXPECT_NE(unknown.err.find(program.name + ": unknown option '--no-such-option'\nusage: " +
                               program.name + " ["),
              std::string::npos)
        << unknown.err;
    EXPECT_EQ(unknown.out, "") << "nothing started";
  }
}

TEST(ProgramOptions, OptionsThatNeedAnArgumentOrOperandsAreChecked) {
  Outcome server = run("streamer", {"--headless", "--server"});
  EXPECT_EQ(server.exitCode, 2);
  EXPECT_NE(server.err.find("option '--server' needs an argument HOST"), std::string::npos)
      << server.err;
  Outcome operand = run("servers/streamserver", {"clips"});
  EXPECT_EQ(operand.exitCode, 2);
  EXPECT_NE(operand.err.find("unexpected argument 'clips'"), std::string::npos) << operand.err;
  Outcome port = run("zepmediatest", {"12x"});
  EXPECT_EQ(port.exitCode, 2);
  EXPECT_NE(port.err.find("bad port '12x'"), std::string::npos) << port.err;
  Outcome clip = run("streamer", {"--headless", "--clip="});
  EXPECT_EQ(clip.exitCode, 2);
  EXPECT_NE(clip.err.find("does not fit the request"), std::string::npos) << clip.err;
}

TEST(ProgramOptions, EngineStillIgnoresArgumentsThatAreNotOptions) {
  auto dir = freshDirectory("options-engine");
  LogFile out(dir / "stdout.txt");
  process::StartOptions start;
  start.args = {"whatever", "--", "--help"};
  start.stdoutPath = out.path();
  start.stderrPath = (dir / "stderr.txt").string();
  start.environment = {{"ZEP_HOST", dotted(freshAddress())}};
  std::string why;
  process::Process engine = process::start((tree() / "Core" / "KSengine").string(), start, &why);
  ASSERT_TRUE(engine.started()) << why;
  EXPECT_TRUE(out.waitFor("Daemon initialized")) << out.text();
  engine.terminate(2000);
}

}  // namespace
}  // namespace zep::testing
