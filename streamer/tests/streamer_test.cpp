// The stream request's layout, and the stream client against a test socket standing in for
// the server, with a recording loudspeaker and the mixer stepped by the test.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "streamer/client.h"
#include "streamer/request.h"
#include "streamer/window.h"
#include "ui/recording_view.h"

namespace zep::streamer {
namespace {

// --- the request ---

TEST(StreamRequest, IsOneHundredBytesWithTheTagTheNameItsNulAndZeros) {
  auto r = encodeStreamRequest("clip.aud");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->size(), 100u);
  EXPECT_EQ((*r)[0], 'o');
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r->data() + 1)), "clip.aud");
  for (std::size_t i = 9; i < 100; ++i) EXPECT_EQ((*r)[i], 0) << "byte " << i;
  std::string why;
  EXPECT_EQ(parseStreamRequest(*r, &why), "clip.aud");

  EXPECT_TRUE(encodeStreamRequest("12345678")) << "eight characters and the NUL fit";
  EXPECT_FALSE(encodeStreamRequest("123456789")) << "nine do not fit the field";
  EXPECT_FALSE(encodeStreamRequest(""));
}

TEST(StreamRequest, TheServerRefusesAnythingButTheExactLayout) {
  const StreamRequest good = *encodeStreamRequest("a.wav");
  std::string why;
  for (std::size_t n = 0; n <= 101; ++n) {
    if (n == 100) continue;
    std::vector<std::uint8_t> cut(good.begin(), good.begin() + std::min<std::size_t>(n, 100));
    cut.resize(n, 0);
    EXPECT_FALSE(parseStreamRequest(cut, &why)) << n << " bytes";
  }
  auto changed = [&](std::size_t at, std::uint8_t value) {
    StreamRequest r = good;
    r[at] = value;
    return parseStreamRequest(r, &why);
  };
  EXPECT_FALSE(changed(0, 'O'));
  for (std::size_t at = 6; at < 100; ++at) EXPECT_FALSE(changed(at, 1)) << "stray byte " << at;

  StreamRequest noNul = good;
  for (std::size_t i = 1; i <= 9; ++i) noNul[i] = 'x';
  EXPECT_FALSE(parseStreamRequest(noNul, &why)) << "a name that runs past its field";
  EXPECT_NE(why.find("NUL"), std::string::npos) << why;

  auto named = [&](std::string_view name) {
    StreamRequest r{};
    r[0] = 'o';
    std::copy(name.begin(), name.end(), r.begin() + 1);
    return parseStreamRequest(r, &why);
  };
  for (std::string_view bad : {"", "..", ".", "../x", "a/b", "/etc", "..\\x", "a\tb", "\x7f"})
    EXPECT_FALSE(named(bad)) << "'" << bad << "'";
  EXPECT_EQ(named("..clip"), "..clip") << "dots inside a plain name are harmless";
}

// --- the client ---

// A loopback address of this test process's own, so parallel tests do not share ports.
net::Ipv4 testAddress(int n) {
  net::Ipv4 a = 0;
  net::parseAddress("127.201." + std::to_string(::getpid() % 250) + "." + std::to_string(n), &a);
  return a;
}

// A loudspeaker that plays at once and keeps every sample.
class RecordingSpeaker final : public sound::SoundOutput {
 public:
  RecordingSpeaker(event::ManualResetEvent& done, std::vector<std::int16_t>& heard,
                   std::mutex& mutex)
      : done_(done), heard_(heard), mutex_(mutex) {}
  bool write(sound::SoundBlock& block) override {
    {
      std::lock_guard lock(mutex_);
      heard_.insert(heard_.end(), block.samples.begin(), block.samples.end());
    }
    block.done = true;
    played_++;
    done_.set();
    return true;
  }
  void reset() override {}
  std::uint64_t played() const override { return played_; }

 private:
  event::ManualResetEvent& done_;
  std::vector<std::int16_t>& heard_;
  std::mutex& mutex_;
  std::uint64_t played_ = 0;
};

