#include "manager/plugins.h"

#include <gtest/gtest.h>

namespace zep::manager {
namespace {

TEST(PluginsFile, EntriesInFileOrderWithBlankLinesBeforeNames) {
  auto p = parsePlugins("2\n12567\n\n\naudio tool\n/zepaudio\n34999\nvideo tool\n/zepvideo\n",
                        "/opt/zep");
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].port, 12567);
  EXPECT_EQ(p[0].name, "audio tool");
  EXPECT_EQ(p[0].path, "/opt/zep/zepaudio");
  EXPECT_EQ(p[1].name, "video tool");
  EXPECT_FALSE(p[1].running);
}

TEST(PluginsFile, TheTwentyFirstEntryIsNotListed) {
  std::string text = "21\n";
  for (int i = 0; i < 21; ++i)
    text += std::to_string(1000 + i) + "\nname" + std::to_string(i) + "\n/p\n";
  auto p = parsePlugins(text, "");
  ASSERT_EQ(p.size(), 20u);
  EXPECT_EQ(p.back().name, "name19");
}

TEST(PluginsFile, NamesOfFortyEightAndPathsOfNinetyEightCharactersAreReadWhole) {
  const std::string name(48, 'n');
  const std::string path = "/" + std::string(97, 'p');
  for (const char* lineBreak : {"\n", "\r\n"}) {
    std::string b = lineBreak;
    auto p = parsePlugins("2" + b + "5" + b + name + b + path + b + "6" + b + "next" + b + "/n" + b,
                          "/i");
    ASSERT_EQ(p.size(), 2u) << "the entry after them is kept";
    EXPECT_EQ(p[0].name, name);
    EXPECT_EQ(p[0].path, "/i" + path);
    EXPECT_EQ(p[1].port, 6);
    EXPECT_EQ(p[1].name, "next");
    EXPECT_EQ(p[1].path, "/i/n");
  }
}

TEST(PluginsFile, LongLinesAreCutAndGoOnAsTheNextLine) {
  std::string longName(60, 'n');
  auto p = parsePlugins("1\n5\n" + longName + "\n/path\n", "");
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].name, std::string(48, 'n')) << "49 characters read, the last dropped";
  EXPECT_EQ(p[0].path, std::string(11, 'n')) << "the rest of the name line";
  std::string deepPath = "/" + std::string(150, 'd');
  auto q = parsePlugins("1\n5\nname\n" + deepPath + "\n", std::string(80, 'i'));
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].path.size(), kPluginPathField) << "never more than the field holds";
}

TEST(PluginsFile, WrongCountsShortFilesAndNonNumbersKeepWhatIsValid) {
  EXPECT_TRUE(parsePlugins("", "").empty());
  EXPECT_TRUE(parsePlugins("many\n1\nx\n/x\n", "").empty());
  EXPECT_EQ(parsePlugins("5\n1\na\n/a\n", "").size(), 1u) << "the count promises more";
  EXPECT_EQ(parsePlugins("2\n1\na\n/a\nport\nb\n/b\n", "").size(), 1u);
  EXPECT_EQ(parsePlugins("1\n1\na", "").size(), 0u) << "no path line";
  EXPECT_EQ(parsePlugins("1\r\n7\r\nwin name\r\n/w.exe\r\n", "")[0].name, "win name");
}

TEST(PluginsFile, MissingFileIsReported) {
  EXPECT_FALSE(readPlugins("/no/such/dir"));
}

}  // namespace
}  // namespace zep::manager
