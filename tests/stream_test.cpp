// The stream client and the stand-in stream server as programs of the installation tree, on
// loopback hosts of their own.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <sstream>

#include "platform/audio.h"
#include "streamer/request.h"
#include "tests/driver/stream.h"

namespace zep::testing {
namespace {

using streamer::kStreamClientPort;
using streamer::kStreamServerPort;

// Waits for one datagram on a test socket; its bytes, or none within the time.
std::optional<std::vector<std::uint8_t>> receiveOne(const net::Socket& s, int timeoutMs) {
  net::ReadSet set;
  set.add(s.fd());
  if (set.wait(timeoutMs) <= 0) return std::nullopt;
  std::vector<std::uint8_t> buffer(4000);
  long n = net::receiveFrom(s, buffer);
  if (n < 0) return std::nullopt;
  buffer.resize(static_cast<std::size_t>(n));
  return buffer;
}

StreamerOptions options(std::string server, std::string clip = "", std::string audioOut = "") {
  StreamerOptions o;
  o.server = std::move(server);
  o.clip = std::move(clip);
  o.audioOut = std::move(audioOut);
  return o;
}

std::vector<std::uint8_t> littleEndian(const std::vector<std::int16_t>& samples) {
  std::vector<std::uint8_t> b;
  for (std::int16_t s : samples)
    b.insert(b.end(), {static_cast<std::uint8_t>(s & 0xFF), static_cast<std::uint8_t>(s >> 8)});
  return b;
}

TEST(StreamSession, TheClipArrivesWholeAndInOrderInTheLoudspeakerFile) {
  StreamServerProcess server(freshAddress(), {"--burst"});
  ASSERT_TRUE(server.waitReady());
  auto at = freshAddress();
  StreamerProcess client(at, options(dotted(server.address)));
  ASSERT_TRUE(server.out.waitFor("Server: clip.aud sent to " + dotted(at)));
  ASSERT_TRUE(client.clientLog.waitFor("Client started\n"));
  // The clip is about seven seconds long.
  auto clip = installTree() / "clips" / "clip.aud";
  ASSERT_TRUE(client.waitPlayedOut(20000));
  ASSERT_TRUE(client.close());
  EXPECT_EQ(client.process().exitCode(), 0);

  auto found = findStreamedClip(clip, client.speaker);
  EXPECT_TRUE(found.whole) << found.problem;
  EXPECT_EQ(client.clientLog.text(), "Client started\n");
  EXPECT_TRUE(client.mixerLog.text().ends_with("KSA close\n"));
  double delayMs =
      (client.speakerStartMicros() + double(found.offset) * 125 - client.requestMicros()) / 1000;
  std::printf("request to first sound: %.0f ms\n", delayMs);
  // Priming takes two datagrams, the first mixed block is only prepared: 200 to 600 ms.
  EXPECT_GT(delayMs, 150);
  EXPECT_LT(delayMs, 1000);
  EXPECT_TRUE(server.err.text().empty()) << server.err.text();
}

TEST(StreamSession, TheMainJobsRunFindsTheClipWhole) {
  auto dir = freshDirectory("stream-run");
  auto run = streamClip(freshAddress(), freshAddress(), dir / "alice-speaker.wav");
  EXPECT_TRUE(run.ok) << run.problem;
  EXPECT_EQ(run.clientLog, "Client started\n");
  EXPECT_GT(run.requestToFirstSoundMs, 150);
}

TEST(StreamSession, ThePacedServerSendsTheConvertedClipOneDatagramPerHundredMs) {
  // A clip of 44100 Hz stereo: the server converts it as every sound file is read here.
  auto clips = freshDirectory("clips");
  std::vector<std::int16_t> stereo(44100 * 2 / 2 * 2);
  for (std::size_t i = 0; i < stereo.size(); ++i)
    stereo[i] = static_cast<std::int16_t>(9000 * std::sin(0.01 * double(i / 2)) + (i % 2) * 500);
  std::string error;
  ASSERT_TRUE(sound::writeSoundFile((clips / "tone.wav").string(), stereo, &error, 44100, 2));
  std::vector<std::int16_t> converted;
  ASSERT_TRUE(sound::readSoundFile((clips / "tone.wav").string(), &converted, &error));

  StreamServerProcess server(freshAddress(), {"--clips", clips.string()});
  ASSERT_TRUE(server.waitReady());
  auto me = freshAddress();
  const char* step = "";
  net::Socket client = net::openUdp(me, kStreamClientPort, &step);
  ASSERT_TRUE(client);
  net::sendTo(client, server.address, kStreamServerPort,
              *streamer::encodeStreamRequest("tone.wav"));
  std::vector<std::uint8_t> got;
  std::vector<double> arrivals;
  auto start = std::chrono::steady_clock::now();
  while (auto d = receiveOne(client, 1000)) {
    arrivals.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
    if (got.size() + d->size() < littleEndian(converted).size()) {
      EXPECT_EQ(d->size(), 1600u) << "only the last datagram is shorter";
    }
    got.insert(got.end(), d->begin(), d->end());
  }
  EXPECT_EQ(got, littleEndian(converted));
  ASSERT_GE(arrivals.size(), 8u);
  double span = arrivals.back() - arrivals.front();
  EXPECT_NEAR(span, 100.0 * double(arrivals.size() - 1), 50) << "real-time pacing";
}

TEST(StreamSession, TheServerSendsNothingForBadRequestsUnknownClipsOrPathsOutOfItsFolder) {
  auto root = freshDirectory("stream-root");
  std::filesystem::create_directories(root / "clips");
  std::string error;
  std::vector<std::int16_t> sound(1600, 1000);
  ASSERT_TRUE(sound::writeSoundFile((root / "secret").string(), sound, &error));
  ASSERT_TRUE(sound::writeSoundFile((root / "clips" / "ok.wav").string(), sound, &error));
  StreamServerProcess server(freshAddress(), {"--burst", "--clips", (root / "clips").string()});
  ASSERT_TRUE(server.waitReady());
  const char* step = "";
  net::Socket client = net::openUdp(freshAddress(), kStreamClientPort, &step);
  ASSERT_TRUE(client);

  auto request = [](std::string_view name) {
    streamer::StreamRequest r{};
    r[0] = 'o';
    std::copy(name.begin(), name.end(), r.begin() + 1);
    return std::vector<std::uint8_t>(r.begin(), r.end());
  };
  std::vector<std::vector<std::uint8_t>> bad = {request("../secret"), request(".."),
                                                request("..\\secret"), request("missing"),
                                                std::vector<std::uint8_t>(100, 'o')};
  auto shortOne = request("ok.wav");
  shortOne.pop_back();
  auto longOne = request("ok.wav");
  longOne.push_back(0);
  auto stray = request("ok.wav");
  stray[50] = 1;
  bad.insert(bad.end(), {shortOne, longOne, stray, {}});
  for (auto& r : bad) net::sendTo(client, server.address, kStreamServerPort, r);
  EXPECT_TRUE(server.err.waitForCount("nothing sent\n", static_cast<int>(bad.size())))
      << server.err.text();
  EXPECT_FALSE(receiveOne(client, 300)) << "nothing is streamed for a bad request";
  EXPECT_EQ(server.err.count("\n"), static_cast<int>(bad.size())) << "one line each";

  // It goes on serving good requests.
  net::sendTo(client, server.address, kStreamServerPort, request("ok.wav"));
  auto d = receiveOne(client, kDeadlineMs);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->size(), 1600u);
}

TEST(StreamSession, TheStreamerSendsOneExactRequestAndNothingWhenItsWindowCloses) {
  const char* step = "";
  auto serverAt = freshAddress();
  net::Socket server = net::openUdp(serverAt, kStreamServerPort, &step);
  ASSERT_TRUE(server);
  auto at = freshAddress();
  StreamerProcess client(at, options(dotted(serverAt), "12345678"));
  auto r = receiveOne(server, kDeadlineMs);
  ASSERT_TRUE(r);
  auto expected = *streamer::encodeStreamRequest("12345678");
  EXPECT_EQ(*r, std::vector<std::uint8_t>(expected.begin(), expected.end()));
  // Two seconds of a tone, in real time, then the window is closed while it plays.
  std::vector<std::int16_t> tone(800);
  for (std::size_t i = 0; i < tone.size(); ++i)
    tone[i] = static_cast<std::int16_t>(i * 37 % 8000 + 1);
  for (int k = 0; k < 20; ++k) {
    net::sendTo(server, at, kStreamClientPort, littleEndian(tone));
    clock::sleepMs(100);
  }
  auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(client.close(1500)) << "closing stops at once";
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1000));
  EXPECT_FALSE(receiveOne(server, 300)) << "the server is not told";
  EXPECT_EQ(client.clientLog.text(), "Client started\n");
  std::vector<std::int16_t> heard;
  std::string error;
  ASSERT_TRUE(sound::readSoundFile(client.speaker.string(), &heard, &error)) << error;
  EXPECT_GT(std::count(heard.begin(), heard.end(), tone[5]), 5) << "the tone was playing";
}