// A loudspeaker that takes every block and hands none back until released, as a device
// that has stalled.
class HoldingSpeaker final : public sound::SoundOutput {
 public:
  bool write(sound::SoundBlock& block) override {
    std::lock_guard lock(mutex_);
    block.done = false;
    held_.push_back(&block);
    return true;
  }
  void reset() override { release(); }
  std::uint64_t played() const override { return 0; }
  std::size_t writes() {
    std::lock_guard lock(mutex_);
    return held_.size();
  }
  void release() {
    std::lock_guard lock(mutex_);
    for (auto* b : held_) b->done = true;
  }

 private:
  std::mutex mutex_;
  std::vector<sound::SoundBlock*> held_;
};

std::string readText(const std::filesystem::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool waitFor(const std::function<bool()>& condition) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::vector<std::uint8_t> bytesOf(const std::vector<std::int16_t>& samples) {
  std::vector<std::uint8_t> b;
  for (std::int16_t s : samples) {
    b.push_back(static_cast<std::uint8_t>(s & 0xFF));
    b.push_back(static_cast<std::uint8_t>((s >> 8) & 0xFF));
  }
  return b;
}

// Samples that are never zero, different for each datagram.
std::vector<std::int16_t> pattern(int datagram, std::size_t samples = 800) {
  std::vector<std::int16_t> s(samples);
  for (std::size_t i = 0; i < samples; ++i)
    s[i] = static_cast<std::int16_t>(datagram * 1000 + static_cast<int>(i % 997) + 1);
  return s;
}

std::vector<std::int16_t> withoutSilenceAround(std::vector<std::int16_t> s) {
  while (!s.empty() && s.back() == 0) s.pop_back();
  auto first = std::find_if(s.begin(), s.end(), [](std::int16_t v) { return v != 0; });
  return {first, s.end()};
}

struct ClientRig {
  explicit ClientRig(int pollMs = 0, bool withDevice = true)
      : dir(std::filesystem::temp_directory_path() /
            ("streamer-test-" + std::to_string(::getpid()) + "-" + std::to_string(next++))),
        clientAddress(testAddress(2 * next + 1)),
        serverAddress(testAddress(2 * next + 2)) {
    std::filesystem::create_directories(dir);
    const char* step = "";
    server = net::openUdp(serverAddress, kStreamServerPort, &step);
    settings.serverHost = net::formatAddress(serverAddress);
    settings.bindAddress = clientAddress;
    settings.logPath = (dir / "client.log").string();
    settings.mixerLogPath = (dir / "ksa.log").string();
    settings.clock = &clock;
    settings.startMixerClock = false;
    settings.pollMs = pollMs;
    if (withDevice)
      settings.openDevice = [this](event::ManualResetEvent& done, std::string*) {
        return std::make_unique<RecordingSpeaker>(done, heardSamples, heardMutex);
      };
    else
      settings.openDevice = [](event::ManualResetEvent&, std::string* error) {
        *error = "no sound output device";
        return std::unique_ptr<sound::SoundOutput>();
      };
  }
  ~ClientRig() {
    client.reset();
    std::filesystem::remove_all(dir);
  }
  bool start() {
    client = std::make_unique<StreamClient>(settings);
    return client->start();
  }
  // Sends one datagram to the client and waits until it has been handled.
  void send(std::span<const std::uint8_t> data) {
    auto before = client->datagramsPlayed() + client->receiveErrors();
    net::sendTo(server, clientAddress, kStreamClientPort, data);
    if (data.size() < 2) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // nothing to count
      return;
    }
    EXPECT_TRUE(
        waitFor([&] { return client->datagramsPlayed() + client->receiveErrors() > before; }));
  }
  void steps(int n) {
    for (int i = 0; i < n; ++i) client->mixer()->step();
  }
  std::vector<std::int16_t> heard() {
    std::lock_guard lock(heardMutex);
    return heardSamples;
  }

  static inline int next = 0;
  std::filesystem::path dir;
  net::Ipv4 clientAddress, serverAddress;
  net::Socket server;
  clock::SimulatedClock clock;
  StreamClientSettings settings;
  std::unique_ptr<StreamClient> client;
  std::mutex heardMutex;
  std::vector<std::int16_t> heardSamples;
};

