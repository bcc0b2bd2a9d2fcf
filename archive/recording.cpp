#include "archive/recording.h"

#include <poll.h>

#include <cerrno>
#include <cstring>

#include "platform/bytes.h"

namespace zep::archive {

std::int64_t millisecondsBetween(RecordTime a, RecordTime b) {
  std::int64_t us = static_cast<std::int64_t>(a.microseconds) - b.microseconds;
  std::int64_t s = static_cast<std::int64_t>(a.seconds) - b.seconds;
  return us / 1000 + s * 1000;
}

std::string recordingPath(const std::string& installDirectory) {
  return installDirectory + "/" + kRecordingName;
}

std::vector<std::uint8_t> encodeRecordHeader(const DatagramRecord& record) {
  ByteWriter w;
  w.u32(0, ByteOrder::kLittle);
  w.u32(record.time.seconds, ByteOrder::kLittle);
  w.u32(record.time.microseconds, ByteOrder::kLittle);
  w.i32(record.port, ByteOrder::kLittle);
  w.i32(record.length, ByteOrder::kLittle);
  return w.take();
}

std::optional<DatagramRecord> decodeRecordHeader(std::span<const std::uint8_t> bytes) {
  ByteReader r(bytes);
  DatagramRecord record;
  r.u32(ByteOrder::kLittle);  // reserved
  record.time.seconds = r.u32(ByteOrder::kLittle);
  record.time.microseconds = r.u32(ByteOrder::kLittle);
  record.port = r.i32(ByteOrder::kLittle);
  record.length = r.i32(ByteOrder::kLittle);
  if (!r.ok()) return std::nullopt;
  return record;
}

ReadResult readRecord(std::FILE* file, DatagramRecord* record, std::string* why) {
  std::uint8_t header[kRecordHeaderSize];
  std::size_t got = std::fread(header, 1, sizeof header, file);
  if (std::ferror(file)) return ReadResult::kError;
  if (got == 0) return ReadResult::kEnd;
  long offset = std::ftell(file) - static_cast<long>(got);
  if (got < sizeof header) {
    *why = "the file ends inside the record at byte " + std::to_string(offset);
    return ReadResult::kCutShort;
  }
  *record = *decodeRecordHeader(header);
  if (record->length > kMaxRecordedLength) {
    *why = "record at byte " + std::to_string(offset) + " claims " +
           std::to_string(record->length) + " bytes";
    return ReadResult::kDamaged;
  }
  if (record->length > 0) {
    record->data.resize(static_cast<std::size_t>(record->length));
    got = std::fread(record->data.data(), 1, record->data.size(), file);
    if (std::ferror(file)) return ReadResult::kError;
    if (got < record->data.size()) {
      *why = "the file ends inside the record at byte " + std::to_string(offset);
      return ReadResult::kCutShort;
    }
  }
  return ReadResult::kRecord;
}

Recorder::Recorder(std::FILE* file, net::Socket socket, clock::Clock& clock)
    : file_(file), socket_(std::move(socket)), clock_(clock), buffer_(kMaxRecordedLength) {}

bool Recorder::recordOne(int timeoutMs) {
  if (!socket_.valid()) {
    clock_.sleep(timeoutMs);
    return false;
  }
  pollfd p{socket_.fd(), POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return false;
  std::uint16_t fromPort = 0;
  long n = net::receiveFrom(socket_, buffer_, &fromPort);
  DatagramRecord record;
  record.time = RecordTime::fromTicks(clock_.now());
  record.port = static_cast<std::int32_t>(fromPort) - 2;
  record.length = n < 0 ? -1 : static_cast<std::int32_t>(n);
  auto header = encodeRecordHeader(record);
  bool ok = std::fwrite(header.data(), 1, header.size(), file_) == header.size();
  if (n > 0)
    ok = ok && std::fwrite(buffer_.data(), 1, static_cast<std::size_t>(n), file_) ==
                   static_cast<std::size_t>(n);
  // Flushed per record: a terminated recorder leaves every complete record on disk.
  ok = std::fflush(file_) == 0 && ok;
  if (!ok) std::fprintf(stderr, "Write error: %s\n", std::strerror(errno));
  return true;
}

Player::Outcome Player::play(std::FILE* file) {
  Outcome outcome;
  DatagramRecord record;
  bool first = true;
  std::uint64_t startMicros = 0;
  RecordTime recordedStart;
  for (;;) {
    ReadResult r = readRecord(file, &record, &outcome.why);
    if (r != ReadResult::kRecord) {
      outcome.end = r;
      return outcome;
    }
    if (record.length < 0) {
      // A receive that failed while recording: nothing to replay.
      outcome.skipped++;
      continue;
    }
    if (first) {
      first = false;
      startMicros = clock_.nowMicros();
      recordedStart = record.time;
    } else {
      // Anchored at the first record: a late send does not shift the ones after it.
      std::int64_t due = millisecondsBetween(record.time, recordedStart) * 1000;
      auto elapsed = static_cast<std::int64_t>(clock_.nowMicros() - startMicros);
      if (due - elapsed > 0) clock_.sleepMicros(due - elapsed);
    }
    std::span<const std::uint8_t> data(record.data.data(), static_cast<std::size_t>(record.length));
    send_(static_cast<std::uint16_t>(record.port), data);
    outcome.sent++;
  }
}

}  // namespace zep::archive