TEST(StreamSession, AStrangersDatagramsAreNeitherPlayedNorLogged) {
  const char* step = "";
  auto serverAt = freshAddress();
  net::Socket server = net::openUdp(serverAt, kStreamServerPort, &step);
  ASSERT_TRUE(server);
  // Another host that plays a stream server too, and floods.
  net::Socket stranger = net::openUdp(freshAddress(), kStreamServerPort, &step);
  ASSERT_TRUE(stranger);
  auto at = freshAddress();
  StreamerProcess client(at, options(dotted(serverAt)));
  ASSERT_TRUE(receiveOne(server, kDeadlineMs)) << "the request";
  ASSERT_TRUE(client.clientLog.waitFor("Client started\n"));

  const std::int16_t foreign = 12345;  // never a sample of the server's tone
  auto strangerBurst = [&](int datagrams) {
    auto normal = littleEndian(std::vector<std::int16_t>(800, foreign));
    auto tooLong = littleEndian(std::vector<std::int16_t>(850, foreign));
    for (int k = 0; k < datagrams; ++k)
      net::sendTo(stranger, at, kStreamClientPort, k % 4 == 0 ? tooLong : normal);
  };
  std::vector<std::int16_t> tone(800);
  for (std::size_t i = 0; i < tone.size(); ++i)
    tone[i] = static_cast<std::int16_t>(i * 37 % 8000 + 1);
  // Bursts the client's receive buffer holds, so the system drops none of the server's.
  strangerBurst(300);
  const int fromServer = 10;
  for (int k = 0; k < fromServer; ++k) {
    net::sendTo(server, at, kStreamClientPort, littleEndian(tone));
    strangerBurst(150);
    clock::sleepMs(100);
  }
  auto playLines = [&] {
    std::istringstream lines(client.mixerLog.text());
    int n = 0;
    for (std::string line; std::getline(lines, line);) n += line.rfind("PLAY buffer", 0) == 0;
    return n;
  };
  ASSERT_TRUE(waitUntil([&] { return playLines() == fromServer; })) << playLines();
  strangerBurst(2000);
  ASSERT_TRUE(client.waitPlayedOut(kDeadlineMs));
  ASSERT_TRUE(client.close());

  EXPECT_EQ(playLines(), fromServer) << "the stranger's datagrams never reached the ring";
  EXPECT_EQ(client.clientLog.text(), "Client started\n") << "nor client.log";
  std::vector<std::int16_t> heard;
  std::string error;
  ASSERT_TRUE(sound::readSoundFile(client.speaker.string(), &heard, &error)) << error;
  EXPECT_EQ(std::count(heard.begin(), heard.end(), tone[5]), fromServer) << "the server was heard";
  EXPECT_EQ(std::count(heard.begin(), heard.end(), foreign), 0) << "the stranger was not";
}