std::vector<std::int16_t> joined(std::initializer_list<std::vector<std::int16_t>> parts) {
  std::vector<std::int16_t> all;
  for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(StreamClient, SendsItsOneRequestAndLogsItsStart) {
  ClientRig rig;
  rig.settings.clip = "song.wav";
  ASSERT_TRUE(rig.start());
  std::array<std::uint8_t, 200> got{};
  net::ReadSet set;
  set.add(rig.server.fd());
  ASSERT_EQ(set.wait(2000), 1);
  ASSERT_EQ(net::receiveFrom(rig.server, got), 100);
  auto expected = *encodeStreamRequest("song.wav");
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), got.begin()));
  EXPECT_EQ(readText(rig.dir / "client.log"), "Client started\n");
  EXPECT_EQ(readText(rig.dir / "ksa.log"), "KSA init\n");
}

TEST(StreamClient, NothingIsHeardUntilTwoDatagramsAndAgainAfterTheRingRunsDry) {
  ClientRig rig;
  ASSERT_TRUE(rig.start());
  rig.send(bytesOf(pattern(1)));
  rig.steps(4);
  EXPECT_TRUE(withoutSilenceAround(rig.heard()).empty()) << "1600 bytes do not prime the ring";
  rig.send(bytesOf(pattern(2)));
  rig.steps(4);
  EXPECT_EQ(withoutSilenceAround(rig.heard()), joined({pattern(1), pattern(2)}));

  const std::size_t before = rig.heard().size();
  rig.send(bytesOf(pattern(3)));
  rig.steps(4);
  auto later = rig.heard();
  EXPECT_TRUE(
      withoutSilenceAround({later.begin() + static_cast<long>(before), later.end()}).empty())
      << "after running dry the ring primes again";
  rig.send(bytesOf(pattern(4)));
  rig.steps(4);
  later = rig.heard();
  EXPECT_EQ(withoutSilenceAround({later.begin() + static_cast<long>(before), later.end()}),
            joined({pattern(3), pattern(4)}));
}

TEST(StreamClient, OddByteCountsPlayWholeSamplesAndTooLongDatagramsAreLoggedNeverPlayed) {
  ClientRig rig;
  ASSERT_TRUE(rig.start());
  auto tooLong = bytesOf(pattern(9, 801));
  rig.send(tooLong);
  EXPECT_EQ(rig.client->receiveErrors(), 1u);
  auto odd = bytesOf(pattern(1, 500));
  odd.push_back(0x55);  // half a sample
  rig.send(odd);
  rig.send(std::vector<std::uint8_t>{0x77});  // no whole sample at all
  rig.send(bytesOf(pattern(2)));
  rig.send(bytesOf(pattern(3)));
  rig.steps(6);
  EXPECT_EQ(withoutSilenceAround(rig.heard()), joined({pattern(1, 500), pattern(2), pattern(3)}))
      << "the stray byte must not shift the samples after it";
  EXPECT_EQ(readText(rig.dir / "client.log"),
            "Client started\nClient: recvfrom error: " + std::to_string(EMSGSIZE) + "\n");
}

TEST(StreamClient, AServerFarAheadFillsTheRingAndTheNewestAudioIsKept) {
  ClientRig rig;
  ASSERT_TRUE(rig.start());
  const int datagrams = 700;  // 1120000 bytes: more than the ring holds
  for (int k = 0; k < datagrams; ++k) {
    std::vector<std::int16_t> s(800, static_cast<std::int16_t>(k + 1));
    net::sendTo(rig.server, rig.clientAddress, kStreamClientPort, bytesOf(s));
    if (k % 50 == 49) {
      // Not faster than the receiver takes them, or the system would drop them first.
      ASSERT_TRUE(waitFor([&] { return rig.client->datagramsPlayed() + 20 > unsigned(k); }));
    }
  }
  ASSERT_TRUE(waitFor([&] { return rig.client->datagramsPlayed() == datagrams; }));
  EXPECT_LE(rig.client->ring()->fill(), kStreamRingBytes);
  rig.steps(static_cast<int>(kStreamRingBytes / 3200) + 4);
  auto heard = withoutSilenceAround(rig.heard());
  ASSERT_GE(heard.size(), 800u * 600);
  EXPECT_EQ(heard.back(), datagrams) << "the last datagram is played";
  // What is played is an unbroken run of the newest datagrams, oldest dropped first.
  std::size_t first = static_cast<std::size_t>(heard.front());
  EXPECT_GT(first, 1u) << "the oldest audio went to make room";
  std::vector<std::int16_t> tail;
  for (int k = heard.front(); k <= datagrams; ++k)
    tail.insert(tail.end(), 800, static_cast<std::int16_t>(k));
  EXPECT_EQ(std::vector<std::int16_t>(heard.end() - static_cast<long>(tail.size()), heard.end()),
            tail);
}

