#include "platform/options.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace zep::options {
namespace {

const Program kTool{"tool",   "a tool for tests",
                    "[FILE]", {{"--flag", "", "a flag"}, {"--name", "NAME", "a name"}},
                    {kHost},  ""};

struct Result {
  Parsed parsed;
  std::string out, err;
};

Result parseArgs(std::vector<std::string> args, const Program& program = kTool) {
  std::vector<char*> argv{const_cast<char*>("tool")};
  for (auto& a : args) argv.push_back(a.data());
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  Result r{parse(program, static_cast<int>(argv.size()), argv.data(), out, err), "", ""};
  for (auto [file, text] : {std::pair{out, &r.out}, std::pair{err, &r.err}}) {
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;) *text += static_cast<char>(c);
    std::fclose(file);
  }
  return r;
}

TEST(Options, ValuesFlagsAndOperands) {
  auto r = parseArgs({"--name", "a", "x.wav", "--flag", "--name=b", "--", "--flag"});
  ASSERT_EQ(r.parsed.outcome, Parsed::Outcome::kRun) << r.err;
  EXPECT_EQ(r.parsed.value("--name"), "b");  // the last one wins
  EXPECT_TRUE(r.parsed.has("--flag"));
  EXPECT_EQ(r.parsed.operands, (std::vector<std::string>{"x.wav", "--flag"}));
  EXPECT_EQ(r.parsed.value("--missing", "fallback"), "fallback");
  EXPECT_EQ(r.out + r.err, "");
}

TEST(Options, UsageErrorsSayWhatIsWrong) {
  const std::string usage = "usage: tool [--flag] [--name NAME] [--help] [--version] [FILE]\n";
  for (auto [args, why] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--bogus"}, "unknown option '--bogus'"},
           {{"-x"}, "unknown option '-x'"},
           {{"--name"}, "option '--name' needs an argument NAME"},
           {{"--flag=1"}, "option '--flag' takes no argument"},
           {{"--bogus", "--help"}, "unknown option '--bogus'"},
       }) {
    auto r = parseArgs(args);
    EXPECT_EQ(r.parsed.outcome, Parsed::Outcome::kUsageError);
    EXPECT_EQ(r.err, "tool: " + why + "\n" + usage);
    EXPECT_EQ(r.out, "");
  }
  Program noOperands = kTool;
  noOperands.operands = "";
  auto r = parseArgs({"file"}, noOperands);
  EXPECT_EQ(r.parsed.outcome, Parsed::Outcome::kUsageError);
  EXPECT_NE(r.err.find("unexpected argument 'file'"), std::string::npos);
  noOperands.ignoreOperands = true;
  EXPECT_EQ(parseArgs({"file"}, noOperands).parsed.outcome, Parsed::Outcome::kRun);
}

TEST(Options, HelpListsOptionsAndEnvironmentAndWinsOverVersion) {
  auto r = parseArgs({"--version", "--help"});
  EXPECT_EQ(r.parsed.outcome, Parsed::Outcome::kExitOk);
  EXPECT_EQ(r.out.rfind("tool " + std::string(version()) + " -- a tool for tests\n", 0), 0u);
  EXPECT_NE(r.out.find("\n  --name NAME" + std::string(11, ' ') + "a name\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\nEnvironment:\n  ZEP_HOST "), std::string::npos) << r.out;
  auto h = parseArgs({"-h"});
  EXPECT_EQ(h.parsed.outcome, Parsed::Outcome::kExitOk) << "-h is --help";
  EXPECT_EQ(h.out, r.out);
  auto v = parseArgs({"--version"});
  EXPECT_EQ(v.out, "tool (zep) " + std::string(version()) + "\n");
}

}  // namespace
}  // namespace zep::options
