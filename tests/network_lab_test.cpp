// Hosts with network stacks of their own: two users on a LAN of network namespaces call each
// other the way two people on two machines would, each through a conference manager that
// starts its own engine, and each hears the other in the loudspeaker file. Skipped where
// namespaces cannot be made.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/audio.h"
#include "tests/driver/calls.h"
#include "tests/driver/driver.h"
#include "tests/driver/netns.h"

namespace zep::testing {
namespace {

TEST(NetworkLab, TwoUsersOnALanCallThroughTheirManagersAndHearEachOther) {
  std::string why;
  if (!NetworkLab::permitted(&why)) GTEST_SKIP() << why;
  NetworkLab lab(2);
  ASSERT_TRUE(lab.ready()) << lab.problem();
  auto dir = freshDirectory("lan-call");
  const char* users[] = {"alice", "bob"};
  const double hz[] = {440, 1000};
  std::vector<std::unique_ptr<ManagerProcess>> m;
  for (int i = 0; i < 2; ++i) {
    std::string user = users[i];
    std::string error;
    ASSERT_TRUE(
        sound::writeSoundFile((dir / (user + "-mic.wav")).string(), tone(hz[i], 20), &error));
    m.push_back(std::make_unique<ManagerProcess>(
        lab.address(i), user,
        std::vector<std::pair<std::string, std::string>>{
            {"ZEP_AUDIO_IN", "file:" + (dir / (user + "-mic.wav")).string()},
            {"ZEP_AUDIO_OUT", "file:" + (dir / (user + "-speaker.wav")).string()},
            {"ZEP_RING_OUT", "none"}},
        lab.launcher(i)));
  }
  for (auto& p : m) ASSERT_TRUE(p->out.waitFor("Status = Conferencing panel ready to use", 15000));
  auto& alice = *m[0];
  auto& bob = *m[1];
  alice.command("click Add");
  alice.command("type User = bob@" + dotted(lab.address(1)));
  alice.command("click Add ->");
  alice.command("click OK");
  ASSERT_TRUE(bob.out.waitFor("Status = RECEIVED INVITATION from alice@", 10000)) << bob.out.text();
  bob.command("click Accept");
  ASSERT_TRUE(alice.out.waitForCount("Members + ", 2, 10000));
  ASSERT_TRUE(bob.out.waitForCount("Members + ", 2, 10000));
  EXPECT_TRUE(bob.out.contains("Members + alice@" + dotted(lab.address(0))));

  alice.command("select Applications = Audio tool");
  alice.command("click Run");
  for (auto& p : m) ASSERT_TRUE(p->engineLog.waitFor("Engine: application port 5937", 10000));
  clock::sleepMs(4000);
  for (auto& p : m) p->command("click File/Exit");
  for (auto& p : m) EXPECT_TRUE(p->process().waitForExit(15000));

  for (int i = 0; i < 2; ++i) {
    std::vector<std::int16_t> heard;
    std::string error;
    ASSERT_TRUE(sound::readSoundFile((dir / (std::string(users[i]) + "-speaker.wav")).string(),
                                     &heard, &error))
        << error;
    EXPECT_GT(sound::toneEnergy(heard, hz[1 - i]), 100 * sound::toneEnergy(heard, hz[i]))
        << users[i] << " hears the other user across the bridge";
  }
}

// A 28.8 kbit/s modem link: GSM (13.2 kbit/s and its headers) fits, ADPCM (32 kbit/s) does not
// and loses blocks, and the session stays formed either way.
TEST(NetworkLab, OverAModemLinkGsmFitsAndAdpcmLosesBlocksButTheSessionHolds) {
  std::string why;
  if (!NetworkLab::permitted(&why)) GTEST_SKIP() << why;
  ShapedCall gsm{2, 28.8, "GSM", 5};
  auto fits = runShapedCall(gsm);
  ASSERT_TRUE(fits.ran) << fits.problem;
  EXPECT_TRUE(fits.stayedFormed);
  EXPECT_EQ(fits.packetsDropped, 0) << fits.packetsSent << " passed";
  // What the link passes is heard; on a machine busy with other tests some blocks still come
  // too late for their mixing step, so only a clear majority is asked for.
  EXPECT_GE(fits.heardShare, 0.6);
  EXPECT_GE(fits.blockShare, 0.5) << "the blocks are heard";
  EXPECT_GT(fits.medianDelayMs, 0);

  ShapedCall adpcm{2, 28.8, "ADPCM", 7};
  auto over = runShapedCall(adpcm);
  ASSERT_TRUE(over.ran) << over.problem;
  EXPECT_TRUE(over.stayedFormed) << "the engines' connection survives a full link";
  EXPECT_GT(over.packetsDropped, 0) << over.packetsSent << " passed, heard " << over.heardShare
                                    << ", delay " << over.medianDelayMs;
}

}  // namespace
}  // namespace zep::testing