TEST(StreamClient, StoppingWhileDatagramsPourInJoinsTheReceiverPromptly) {
  for (int pollMs : {0, 1}) {
    ClientRig rig(pollMs);
    ASSERT_TRUE(rig.start());
    std::atomic<bool> sending{true};
    std::thread flood([&] {
      auto data = bytesOf(pattern(1));
      while (sending) net::sendTo(rig.server, rig.clientAddress, kStreamClientPort, data);
    });
    ASSERT_TRUE(waitFor([&] { return rig.client->datagramsPlayed() > 100; }));
    auto before = std::chrono::steady_clock::now();
    rig.client->stop();  // under the sanitizers, a receiver still writing would be caught
    auto took = std::chrono::steady_clock::now() - before;
    sending = false;
    flood.join();
    EXPECT_LT(took, std::chrono::milliseconds(300)) << "wait " << pollMs;
    EXPECT_FALSE(rig.client->ring());
    // The port is free again: the socket went with the stop.
    const char* step = "";
    EXPECT_TRUE(net::openUdp(rig.clientAddress, kStreamClientPort, &step));
  }
}

int linesStartingWith(const std::string& text, std::string_view start) {
  int n = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) n += line.rfind(start, 0) == 0;
  return n;
}

TEST(StreamClient, DatagramsFromAStrangersAddressAreNeitherPlayedNorLogged) {
  ClientRig rig;
  ASSERT_TRUE(rig.start());
  const char* step = "";
  // Another host on the same network.
  net::Socket stranger = net::openUdp(testAddress(250), 0, &step);
  ASSERT_TRUE(stranger);
  const int sent = 300;
  for (int k = 0; k < sent; ++k) {
    auto data = k % 3 == 0 ? bytesOf(pattern(7, 900)) : bytesOf(pattern(7));  // too long, or not
    net::sendTo(stranger, rig.clientAddress, kStreamClientPort, data);
    if (k % 50 == 49) {
      ASSERT_TRUE(waitFor([&] { return rig.client->strangerDatagrams() > unsigned(k) - 20; }));
    }
  }
  ASSERT_TRUE(waitFor([&] { return rig.client->strangerDatagrams() == sent; }));
  rig.send(bytesOf(pattern(1)));
  rig.send(bytesOf(pattern(2)));
  rig.steps(4);
  EXPECT_EQ(withoutSilenceAround(rig.heard()), joined({pattern(1), pattern(2)}))
      << "only the server's audio is heard";
  EXPECT_EQ(rig.client->receiveErrors(), 0u);
  EXPECT_EQ(readText(rig.dir / "client.log"), "Client started\n");
  EXPECT_EQ(linesStartingWith(readText(rig.dir / "ksa.log"), "PLAY buffer"), 2);
}

TEST(StreamClient, AFloodFromTheServerCannotGrowTheLogsFasterThanTheirLinesASecond) {
  ClientRig rig;
  ASSERT_TRUE(rig.start());
  auto started = std::chrono::steady_clock::now();
  const int sent = 1500;
  for (int k = 0; k < sent; ++k) {
    // Every fifth is too long: a receive error for client.log; the rest go to the ring.
    auto data = k % 5 == 0 ? bytesOf(pattern(3, 801)) : bytesOf(pattern(3));
    net::sendTo(rig.server, rig.clientAddress, kStreamClientPort, data);
    if (k % 50 == 49) {
      ASSERT_TRUE(waitFor([&] {
        return rig.client->datagramsPlayed() + rig.client->receiveErrors() + 20 > unsigned(k);
      }));
    }
  }
  ASSERT_TRUE(
      waitFor([&] { return rig.client->datagramsPlayed() + rig.client->receiveErrors() == sent; }));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(rig.client->receiveErrors(), unsigned(sent / 5));
  const int bound = static_cast<int>(seconds) + 2;  // a clock second may start twice in the run
  const int errorLines = linesStartingWith(readText(rig.dir / "client.log"), "Client: recvfrom");
  EXPECT_GE(errorLines, 1) << "the first error is still said";
  EXPECT_LE(errorLines, bound * kReceiveErrorLinesPerSecond) << seconds << " s";
  const int playLines = linesStartingWith(readText(rig.dir / "ksa.log"), "PLAY buffer");
  EXPECT_GE(playLines, kMixerLogLinesPerSecond) << "the first ones are still written";
  EXPECT_LE(playLines, bound * kMixerLogLinesPerSecond) << seconds << " s";
  EXPECT_LT(playLines, sent * 4 / 5) << "the flood was faster than the log may grow";
}

