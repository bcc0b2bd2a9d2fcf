#include "archive/recording.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "platform/bytes.h"

namespace zep::archive {
namespace {

// A recording file in memory.
struct MemoryFile {
  explicit MemoryFile(const std::vector<std::uint8_t>& bytes) {
    file = std::tmpfile();
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
  }
  ~MemoryFile() { std::fclose(file); }
  std::FILE* file;
};

void append(std::vector<std::uint8_t>& out, std::uint32_t ticks, int port,
            std::vector<std::uint8_t> data, std::int32_t length = -2) {
  DatagramRecord r;
  r.time = RecordTime::fromTicks(ticks);
  r.port = port;
  r.length = length == -2 ? static_cast<std::int32_t>(data.size()) : length;
  auto h = encodeRecordHeader(r);
  out.insert(out.end(), h.begin(), h.end());
  out.insert(out.end(), data.begin(), data.end());
}

struct Sent {
  std::uint32_t at;
  std::uint16_t port;
  std::vector<std::uint8_t> data;
};

std::vector<Sent> replay(const std::vector<std::uint8_t>& bytes, Player::Outcome* outcome = nullptr,
                         std::uint32_t startTicks = 5000) {
  clock::SimulatedClock clock(startTicks);
  std::vector<Sent> sent;
  Player player(clock, [&](std::uint16_t port, std::span<const std::uint8_t> d) {
    sent.push_back({clock.now() - startTicks, port, {d.begin(), d.end()}});
  });
  MemoryFile f(bytes);
  auto o = player.play(f.file);
  if (outcome) *outcome = o;
  return sent;
}

TEST(RecordLayout, TwentyLittleEndianBytes) {
  DatagramRecord r;
  r.time = RecordTime::fromTicks(123456);
  r.port = 12567;
  r.length = 400;
  auto h = encodeRecordHeader(r);
  ASSERT_EQ(h.size(), kRecordHeaderSize);
  EXPECT_EQ((std::vector<std::uint8_t>(h.begin(), h.begin() + 4)),
            (std::vector<std::uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(h[4], 123);                               // seconds
  EXPECT_EQ(h[8] | h[9] << 8 | h[10] << 16, 456000);  // microseconds
  EXPECT_EQ(h[12] | h[13] << 8, 12567);
  EXPECT_EQ(h[16] | h[17] << 8, 400);
  for (std::size_t n = 0; n < kRecordHeaderSize; ++n)
    EXPECT_FALSE(decodeRecordHeader(std::span(h).first(n)));
}

TEST(RecordTimes, MillisecondsTruncateTowardZero) {
  EXPECT_EQ(millisecondsBetween({2, 500000}, {1, 0}), 1500);
  EXPECT_EQ(millisecondsBetween({1, 0}, {2, 500000}), -1500);
  EXPECT_EQ(millisecondsBetween({1, 999}, {1, 0}), 0);
}

TEST(Player, KeepsRecordedGapsAnchoredAtTheFirstRecord) {
  std::vector<std::uint8_t> file;
  append(file, 10000, 12567, {1});
  append(file, 11500, 12567, {2});
  append(file, 11500, 34999, {});
  auto sent = replay(file);
  ASSERT_EQ(sent.size(), 3u) << "the last record is sent exactly once";
  EXPECT_EQ(sent[0].at, 0u);
  EXPECT_EQ(sent[1].at, 1500u);
  EXPECT_EQ(sent[2].at, 1500u);
  EXPECT_EQ(sent[2].port, 34999);
  EXPECT_TRUE(sent[2].data.empty()) << "a record of length 0 is an empty datagram";
}

TEST(Player, EmptyFileSendsNothingAndEarlierTimesDoNotWait) {
  EXPECT_TRUE(replay({}).empty());
  std::vector<std::uint8_t> file;
  append(file, 90000, 12567, {1});
  append(file, 3000, 12567, {2});  // the tick count restarted while recording
  append(file, 90200, 12567, {3});
  auto sent = replay(file);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[1].at, 0u);
  EXPECT_EQ(sent[2].at, 200u);
}

TEST(Player, FailedReceivesAreSkippedAndDamageStopsTheReplay) {
  std::vector<std::uint8_t> file;
  append(file, 1000, 12567, {1});
  append(file, 1100, 12567, {}, -1);
  append(file, 1200, 12567, {3});
  Player::Outcome outcome;
  auto sent = replay(file, &outcome);
  EXPECT_EQ(sent.size(), 2u);
  EXPECT_EQ(outcome.skipped, 1);
  EXPECT_EQ(outcome.end, ReadResult::kEnd);

  std::vector<std::uint8_t> oversized;
  append(oversized, 1000, 12567, {1});
  append(oversized, 1100, 12567, {}, 60001);
  sent = replay(oversized, &outcome);
  EXPECT_EQ(sent.size(), 1u);
  EXPECT_EQ(outcome.end, ReadResult::kDamaged);

  // Every cut inside the second record stops before it; nothing partial is sent.
  std::vector<std::uint8_t> two;
  append(two, 1000, 12567, {1, 2, 3});
  append(two, 1100, 12567, {4, 5, 6});
  std::size_t firstEnd = kRecordHeaderSize + 3;
  for (std::size_t n = firstEnd + 1; n < two.size(); ++n) {
    sent = replay(std::vector<std::uint8_t>(two.begin(), two.begin() + static_cast<long>(n)),
                  &outcome);
    EXPECT_EQ(sent.size(), 1u) << n;
    EXPECT_EQ(outcome.end, ReadResult::kCutShort) << n;
  }
}

class RecorderSocket : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* step = "";
    auto socket = net::openUdp(net::dottedAddress("127.3.7.1"), 0, &step);
    ASSERT_TRUE(socket);
    port_ = net::localPort(socket.fd());
    file_ = std::tmpfile();
    recorder_ = std::make_unique<Recorder>(file_, std::move(socket), clock_);
  }
  void TearDown() override { std::fclose(file_); }

