#include "streamer/client.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "platform/host.h"
#include "streamer/request.h"

namespace zep::streamer {

StreamClient::StreamClient(StreamClientSettings settings)
    : settings_(std::move(settings)), buffer_(kStreamDatagramBytes) {}

StreamClient::~StreamClient() {
  stop();
}

void StreamClient::log(const char* text) {
  if (log_) log_->line("%s", text);
}

bool StreamClient::start() {
  log_ = std::make_unique<audio::PlayoutLog>(settings_.logPath, kReceiveErrorLinesPerSecond);
  running_ = true;
  const char* step = "";
  socket_ = net::openUdp(settings_.bindAddress, kStreamClientPort, &step);
  if (!socket_) {
    log(std::string_view(step) == "socket" ? "Client: cannot open socket\n"
                                           : "Client: cannot bind socket\n");
    return false;
  }
  // A server far ahead of playback may send a burst; let the system hold as much as it will.
  net::setReceiveBuffer(socket_, 1 << 20);
  server_ = host::lookupAddress(settings_.serverHost);

  audio::AudioMixer::Options options;
  options.openDevice = settings_.openDevice;
  options.showMessage = settings_.showMessage;
  options.logPath = settings_.mixerLogPath;
  options.logLinesPerSecond = kMixerLogLinesPerSecond;
  options.startClock = settings_.startMixerClock;
  mixer_ = std::make_unique<audio::AudioMixer>(audio::kStreamerPlayout, *settings_.clock,
                                               std::move(options));
  if (!mixer_->open()) {
    log("Client: there is no appropriate audio device\n");
    return false;
  }
  ring_ = mixer_->add_source(kStreamRingBytes);
  if (!ring_) {
    log("KS audio buffer init failed\n");
    return false;
  }

  wake_ = net::Socket(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  try {
    receiver_ = std::thread([this] { receive(); });
  } catch (const std::system_error&) {
    if (settings_.showMessage)
      settings_.showMessage("Error", "CreateThread error");
    else
      std::fprintf(stderr, "Error: CreateThread error\n");
  }

  if (server_ == net::kNoAddress) {
    // Sending to address 0 would reach this host instead; the request is not sent at all.
    std::fprintf(stderr, "Client: cannot find the stream server %s\n",
                 settings_.serverHost.c_str());
  } else if (auto request = encodeStreamRequest(settings_.clip)) {
    net::sendTo(socket_, server_, kStreamServerPort, *request);
    if (settings_.trace)
      std::fprintf(stderr, "Client: request sent at %llu us\n",
                   static_cast<unsigned long long>(settings_.clock->nowMicros()));
  }
  log("Client started\n");
  return true;
}

void StreamClient::receive() {
  net::ReadSet set;
  while (running_) {
    set.clear();
    set.add(socket_.fd());
    if (settings_.pollMs <= 0 && wake_) set.add(wake_.fd());
    if (set.wait(settings_.pollMs > 0 ? settings_.pollMs : kStopCheckMs) <= 0) continue;
    if (!running_ || !set.readyAt(0)) continue;
    net::Ipv4 from = net::kNoAddress;
    long n = net::receiveFrom(socket_, buffer_, nullptr, &from);
    const int error = errno;
    // Only the server that was asked may play here or write here. A datagram longer than
    // 1600 bytes is an error that still names its sender; other errors name nobody.
    const bool named = n >= 0 || error == EMSGSIZE;
    if (named && from != server_) {
      strangers_++;
      continue;
    }
    if (n < 0) {
      if (log_) log_->limitedLine("Client: recvfrom error: %d\n", error);
      errors_++;
      continue;
    }
    // Only whole samples: an odd last byte would shift every later sample by one byte.
    std::size_t whole = static_cast<std::size_t>(n) & ~std::size_t{1};
    if (whole == 0 || !ring_) continue;
    ring_->write_block(std::span(buffer_).first(whole));
    played_++;
  }
}

void StreamClient::stop() {
  running_ = false;
  if (receiver_.joinable()) {
    // Each wait of the receive thread is bounded, and the wake ends it at once.
    if (wake_) {
      std::uint64_t one = 1;
      [[maybe_unused]] auto written = ::write(wake_.fd(), &one, sizeof one);
    }
    receiver_.join();
  }
  socket_.close();
  wake_.close();
  if (mixer_) {
    mixer_->close();
    mixer_.reset();  // deletes the ring too
    ring_ = nullptr;
  }
  log_.reset();
}

}  // namespace zep::streamer
