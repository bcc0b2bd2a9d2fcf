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
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "applink/link.h"
#include "platform/options.h"

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

const options::Program kProgram{
    "zepmediatest",
    "a media program for tests: prints every event of the application link and sends datagrams "
    "on typed commands",
    "[PORT]",
    {{"--quit-callback", "", "print each quit the engine sends; quit 0 ends the program"},
     {"--multicast", "", "send to everybody by multicast"}},
    {options::kHost, options::kUser, options::kTrace},
    "PORT is the application's port (default 12567). Typed lines: send DEST TYPE TEXT,\n"
    "fill DEST TYPE N, info MEMBER, detach (DEST -1 is everybody)."};

int main(int argc, char** argv) {
  const options::Parsed parsed = options::parseOrExit(kProgram, argc, argv);
  std::uint16_t port = 12567;
  if (!parsed.operands.empty()) {
    char* end = nullptr;
    long value = std::strtol(parsed.operands[0].c_str(), &end, 10);
    if (parsed.operands.size() > 1 || *end != '\0' || value <= 0 || value > 65535) {
      std::fprintf(stderr, "zepmediatest: bad port '%s'\n%s", parsed.operands.back().c_str(),
                   options::usageLine(kProgram).c_str());
      return 2;
    }
    port = static_cast<std::uint16_t>(value);
  }
  const bool quitCallback = parsed.has("--quit-callback");
  applink::LinkOptions linkOptions;
  linkOptions.log = applink::traceLog();
  linkOptions.multicast = parsed.has("--multicast");
  auto link = applink::Link::attach(port, host::identityFromEnvironment(), linkOptions);
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
