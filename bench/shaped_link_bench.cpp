// Audio over shaped links: three hosts in network namespaces of their own on one bridge, the
// first behind a token bucket of a modem's or an ISDN line's rate (both ways), every audio tool
// talking in one codec. For each link and codec: the packets host 0's link passed and dropped
// outward (a copy of every block to each member, and the engines' traffic), the share of host
// 0's loud 100 ms blocks and of its talk bursts heard at host 1, the mouth-to-ear delay, and
// whether the session stayed formed. The unshaped LAN is the reference, in the same run.
//
//   shaped_link_bench [SECONDS] [HOSTS]   (default 8 s, 3 hosts; needs root for namespaces)
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/driver/calls.h"
#include "tests/driver/netns.h"

using namespace zep::testing;

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 8;
  const int hosts = argc > 2 ? std::atoi(argv[2]) : 3;
  std::string why;
  if (!NetworkLab::permitted(&why)) {
    std::fprintf(stderr, "shaped_link_bench: %s\n", why.c_str());
    return 1;
  }
  std::printf("%d hosts, host 0 behind the link, %.0f s of talk bursts per row\n\n", hosts,
              seconds);
  std::printf("%-12s %-6s %8s %8s %8s %8s %10s %10s %s\n", "link", "codec", "passed", "dropped",
              "blocks", "bursts", "median ms", "95% ms", "session");
  for (double kbit : {0.0, 128.0, 64.0, 28.8}) {
    for (const char* codec : {"ADPCM", "GSM", "PCM"}) {
      ShapedCall call{hosts, kbit, codec, seconds};
      auto r = runShapedCall(call);
      std::string link = kbit > 0 ? std::to_string(kbit).substr(0, 4) + " kbit/s" : "LAN";
      if (!r.ran) {
        std::printf("%-12s %-6s did not run: %s\n", link.c_str(), codec, r.problem.c_str());
        continue;
      }
      std::printf("%-12s %-6s %8ld %8ld %7.0f%% %7.0f%% %10.0f %10.0f %s\n", link.c_str(), codec,
                  r.packetsSent, r.packetsDropped, 100 * r.blockShare, 100 * r.heardShare,
                  r.medianDelayMs, r.p95DelayMs, r.stayedFormed ? "formed" : "BROKEN");
      std::fflush(stdout);
    }
  }
  return 0;
}
