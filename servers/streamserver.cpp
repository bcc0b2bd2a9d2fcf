// A stand-in for the audio stream server. UDP port 23879 on ZEP_HOST (or every address); a
// request names a clip in the clip folder, which is streamed to the requester's address at
// port 23880 as 1600-byte datagrams of 8000 Hz mono 16-bit little-endian samples (the last one
// shorter), one every 100 ms, or all at once with --burst. Several streams run side by side.
// A malformed request or an unknown clip sends nothing and prints one line on standard error.
//   streamserver [--burst] [--clips DIR]
// The clip folder defaults to $ZEP_PATH/clips, or the clips folder of the installation tree
// the server runs from. Any sound file that libsndfile reads is converted.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <list>
#include <string_view>
#include <vector>

#include "platform/audio.h"
#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/host.h"
#include "platform/options.h"
#include "platform/process.h"
#include "streamer/request.h"

namespace {

using namespace zep;

constexpr std::int64_t kDatagramMicros = 100000;  // 800 samples

struct Stream {
  std::string clip;
  net::Ipv4 to;
  std::vector<std::uint8_t> bytes;  // little-endian samples
  std::size_t sent = 0;
  std::uint64_t due = 0;  // microseconds of the clock
};

std::vector<std::uint8_t> littleEndian(const std::vector<std::int16_t>& samples) {
  ByteWriter w;
  for (std::int16_t s : samples) w.u16(static_cast<std::uint16_t>(s), ByteOrder::kLittle);
  return w.data();
}

std::filesystem::path defaultClipFolder() {
  if (auto path = host::environment("ZEP_PATH"); !path.empty())
    return std::filesystem::path(path) / "clips";
  return std::filesystem::path(process::ownExecutablePath()).parent_path().parent_path() / "clips";
}

}  // namespace

const options::Program kProgram{
    "streamserver",
    "a stand-in audio stream server: sends the clips of a folder to the clients that ask (UDP "
    "port 23879)",
    "",
    {{"--burst", "", "send each clip as fast as possible instead of in real time"},
     {"--clips", "DIR", "the folder of clips (default $ZEP_PATH/clips, or the tree's own)"}},
    {options::kHost, options::kPath},
    ""};

int main(int argc, char** argv) {
  const options::Parsed parsed = options::parseOrExit(kProgram, argc, argv);
  const bool burst = parsed.has("--burst");
  const std::filesystem::path clips =
      parsed.has("--clips") ? std::filesystem::path(parsed.value("--clips")) : defaultClipFolder();
  auto identity = host::identityFromEnvironment();
  const char* step = "";
  net::Socket socket = net::openUdp(identity.bindAddress, streamer::kStreamServerPort, &step);
  if (!socket) {
    std::fprintf(stderr, "Server: cannot %s port %d: %s\n", step, streamer::kStreamServerPort,
                 std::strerror(errno));
    return 1;
  }
  std::printf("Server: streaming clips of %s from %s:%d%s\n", clips.c_str(),
              net::formatAddress(identity.bindAddress).c_str(), streamer::kStreamServerPort,
              burst ? " in bursts" : "");
  std::fflush(stdout);

  clock::RealClock clock;
  std::list<Stream> streams;
  std::vector<std::uint8_t> buffer(streamer::kStreamRequestSize + 1);
  for (;;) {
    // Wait for a request until the next datagram is due.
    int timeout = streams.empty() ? -1 : 1000;
    std::uint64_t now = clock.nowMicros();
    for (const auto& s : streams)
      timeout = std::min(timeout, s.due > now ? static_cast<int>((s.due - now + 999) / 1000) : 0);
    net::ReadSet set;
    set.add(socket.fd());
    if (set.wait(timeout) > 0) {
      sockaddr_in from{};
      socklen_t fromLength = sizeof from;
      ssize_t n = ::recvfrom(socket.fd(), buffer.data(), buffer.size(), MSG_TRUNC,
                             reinterpret_cast<sockaddr*>(&from), &fromLength);
      net::Ipv4 requester = from.sin_addr.s_addr;
      std::string why;
      auto clip =
          n < 0 ? std::nullopt
                : streamer::parseStreamRequest(std::span(buffer).first(std::min<std::size_t>(
                                                   static_cast<std::size_t>(n), buffer.size())),
                                               &why);
      std::vector<std::int16_t> samples;
      if (n < 0) {
        std::fprintf(stderr, "Server: recvfrom: %s\n", std::strerror(errno));
      } else if (static_cast<std::size_t>(n) > streamer::kStreamRequestSize) {
        std::fprintf(stderr, "Server: %s sent a request of %zd bytes, not %zu; nothing sent\n",
                     net::formatAddress(requester).c_str(), n, streamer::kStreamRequestSize);
      } else if (!clip) {
        std::fprintf(stderr, "Server: %s sent %s; nothing sent\n",
                     net::formatAddress(requester).c_str(), why.c_str());
      } else if (!sound::readSoundFile((clips / *clip).string(), &samples, &why)) {
        std::fprintf(stderr, "Server: %s asked for the unknown clip %s (%s); nothing sent\n",
                     net::formatAddress(requester).c_str(), clip->c_str(), why.c_str());
      } else {
        std::printf("Server: streaming %s (%zu samples) to %s:%d\n", clip->c_str(), samples.size(),
                    net::formatAddress(requester).c_str(), streamer::kStreamClientPort);
        streams.push_back({*clip, requester, littleEndian(samples), 0, clock.nowMicros()});
      }
      std::fflush(stdout);
      std::fflush(stderr);
    }
    now = clock.nowMicros();
    for (auto it = streams.begin(); it != streams.end();) {
      while (it->sent < it->bytes.size() && (burst || it->due <= now)) {
        std::size_t n = std::min(streamer::kStreamDatagramBytes, it->bytes.size() - it->sent);
        net::sendTo(socket, it->to, streamer::kStreamClientPort,
                    std::span(it->bytes).subspan(it->sent, n));
        it->sent += n;
        it->due += kDatagramMicros;  // on a fixed grid, so a late send is made up
      }
      if (it->sent < it->bytes.size()) {
        ++it;
        continue;
      }
      std::printf("Server: %s sent to %s\n", it->clip.c_str(), net::formatAddress(it->to).c_str());
      std::fflush(stdout);
      it = streams.erase(it);
    }
  }
}
