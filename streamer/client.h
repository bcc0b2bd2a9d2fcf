// The stream client: asks an audio stream server for one clip and plays every datagram that
// arrives from that server's address through the jitter-buffered playout (1600-sample blocks,
// two output headers, a 200 ms clock) from one ring of 1000000 bytes. Datagrams from any other
// address are dropped unseen. Its messages go to client.log.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/playout.h"
#include "platform/net.h"

namespace zep::streamer {

inline constexpr std::size_t kStreamRingBytes = 1000000;
// With the event-driven wait, the receive thread still looks at its stop flag this often.
inline constexpr int kStopCheckMs = 500;
// Logs that a sender can fill: receive errors in client.log and the per-datagram lines of
// ksa.log are written at most this often a second, the rest only counted.
inline constexpr int kReceiveErrorLinesPerSecond = 1;
inline constexpr int kMixerLogLinesPerSecond = 100;

struct StreamClientSettings {
  std::string serverHost = "localhost";
  std::string clip = "clip.aud";
  net::Ipv4 bindAddress = net::kAnyAddress;  // this host's address when ZEP_HOST names one
  std::string logPath = "client.log";
  std::string mixerLogPath = "ksa.log";
  clock::Clock* clock = nullptr;
  audio::AudioMixer::OpenDevice openDevice;    // the loudspeaker
  audio::AudioMixer::ShowMessage showMessage;  // message boxes; standard error when empty
  bool startMixerClock = true;                 // false: the caller steps the mixer (tests)
  // How the receive thread waits: 0, until a datagram or the stop arrives; N > 0, it looks
  // every N ms, as the classic client did with 1 ms (kept for measuring what that costs).
  int pollMs = 0;
  // Says on standard error when the request went out (monotonic microseconds), so delays can
  // be measured against the loudspeaker's timeline (ZEP_TRACE=1).
  bool trace = false;
};

class StreamClient {
 public:
  explicit StreamClient(StreamClientSettings settings);
  ~StreamClient();
  StreamClient(const StreamClient&) = delete;
  StreamClient& operator=(const StreamClient&) = delete;

  // The start steps; false when one failed, with the reason in client.log. The caller then
  // stops the client.
  bool start();
  // Stops the receive thread and waits for it, then releases the socket, the playout and the
  // log. Safe to call more than once.
  void stop();

  audio::AudioMixer* mixer() { return mixer_.get(); }
  audio::PlayoutRing* ring() { return ring_; }
  // Datagrams put into the ring, datagrams lost as receive errors, and datagrams dropped
  // because they came from another address than the server's.
  std::uint64_t datagramsPlayed() const { return played_; }
  std::uint64_t receiveErrors() const { return errors_; }
  std::uint64_t strangerDatagrams() const { return strangers_; }

 private:
  void receive();
  void log(const char* text);

  StreamClientSettings settings_;
  std::unique_ptr<audio::PlayoutLog> log_;
  net::Ipv4 server_ = net::kNoAddress;  // the only address whose datagrams are played
  std::atomic<bool> running_{false};
  net::Socket socket_;
  net::Socket wake_;  // an eventfd that the stop writes, so the wait ends at once
  std::unique_ptr<audio::AudioMixer> mixer_;
  audio::PlayoutRing* ring_ = nullptr;
  std::thread receiver_;
  std::vector<std::uint8_t> buffer_;
  std::atomic<std::uint64_t> played_{0};
  std::atomic<std::uint64_t> errors_{0};
  std::atomic<std::uint64_t> strangers_{0};
};

}  // namespace zep::streamer
