// A small media program for tests and the main job: attaches through the application link,
// prints every link event and received datagram as one line on standard output, and sends
// datagrams on typed commands:
//   send DEST TYPE TEXT      a datagram whose data is TEXT (DEST -1 is everybody)
//   fill DEST TYPE N         a datagram of N bytes (i % 251)
//   info MEMBER              prints the member's user and host name
//   detach                   sends APP_DETACH and ends
// Arguments: [PORT] [--quit-callback] [--multicast]; the port defaults to 12567, so the program
// can be listed as a plug-in. When the input ends the program keeps running until it is told
// to quit.
#include <atomic>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "applink/link.h"

using namespace zep;

namespace {
std::mutex outputMutex;

void say(const std::string& line) {
  std::lock_guard lock(outputMutex);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

std::string printable(std::span<const std::uint8_t> data) {
  std::string s;
  for (auto b : data.first(std::min<std::size_t>(data.size(), 40)))
    s += (b >= 32 && b < 127) ? static_cast<char>(b) : '.';
  return s;
}
}  // namespace

int main(int argc, char** argv) {
  std::uint16_t port = 12567;
  if (argc > 1 && argv[1][0] != '-') port = static_cast<std::uint16_t>(std::atoi(argv[1]));
  bool quitCallback = false;
  applink::LinkOptions options;
  options.log = applink::traceLog();
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--quit-callback") quitCallback = true;
    if (a == "--multicast") options.multicast = true;
  }
  auto link = applink::Link::attach(port, host::identityFromEnvironment(), options);
  if (!link) {
    std::fprintf(stderr, "mediatest: cannot attach at port %d\n", port);
    return 1;
  }
  std::atomic<bool> running{true};
  link->setCallback(applink::kMemberAddedEvent,
                    [](const auto& e) { say("member added " + std::to_string(e.member)); });
  link->setCallback(applink::kMemberDeletedEvent,
                    [](const auto& e) { say("member deleted " + std::to_string(e.member)); });
  link->setCallback(applink::kLocalMemberEvent, [&](const auto&) {
    say("local member " + std::to_string(link->localMember()) + " session " +
        std::to_string(link->session()));
  });
  link->setCallback(applink::kDataEvent, [](const auto& e) {
    say("data tag " + std::to_string(e.dataTag) + " length " + std::to_string(e.data.size()) + " " +
        printable(e.data));
  });
  if (quitCallback)
    link->setCallback(applink::kQuitEvent, [&](const auto& e) {
      say("quit " + std::to_string(e.quitTag));
      if (e.quitTag == 0) running = false;
    });
  say("ready port " + std::to_string(port));

  std::thread receiver([&] {
    std::vector<std::uint8_t> buffer;
    while (running) {
      net::ReadSet set;
      link->fillReadSet(set);
      if (set.wait(100) <= 0) continue;
      bool wasOpen = link->databaseOpen();
      link->serviceControl(set);
      if (wasOpen != link->databaseOpen())
        say(link->databaseOpen() ? "database open" : "database closed");
      long n = link->receiveMedia(set, buffer);
      if (n > 0) {
        auto d = applink::decodeMediaDatagram(buffer);
        if (!d) {
          say("short datagram length " + std::to_string(n));
          continue;
        }
        say("received type " + std::to_string(d->type) + " from " + std::to_string(d->sender) +
            " length " + std::to_string(d->data.size()) + " " + printable(d->data));
      }
    }
  });

  std::string line;
  while (running && std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string command;
    int destination = 0;
    std::uint32_t type = 0;
    in >> command >> destination >> type;
    if (command == "send") {
      std::string text;
      std::getline(in >> std::ws, text);
      int r = link->sendMedia(
          destination, type,
          std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
      say("sent " + std::to_string(r));
    } else if (command == "fill") {
      std::size_t n = 0;
      in >> n;
      std::vector<std::uint8_t> data(n);
      for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i % 251);
      say("sent " + std::to_string(link->sendMedia(destination, type, data)));
    } else if (command == "info") {
      std::string name, hostName;
      int r = link->getMemberInfo(destination, &name, &hostName);
      say("info " + std::to_string(destination) + " " + name + " [" + hostName + "] " +
          std::to_string(r));
    } else if (command == "detach") {
      running = false;
    }
  }
  while (running) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  receiver.join();
  link->detach();
  say("detached");
  return 0;
}