  void sendFrom(std::uint16_t fromPort, const std::vector<std::uint8_t>& data) {
    const char* step = "";
    auto s = net::openUdp(net::dottedAddress("127.3.7.2"), fromPort, &step);
    ASSERT_TRUE(s);
    ASSERT_TRUE(net::sendTo(s, net::dottedAddress("127.3.7.1"), port_, data));
    ASSERT_TRUE(recorder_->recordOne(2000));
  }
  std::vector<std::uint8_t> contents() {
    std::vector<std::uint8_t> bytes;
    std::rewind(file_);
    int c;
    while ((c = std::fgetc(file_)) != EOF) bytes.push_back(static_cast<std::uint8_t>(c));
    return bytes;
  }

  clock::SimulatedClock clock_{7250};
  std::uint16_t port_ = 0;
  std::FILE* file_ = nullptr;
  std::unique_ptr<Recorder> recorder_;
};

TEST_F(RecorderSocket, RecordsSizesPortsAndTimes) {
  sendFrom(12569, {});
  EXPECT_EQ(contents().size(), 20u) << "an empty datagram is a bare record";
  clock_.advance(100);
  sendFrom(35001, std::vector<std::uint8_t>(60000, 7));
  auto bytes = contents();
  ASSERT_EQ(bytes.size(), 20u + 60020u);

  std::FILE* f = file_;
  std::rewind(f);
  DatagramRecord r;
  std::string why;
  ASSERT_EQ(readRecord(f, &r, &why), ReadResult::kRecord);
  EXPECT_EQ(r.port, 12567) << "the copy comes from the application's port + 2";
  EXPECT_EQ(r.length, 0);
  EXPECT_EQ(r.time.seconds, 7u);
  EXPECT_EQ(r.time.microseconds, 250000u);
  ASSERT_EQ(readRecord(f, &r, &why), ReadResult::kRecord);
  EXPECT_EQ(r.port, 34999);
  EXPECT_EQ(r.length, 60000);
  EXPECT_EQ(r.time.microseconds, 350000u);
  EXPECT_EQ(readRecord(f, &r, &why), ReadResult::kEnd);
}

}  // namespace
}  // namespace zep::archive
