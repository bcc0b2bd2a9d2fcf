// Nothing grows under churn: an engine that sees two thousand applications attach and leave and
// as many managers come and go holds as many descriptors after the last cycle as after the
// tenth, and as much memory as after the thousandth (the allocator's caches fill during the
// first thousand: 12.6 MB at cycle 10, 14.7 MB from cycle 1500 on, flat to cycle 4000).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/clock.h"
#include "tests/driver/driver.h"

namespace zep::testing {
namespace {

using namespace engine;

TEST(Churn, ThousandsOfApplicationsAndManagersLeaveTheEngineAsItWas) {
  // Freed memory is given back at once, so resident memory says what the engine keeps.
  std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
  ::setenv("ASAN_OPTIONS", (asan + (asan.empty() ? "" : ":") + "quarantine_size_mb=0").c_str(), 1);
  SessionHost host("alice");
  ::setenv("ASAN_OPTIONS", asan.c_str(), 1);
  const pid_t engine = host.engine->process().pid();
  int fdsAt10 = 0;
  long rssAt1000 = 0;
  for (int cycle = 1; cycle <= 2000; ++cycle) {
    // A manager comes, makes a session, an application attaches and leaves, the manager goes.
    host.manager = Peer::manager(host.address);
    ASSERT_TRUE(host.manager.send(LOCAL_CREATE)) << cycle;
    ASSERT_TRUE(host.manager.waitFor(CTL_ADD_MEMBER)) << cycle;
    Peer application = Peer::application(host.address, 12567);
    ASSERT_TRUE(application.waitFor(CTL_LOCAL_MEMBER)) << cycle;
    application.close();
    host.manager.close();
    if (cycle == 10 || cycle == 1000 || cycle == 2000) {
      // The engine has seen both go once a new manager is served.
      Peer probe = Peer::manager(host.address);
      ASSERT_TRUE(probe.send(LOCAL_GET_MEMBERS));
      ASSERT_TRUE(probe.waitFor(CTL_MEMBERS));
      probe.close();
      clock::sleepMs(200);
      if (cycle == 10) {
        fdsAt10 = descriptorsOf(engine);
      } else if (cycle == 1000) {
        rssAt1000 = residentKilobytes(engine);
      } else {
        EXPECT_TRUE(waitUntil([&] { return descriptorsOf(engine) == fdsAt10; }, 2000))
            << descriptorsOf(engine) << " descriptors after the last cycle, " << fdsAt10
            << " after the tenth";
        EXPECT_LE(residentKilobytes(engine), rssAt1000 + 256)
            << "resident memory after the thousandth cycle " << rssAt1000 << " kB";
      }
    }
  }
}

}  // namespace
}  // namespace zep::testing
