// The recording file: a plain sequence of records, each a 20-byte little-endian header (reserved,
// arrival seconds, arrival microseconds, application port, data length) and the datagram.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/net.h"

namespace zep::archive {

inline constexpr std::size_t kRecordHeaderSize = 20;
inline constexpr std::int32_t kMaxRecordedLength = 60000;
inline constexpr const char* kRecordingName = "recorder.data";

struct RecordTime {
  std::uint32_t seconds = 0;
  std::uint32_t microseconds = 0;
  static RecordTime fromTicks(std::uint32_t ticks) { return {ticks / 1000, (ticks % 1000) * 1000}; }
};

// Milliseconds from b to a, with the microseconds difference truncated toward zero.
std::int64_t millisecondsBetween(RecordTime a, RecordTime b);

struct DatagramRecord {
  RecordTime time;
  std::int32_t port = 0;    // the application's port (source port of the copy − 2)
  std::int32_t length = 0;  // -1 for a failed receive
  std::vector<std::uint8_t> data;
};

std::string recordingPath(const std::string& installDirectory);

std::vector<std::uint8_t> encodeRecordHeader(const DatagramRecord& record);
// The header fields; data is left empty. Empty when fewer than 20 bytes are given.
std::optional<DatagramRecord> decodeRecordHeader(std::span<const std::uint8_t> bytes);

enum class ReadResult { kRecord, kEnd, kCutShort, kDamaged, kError };
// Reads the next record. kCutShort: the file ends inside a record (a recorder that was ended
// while writing leaves one such tail); kDamaged: a length is above 60000
// (*why says which); kError: the file reported an error.
ReadResult readRecord(std::FILE* file, DatagramRecord* record, std::string* why);

// Records every datagram that reaches its socket, appending and flushing one record each.
class Recorder {
 public:
  Recorder(std::FILE* file, net::Socket socket, clock::Clock& clock);
  // Waits up to timeoutMs for a datagram and records it; false when none came.
  bool recordOne(int timeoutMs);
  const net::Socket& socket() const { return socket_; }

 private:
  std::FILE* file_;
  net::Socket socket_;
  clock::Clock& clock_;
  std::vector<std::uint8_t> buffer_;
};

// Replays a recording with its recorded gaps, anchored at the first record.
class Player {
 public:
  using Send = std::function<void(std::uint16_t port, std::span<const std::uint8_t> datagram)>;
  Player(clock::Clock& clock, Send send) : clock_(clock), send_(std::move(send)) {}

  struct Outcome {
    ReadResult end = ReadResult::kEnd;
    std::string why;
    int sent = 0;
    int skipped = 0;  // records of failed receives
  };
  Outcome play(std::FILE* file);

 private:
  clock::Clock& clock_;
  Send send_;
};

}  // namespace zep::archive
