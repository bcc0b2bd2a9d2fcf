// The recorder and player as processes:
//   recorder RATE   sends 1612-byte datagrams (a PCM audio block with its header) at RATE per
//                   second for 5 s from a separate process and counts what was recorded.
//   player          replays 1000 records with gaps of 0..200 ms and reports how far each
//                   replayed gap is from the recorded one.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

#include "applink/link.h"
#include "archive/recording.h"
#include "tests/driver/driver.h"

using namespace zep;
using namespace zep::testing;
using Clock = std::chrono::steady_clock;

namespace {

process::Process startProgram(const std::string& relative, const std::filesystem::path& tree,
                              net::Ipv4 host) {
  process::StartOptions o;
  o.environment = {{"ZEP_PATH", tree.string()}, {"ZEP_HOST", dotted(host)}};
  o.stdoutPath = tree / (relative.substr(relative.find('/') + 1) + ".out");
  std::string why;
  return process::start((installTree() / relative).string(), o, &why);
}

int countRecords(const std::filesystem::path& file) {
  std::FILE* f = std::fopen(file.c_str(), "rb");
  if (!f) return 0;
  archive::DatagramRecord r;
  std::string why;
  int n = 0;
  while (archive::readRecord(f, &r, &why) == archive::ReadResult::kRecord) ++n;
  std::fclose(f);
  return n;
}

int recorderBench(int rate) {
  auto tree = freshDirectory("recorder-bench");
  net::Ipv4 host = net::dottedAddress("127.91.0.1");
  auto recorder = startProgram("ZEPrecord/ZEPrecord", tree, host);
  LogFile out(tree / "ZEPrecord.out");
  if (!out.waitFor("Recorder: recording to")) return 1;
  const int seconds = 5;
  const int total = rate * seconds;
  pid_t child = ::fork();
  if (child == 0) {
    const char* step = "";
    auto s = net::openUdp(host, 12569, &step);
    std::vector<std::uint8_t> block =
        applink::encodeMediaDatagram(15, 1, std::vector<std::uint8_t>(1601, 1));
    auto start = Clock::now();
    for (int i = 0; i < total; ++i) {
      auto due = start + std::chrono::nanoseconds(1'000'000'000LL * i / rate);
      while (Clock::now() < due) {
      }
      net::sendTo(s, host, applink::kDatabasePort, block);
    }
    ::_exit(0);
  }
  ::waitpid(child, nullptr, 0);
  waitUntil([&] { return countRecords(tree / archive::kRecordingName) >= total; }, 2000);
  int recorded = countRecords(tree / archive::kRecordingName);
  recorder.terminate();
  std::printf("recorder at %7d datagrams/s for %d s: %d of %d recorded (%s)\n", rate, seconds,
              recorded, total, recorded == total ? "none lost" : "LOST SOME");
  return recorded == total ? 0 : 3;
}

int playerBench() {
  auto tree = freshDirectory("player-bench");
  net::Ipv4 host = net::dottedAddress("127.91.0.2");
  std::mt19937 random(4242);
  std::vector<int> gaps;
  {
    std::FILE* f = std::fopen((tree / archive::kRecordingName).c_str(), "wb");
    std::uint32_t ticks = 100000;
    for (int i = 0; i < 1000; ++i) {
      int gap = i == 0 ? 0 : static_cast<int>(random() % 201);
      ticks += static_cast<std::uint32_t>(gap);
      if (i > 0) gaps.push_back(gap);
      archive::DatagramRecord r;
      r.time = archive::RecordTime::fromTicks(ticks);
      r.port = 12567;
      auto data = applink::encodeMediaDatagram(13, 0, std::vector<std::uint8_t>(400, 0));
      r.length = static_cast<std::int32_t>(data.size());
      auto h = archive::encodeRecordHeader(r);
      std::fwrite(h.data(), 1, h.size(), f);
      std::fwrite(data.data(), 1, data.size(), f);
    }
    std::fclose(f);
  }
  const char* step = "";
  auto socket = net::openUdp(host, 12567, &step);
  auto player = startProgram("ZEPretrieve/ZEPretrieve", tree, host);
  // Arrival times as the kernel stamped them, so the bench's own scheduling does not count.
  int on = 1;
  ::setsockopt(socket.fd(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  std::vector<double> arrivals;  // ms
  std::vector<std::uint8_t> buffer(applink::kMaxDatagram);
  while (arrivals.size() < 1000) {
    net::ReadSet set;
    set.add(socket.fd());
    if (set.wait(3000) <= 0) break;
    iovec io{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[256];
    msghdr msg{};
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    if (::recvmsg(socket.fd(), &msg, 0) < 0) break;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMPNS) {
        timespec ts;
        std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
        arrivals.push_back(ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6);
      }
  }
  player.waitForExit(5000);
  if (arrivals.size() < 1000) {
    std::printf("player: only %zu of 1000 datagrams arrived\n", arrivals.size());
    return 1;
  }
  std::vector<double> errors;
  for (std::size_t i = 1; i < arrivals.size(); ++i) {
    double replayed =
        std::chrono::duration<double, std::milli>(arrivals[i] - arrivals[i - 1]).count();
    errors.push_back(std::fabs(replayed - gaps[i - 1]));
  }
  std::sort(errors.begin(), errors.end());
  std::printf(
      "player: |replayed gap - recorded gap| over 999 gaps: median %.3f ms, "
      "99th percentile %.3f ms, worst %.3f ms; exit code %d\n",
      errors[errors.size() / 2], errors[errors.size() * 99 / 100], errors.back(),
      player.exitCode());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string what = argc > 1 ? argv[1] : "";
  if (what == "recorder") return recorderBench(argc > 2 ? std::atoi(argv[2]) : 50000);
  if (what == "player") return playerBench();
  std::fprintf(stderr, "usage: %s recorder [RATE] | player\n", argv[0]);
  return 2;
}