TEST(StreamClient, StartFailuresEndWithTheirLine) {
  {
    ClientRig rig;
    const char* step = "";
    auto taken = net::openUdp(rig.clientAddress, kStreamClientPort, &step);
    ASSERT_TRUE(taken);
    EXPECT_FALSE(rig.start());
    rig.client->stop();
    EXPECT_EQ(readText(rig.dir / "client.log"), "Client: cannot bind socket\n");
  }
  {
    ClientRig rig(0, false);
    EXPECT_FALSE(rig.start());
    rig.client->stop();
    EXPECT_EQ(readText(rig.dir / "client.log"), "Client: there is no appropriate audio device\n");
    std::array<std::uint8_t, 200> got{};
    net::ReadSet set;
    set.add(rig.server.fd());
    EXPECT_EQ(set.wait(100), 0) << "a client that did not start sends nothing";
    (void)got;
  }
}

// --- the window ---

TEST(StreamerWindow, WithoutADeviceTheWindowClosesAtOnce) {
  ClientRig rig(0, false);
  StreamerWindow window(rig.settings);
  ui::RecordingView view;
  window.attach(view);
  EXPECT_TRUE(view.closed);
  EXPECT_TRUE(view.boxes.empty());
  EXPECT_EQ(readText(rig.dir / "client.log"), "Client: there is no appropriate audio device\n");
}

TEST(StreamerWindow, TheCloseBoxStopsTheClientAndOkOnlyEndsTheWindow) {
  ClientRig rig;
  {
    StreamerWindow window(rig.settings);
    ui::RecordingView view;
    window.attach(view);
    ASSERT_FALSE(view.closed);
    window.onClick("OK");
    EXPECT_TRUE(view.closed);
    EXPECT_TRUE(window.client()->ring()) << "OK leaves the release to the program's end";
  }
  StreamerWindow window(rig.settings);
  ui::RecordingView view;
  window.attach(view);
  window.onClose();
  EXPECT_TRUE(view.closed);
  EXPECT_FALSE(window.client()->ring());
  EXPECT_EQ(readText(rig.dir / "ksa.log"), "KSA init\nKSA close\n");
}

TEST(StreamerWindow, ClosingWhileTheDeviceHoldsEveryBlockDoesNotHang) {
  ClientRig rig;
  clock::RealClock realClock;
  rig.settings.clock = &realClock;
  rig.settings.startMixerClock = true;  // the mixer's own 200 ms clock
  std::atomic<HoldingSpeaker*> speaker{nullptr};
  rig.settings.openDevice = [&](event::ManualResetEvent&, std::string*) {
    auto device = std::make_unique<HoldingSpeaker>();
    speaker = device.get();
    return device;
  };
  StreamerWindow window(rig.settings);
  ui::RecordingView view;
  window.attach(view);
  ASSERT_FALSE(view.closed);
  // Both output headers written and neither handed back: the step that wrote the second one
  // now waits for the first.
  ASSERT_TRUE(waitFor([&] { return speaker.load() && speaker.load()->writes() >= 2; }));

  std::atomic<bool> closed{false};
  auto before = std::chrono::steady_clock::now();
  std::thread closer([&] {
    window.onClose();
    closed = true;
  });
  bool inTime = waitFor([&] { return closed.load(); });
  auto took = std::chrono::steady_clock::now() - before;
  if (!inTime) speaker.load()->release();  // let the hung close end, so the test can report it
  closer.join();
  EXPECT_TRUE(inTime) << "the close hung on the stalled device";
  EXPECT_LT(took, std::chrono::milliseconds(500));
  EXPECT_TRUE(view.closed);
  EXPECT_TRUE(readText(rig.dir / "ksa.log").ends_with("KSA close\n"));
}

}  // namespace
}  // namespace zep::streamer
