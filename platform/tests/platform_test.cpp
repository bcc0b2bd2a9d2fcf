#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/bytes.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/host.h"
#include "platform/net.h"
#include "platform/process.h"

namespace zep {
namespace {

TEST(ByteReader, ErrorSticksOnceItRunsShort) {
  std::uint8_t data[] = {1, 2, 3};
  ByteReader r(data);
  EXPECT_EQ(r.u16(ByteOrder::kBig), 0x0102);
  EXPECT_EQ(r.u16(ByteOrder::kBig), 0);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.u8(), 0) << "the byte left is not read after a failed read";
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(ByteWriter, TextIsCutAndPadded) {
  ByteWriter w;
  w.text("abcdef", 4);
  EXPECT_EQ(w.data(), (std::vector<std::uint8_t>{'a', 'b', 'c', 0}));
}

TEST(Host, IdentityFromTheEnvironment) {
  ::setenv("ZEP_HOST", "127.3.4.5", 1);
  ::setenv("ZEP_USER", "alice", 1);
  auto id = host::identityFromEnvironment();
  EXPECT_EQ(id.address, net::dottedAddress("127.3.4.5"));
  EXPECT_EQ(id.bindAddress, id.address);
  EXPECT_EQ(id.userName, "alice");

  ::setenv("ZEP_USER", "a-login-name-of-twenty", 1);
  EXPECT_EQ(host::identityFromEnvironment().userName, "unknown");
  ::unsetenv("ZEP_HOST");
  ::unsetenv("ZEP_USER");
  auto real = host::identityFromEnvironment();
  EXPECT_EQ(real.bindAddress, net::kAnyAddress);
  if (host::firstInterfaceAddress() != net::kNoAddress && real.address != net::kNoAddress) {
    EXPECT_FALSE(host::isLoopback(real.address)) << "peers could not reach a loopback address";
  }
}

TEST(Host, ASlowNameLookupGivesTheDottedAddressAndEveryAnswerIsKept) {
  std::atomic<int> asked{0};
  host::NameCache cache(
      [&](net::Ipv4 a) {
        ++asked;
        if (a == net::dottedAddress("10.0.0.2")) clock::sleepMs(400);  // a silent name server
        return a == net::dottedAddress("10.0.0.3") ? std::string() : std::string("pc");
      },
      50);
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(cache.nameOf(net::dottedAddress("10.0.0.2")), "10.0.0.2");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(300))
      << "the caller is not held for the whole lookup";
  EXPECT_EQ(cache.nameOf(net::dottedAddress("10.0.0.1")), "pc");
  EXPECT_EQ(cache.nameOf(net::dottedAddress("10.0.0.3")), "10.0.0.3") << "no name";
  clock::sleepMs(500);  // the slow lookup has finished meanwhile
  EXPECT_EQ(cache.nameOf(net::dottedAddress("10.0.0.2")), "10.0.0.2") << "one name per address";
  EXPECT_EQ(cache.nameOf(net::dottedAddress("10.0.0.1")), "pc");
  EXPECT_EQ(asked, 3) << "each address is looked up once";
}

TEST(Net, SecondListenerOnTheSameAddressIsRefused) {
  const char* step = "";
  auto first = net::listenTcp(net::dottedAddress("127.3.9.1"), 5000, 5, &step);
  ASSERT_TRUE(first);
  auto second = net::listenTcp(net::dottedAddress("127.3.9.1"), 5000, 5, &step);
  EXPECT_FALSE(second);
  EXPECT_STREQ(step, "bind");
}

TEST(Net, OutgoingConnectionCarriesTheBoundAddress) {
  const char* step = "";
  auto listener = net::listenTcp(net::dottedAddress("127.3.9.2"), 5000, 5, &step);
  ASSERT_TRUE(listener);
  net::Socket client;
  ASSERT_EQ(net::connectTcp(net::dottedAddress("127.3.9.2"), 5000, net::dottedAddress("127.3.9.3"),
                            1000, &client),
            net::ConnectResult::kConnected);
  net::Ipv4 peer = 0;
  auto accepted = net::acceptTcp(listener, &peer);
  ASSERT_TRUE(accepted);
  EXPECT_EQ(peer, net::dottedAddress("127.3.9.3"));
  EXPECT_EQ(net::peerAddress(accepted.fd()), net::dottedAddress("127.3.9.3"));
}

// A refused connection was reported to the user as "Connection timed out".
TEST(Net, ARefusedConnectionFailsAndSaysItWasRefused) {
  net::Socket s;
  errno = 0;
  EXPECT_EQ(net::connectTcp(net::dottedAddress("127.3.9.4"), 5000, net::kAnyAddress, 1000, &s),
            net::ConnectResult::kFailed);
  EXPECT_EQ(errno, ECONNREFUSED);
  EXPECT_FALSE(s);
}

TEST(Net, ReadAllAndWriteAllResults) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  net::Socket a(fds[0]), b(fds[1]);
  char out[5] = "abcd", in[5] = {};
  EXPECT_EQ(net::writeAll(a.fd(), out, 4), 1);
  EXPECT_EQ(net::readAll(b.fd(), in, 4), 1);
  EXPECT_STREQ(in, "abcd");
  a.close();
  EXPECT_EQ(net::readAll(b.fd(), in, 4), 0);
  EXPECT_EQ(net::writeAll(b.fd(), out, 4), -1) << "the peer is gone";
}

TEST(Net, ReadSetReportsOnlyReadyHandles) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  net::Socket a(fds[0]), b(fds[1]);
  net::ReadSet set;
  set.add(a.fd());
  set.add(b.fd());
  EXPECT_EQ(set.wait(10), 0);
  ASSERT_EQ(net::writeAll(a.fd(), "x", 1), 1);
  EXPECT_EQ(set.wait(1000), 1);
  EXPECT_FALSE(set.readyAt(0));
  EXPECT_TRUE(set.readyAt(1));
  EXPECT_TRUE(set.isReady(b.fd()));
}

TEST(Event, NamedEventsAreSharedAndManualReset) {
  auto& e = event::named("platform-test", true);
  EXPECT_EQ(&e, &event::named("platform-test"));
  EXPECT_TRUE(e.take(0));
  EXPECT_FALSE(e.isSet()) << "taking resets it";
  EXPECT_FALSE(e.wait(10));
  std::thread setter([&] { e.set(); });
  EXPECT_TRUE(e.wait(5000));
  EXPECT_TRUE(e.wait(0)) << "stays set until reset";
  setter.join();
}

TEST(Process, ExitCodeTerminationAndFailure) {
  process::StartOptions options;
  options.args = {"-c", "exit 7"};
  std::string why;
  auto p = process::start("/bin/sh", options, &why);
  ASSERT_TRUE(p.started()) << why;
  ASSERT_TRUE(p.waitForExit(5000));
  EXPECT_EQ(p.exitCode(), 7);

  options.args = {"-c", "trap '' TERM; sleep 30"};
  auto stubborn = process::start("/bin/sh", options, &why);
  ASSERT_TRUE(stubborn.started());
  stubborn.terminate(100);
  EXPECT_FALSE(stubborn.running());

  auto missing = process::start("/no/such/program", {}, &why);
  EXPECT_FALSE(missing.started());
  EXPECT_FALSE(why.empty());
  missing.terminate();  // harmless
}

}  // namespace
}  // namespace zep
