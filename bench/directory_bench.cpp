// A directory of 10,000 users and 1,000 conferences (the stand-in server filled): how long
// the headless directory browser takes from connecting until its lists hold every row, the
// longest pause between two lines its window thread printed meanwhile (a bound on how long
// that thread was blocked), and its resident memory.
// Usage: directory_bench [USERS CONFERENCES]
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "tests/driver/driver.h"

using namespace zep;
using namespace zep::testing;

namespace {

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  int users = argc > 2 ? std::atoi(argv[1]) : 10000;
  int conferences = argc > 2 ? std::atoi(argv[2]) : 1000;
  auto dir = freshDirectory("directory-bench");
  auto serverAt = freshAddress(), clientAt = freshAddress();
  process::StartOptions so;
  so.args = {"--fill", std::to_string(users) + "," + std::to_string(conferences)};
  so.environment = {{"ZEP_HOST", dotted(serverAt)}};
  so.stdoutPath = (dir / "server.txt").string();
  so.stderrPath = (dir / "server-err.txt").string();
  std::string why;
  auto server = process::start((installTree() / "servers" / "dirserver").string(), so, &why);
  zep::clock::sleepMs(500);

  // The browser's lines come through a pipe, stamped as they arrive.
  auto pipePath = dir / "lines";
  ::mkfifo(pipePath.c_str(), 0600);
  using Clock = std::chrono::steady_clock;
  Clock::time_point start, allRows;
  double longestGapMs = 0;
  int userRows = 0, conferenceRows = 0;
  std::thread reader([&] {
    std::ifstream lines(pipePath);
    std::string line;
    Clock::time_point last{};
    while (std::getline(lines, line)) {
      auto now = Clock::now();
      if (last != Clock::time_point{} && userRows + conferenceRows > 0)
        longestGapMs =
            std::max(longestGapMs, std::chrono::duration<double, std::milli>(now - last).count());
      last = now;
      if (line.find("User list + ") != std::string::npos) userRows++;
      if (line.find("Conference list + ") != std::string::npos) conferenceRows++;
      if (userRows >= users + 1 && conferenceRows >= conferences && allRows == Clock::time_point{})
        allRows = now;
    }
  });
  process::StartOptions co;
  co.args = {"--headless", dotted(serverAt), "bench", "bench@example.org"};
  co.environment = {{"ZEP_HOST", dotted(clientAt)}};
  co.stdoutPath = pipePath.string();
  co.stderrPath = (dir / "client-err.txt").string();
  co.pipeStdin = true;
  start = Clock::now();
  auto client = process::start((installTree() / "dirclient").string(), co, &why);
  waitUntil([&] { return allRows != Clock::time_point{}; }, 60000);
  long rss = residentKiB(client.pid());
  client.terminate(500);
  reader.join();
  server.terminate(500);
  if (allRows == Clock::time_point{}) {
    std::printf("not every row arrived: %d users, %d conferences\n", userRows, conferenceRows);
    return 1;
  }
  std::printf(
      "%d users and %d conferences: every row listed %.0f ms after start; longest pause "
      "of the window thread meanwhile %.1f ms; resident memory %ld KiB\n",
      users, conferences, std::chrono::duration<double, std::milli>(allRows - start).count(),
      longestGapMs, rss);
  return 0;
}