TEST(StreamSession, StartFailuresEndTheProgramWithTheirLine) {
  {
    auto at = freshAddress();
    const char* step = "";
    net::Socket taken = net::openUdp(at, kStreamClientPort, &step);
    ASSERT_TRUE(taken);
    StreamerProcess client(at, options(dotted(freshAddress())));
    ASSERT_TRUE(client.process().waitForExit(kDeadlineMs)) << "a port in use ends the program";
    EXPECT_EQ(client.clientLog.text(), "Client: cannot bind socket\n");
    EXPECT_EQ(client.out.text(), "streamer: opened\nstreamer: closed\n");
  }
  {
    StreamerProcess client(freshAddress(), options(dotted(freshAddress()), "", "none"));
    ASSERT_TRUE(client.process().waitForExit(kDeadlineMs)) << "no device ends the program";
    EXPECT_EQ(client.clientLog.text(), "Client: there is no appropriate audio device\n");
    EXPECT_EQ(client.out.text(), "streamer: opened\nstreamer: closed\n");
  }
}

TEST(StreamSession, AClipNameThatDoesNotFitTheRequestIsRefused) {
  const char* step = "";
  auto serverAt = freshAddress();
  net::Socket server = net::openUdp(serverAt, kStreamServerPort, &step);
  StreamerProcess client(freshAddress(), options(dotted(serverAt), "123456789"));
  ASSERT_TRUE(client.process().waitForExit(kDeadlineMs));
  EXPECT_EQ(client.process().exitCode(), 2);
  EXPECT_TRUE(client.err.contains("the clip name \"123456789\" does not fit the request"))
      << client.err.text();
  EXPECT_FALSE(receiveOne(server, 200));
  EXPECT_FALSE(std::filesystem::exists(client.clientLog.path())) << "refused before starting";
}

}  // namespace
}  // namespace zep::testing
