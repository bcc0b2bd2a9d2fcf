#include <gtest/gtest.h>

#include "engine/engine.h"

namespace zep::engine {
namespace {

TEST(EngineDirectory, TakenFromTheCommandLine) {
  EXPECT_EQ(engineDirectoryFromCommandLine("/opt/zep/Standalone/KSengine"), "/opt/zep/Standalone");
  EXPECT_EQ(engineDirectoryFromCommandLine("\"/opt/zep dir/KSengine\" -x"), "/opt/zep dir");
  EXPECT_EQ(engineDirectoryFromCommandLine("KSengine"), "");
  EXPECT_EQ(engineDirectoryFromCommandLine("/KSengine"), "");
  // Only the first 100 characters are looked at.
  std::string deep = "/" + std::string(120, 'd') + "/KSengine";
  EXPECT_EQ(engineDirectoryFromCommandLine(deep), "");
  std::string shallow = "/" + std::string(60, 'd') + "/x/" + std::string(60, 'e');
  EXPECT_EQ(engineDirectoryFromCommandLine(shallow), "/" + std::string(60, 'd') + "/x");
}

TEST(EngineDirectory, ProgramPathsOfBothBuilds) {
  auto first = firstBuildPaths({}, "/zep");
  EXPECT_EQ(first.recorderPath, "/zep/ZEPrecord/ZEPrecord");
  EXPECT_EQ(first.playerPath, "/zep/ZEPretrieve/ZEPretrieve");
  auto second = secondBuildPaths({}, "/zep/Standalone");
  EXPECT_EQ(second.recorderPath, "/zep/Standalone/ROduduzedi");
  EXPECT_EQ(second.playerPath, "/zep/Standalone/RAdarozuror");
  auto bare = secondBuildPaths({}, "");
  EXPECT_EQ(bare.recorderPath, "ROduduzedi");
  EXPECT_EQ(bare.playerPath, "RAdarozuror");
}

}  // namespace
}  // namespace zep::engine
