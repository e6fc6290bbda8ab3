// The system socket layer on real loopback sockets, on POSIX and on Winsock alike: listening,
// the Winsock codes of its failures, waits that another thread's Close() ends, a reader and a
// writer waiting on one socket at once, and a send that waits no longer than asked.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/SocketApi.h"
#include "net/SocketErrors.h"

namespace vantorix {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

// Generous bounds for a loaded machine, where every wait here is expected to end.
constexpr auto kWake = 5s;

std::string Text(const std::u16string& text) {
  return std::string(text.begin(), text.end());
}

// A listener on 127.0.0.1 and a free port, with one connection to it, accepted.
struct TConnectedPair {
  TConnectedPair() {
    Listener = PlatformSocketApi().OpenListener(TIPVersion::IPv4);
    Listener->Bind(u"127.0.0.1", 0);
    Listener->Listen(15);
    Client = PlatformSocketApi().Connect({TIPVersion::IPv4, u"127.0.0.1", Port()}, 5000);
    Server = Listener->Accept(5000);
  }
  std::uint16_t Port() const { return Listener->LocalAddress().Port; }

  std::unique_ptr<TListenSocket> Listener;
  std::unique_ptr<TStreamSocket> Client;
  std::unique_ptr<TStreamSocket> Server;
};

// Sends until the socket takes nothing more; gives the count.
std::size_t Fill(TStreamSocket& socket) {
  const std::vector<std::uint8_t> block(64 * 1024, 0x5A);
  std::size_t sent = 0;
  for (;;) {
    const std::ptrdiff_t n = socket.Send(block.data(), block.size());
    if (n == kWouldBlock) {
      return sent;
    }
    sent += static_cast<std::size_t>(n);
  }
}

// Receives until count bytes came (or the peer ended the stream); gives what came.
std::size_t Drain(TStreamSocket& socket, std::size_t count) {
  std::vector<std::uint8_t> buffer(64 * 1024);
  std::size_t got = 0;
  while (got < count && socket.WaitReadable(5000)) {
    const std::ptrdiff_t n = socket.Receive(buffer.data(), buffer.size());
    if (n == 0) {
      break;
    }
    got += n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  return got;
}

int ErrorCode(const std::function<void()>& call) {
  try {
    call();
  } catch (const TSocketError& e) {
    return e.Code();
  }
  return 0;
}

TEST(SocketApiTest, AcceptedConnectionsKnowTheAddressTheyCameIn) {
  // A listener on one address names it without asking; one on the any-address must ask, and
  // must not give the any-address itself.
  for (const std::u16string_view bound : {u"127.0.0.1", u""}) {
    SCOPED_TRACE(Text(std::u16string(bound)));
    auto listener = PlatformSocketApi().OpenListener(TIPVersion::IPv4);
    listener->Bind(std::u16string(bound), 0);
    listener->Listen(15);
    const std::uint16_t port = listener->LocalAddress().Port;
    for (int i = 0; i < 2; ++i) {
      auto client = PlatformSocketApi().Connect({TIPVersion::IPv4, u"127.0.0.1", port}, 5000);
      auto server = listener->Accept(5000);
      ASSERT_NE(server, nullptr);
      EXPECT_EQ(Text(server->LocalAddress().IP), "127.0.0.1");
      EXPECT_EQ(server->LocalAddress().Port, port);
      EXPECT_EQ(server->PeerAddress().Port, client->LocalAddress().Port);
    }
  }
}

TEST(SocketApiTest, ListensConnectsAndNamesBothEnds) {
  TConnectedPair pair;
  ASSERT_NE(pair.Client, nullptr);
  ASSERT_NE(pair.Server, nullptr);
  EXPECT_EQ(Text(pair.Server->LocalAddress().IP), "127.0.0.1");
  EXPECT_EQ(pair.Server->LocalAddress().Port, pair.Port());
  EXPECT_EQ(pair.Server->PeerAddress().Port, pair.Client->LocalAddress().Port);
  EXPECT_EQ(Text(pair.Client->PeerAddress().IP), "127.0.0.1");

  const std::uint8_t hello[] = {'h', 'i'};
  pair.Client->SetNoDelay();
  ASSERT_EQ(pair.Client->Send(hello, 2), 2);
  ASSERT_TRUE(pair.Server->WaitReadable(5000));
  std::uint8_t got[8] = {};
  EXPECT_EQ(pair.Server->Receive(got, sizeof got, true), 2) << "peeked";
  EXPECT_EQ(pair.Server->Receive(got, sizeof got), 2);
  EXPECT_EQ(pair.Server->Receive(got, sizeof got), kWouldBlock);
  EXPECT_FALSE(pair.Server->WaitReadable(50));

  pair.Client->Close();
  ASSERT_TRUE(pair.Server->WaitReadable(5000));
  EXPECT_EQ(pair.Server->Receive(got, sizeof got), 0) << "end of stream";

  if (PlatformSocketApi().HasIPv6()) {
    std::unique_ptr<TListenSocket> v6 = PlatformSocketApi().OpenListener(TIPVersion::IPv6);
    v6->Bind(u"::1", 0);
    v6->Listen(15);
    const std::uint16_t port = v6->LocalAddress().Port;
    std::unique_ptr<TStreamSocket> client =
        PlatformSocketApi().Connect({TIPVersion::IPv6, u"::1", port}, 5000);
    std::unique_ptr<TStreamSocket> server = v6->Accept(5000);
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(Text(server->PeerAddress().IP), "0:0:0:0:0:0:0:1");
    EXPECT_EQ(server->PeerAddress().Version, TIPVersion::IPv6);
  }
}

TEST(SocketApiTest, FailuresCarryTheWinsockCodes) {
  TConnectedPair pair;
  // A second listener on a port in use, whatever the address it binds.
  for (const std::u16string address : {u"127.0.0.1", u""}) {
    std::unique_ptr<TListenSocket> second = PlatformSocketApi().OpenListener(TIPVersion::IPv4);
    EXPECT_EQ(ErrorCode([&] {
                second->Bind(address, pair.Port());
                second->Listen(15);
              }),
              kWsaEAddrInUse)
        << Text(address);
  }
  // An IPv6 listener on the same port stands beside the IPv4 one.
  if (PlatformSocketApi().HasIPv6()) {
    std::unique_ptr<TListenSocket> v6 = PlatformSocketApi().OpenListener(TIPVersion::IPv6);
    EXPECT_EQ(ErrorCode([&] {
                v6->Bind(u"", pair.Port());
                v6->Listen(15);
              }),
              0);
  }
  EXPECT_EQ(ErrorCode([&] { PlatformSocketApi().OpenListener(TIPVersion::IPv4)->Bind(u"no", 0); }),
            kWsaEAddrNotAvail);

  // Nothing listens once the listener is gone: refused at once.
  const std::uint16_t port = pair.Port();
  pair.Listener->Close();
  const auto start = TClock::now();
  EXPECT_EQ(ErrorCode([&] {
              PlatformSocketApi().Connect({TIPVersion::IPv4, u"127.0.0.1", port}, 5000);
            }),
            kWsaEConnRefused);
  EXPECT_LT(TClock::now() - start, 4s);

  // After Close, calls report the socket shut down.
  pair.Server->Close();
  std::uint8_t byte = 0;
  EXPECT_EQ(ErrorCode([&] { pair.Server->Receive(&byte, 1); }), kWsaEShutdown);
  EXPECT_EQ(ErrorCode([&] { pair.Server->Send(&byte, 1); }), kWsaEShutdown);
  EXPECT_FALSE(pair.Server->IsOpen());
  EXPECT_TRUE(pair.Server->WaitReadable(-1)) << "a closed socket waits for nothing";
}

// Close() from another thread ends every wait on the socket at once: a reader, a writer whose
// peer reads nothing, and an accept.
TEST(SocketApiTest, CloseFromAnotherThreadEndsEveryWait) {
  TConnectedPair pair;
  ASSERT_NE(pair.Server, nullptr);
  Fill(*pair.Server);
  auto reader = std::async(std::launch::async, [&] { return pair.Server->WaitReadable(-1); });
  auto writer = std::async(std::launch::async, [&] { return pair.Server->WaitWritable(-1); });
  auto acceptor = std::async(std::launch::async, [&] { return pair.Listener->Accept(-1); });
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(reader.wait_for(0s), std::future_status::timeout) << "nothing to read yet";
  EXPECT_EQ(writer.wait_for(0s), std::future_status::timeout) << "nothing read by the peer";
  EXPECT_EQ(acceptor.wait_for(0s), std::future_status::timeout) << "nobody connects";

  const auto start = TClock::now();
  pair.Server->Close();
  pair.Listener->Close();
  ASSERT_EQ(reader.wait_for(kWake), std::future_status::ready);
  ASSERT_EQ(writer.wait_for(kWake), std::future_status::ready);
  ASSERT_EQ(acceptor.wait_for(kWake), std::future_status::ready);
  EXPECT_LT(TClock::now() - start, kWake);
  EXPECT_TRUE(reader.get());
  EXPECT_TRUE(writer.get());
  EXPECT_EQ(acceptor.get(), nullptr);
}

// A reader and a writer wait on one socket at once; each is woken by what it waits for, whatever
// the other one's wait takes.
TEST(SocketApiTest, AReaderAndAWriterOnOneSocketEachWakeForTheirOwnEvent) {
  TConnectedPair pair;
  ASSERT_NE(pair.Server, nullptr);
  const std::size_t queued = Fill(*pair.Server);
  std::atomic<bool> readerWoke{false};
  auto reader = std::async(std::launch::async, [&] {
    const bool ready = pair.Server->WaitReadable(20000);
    readerWoke = true;
    return ready;
  });
  auto writer = std::async(std::launch::async, [&] { return pair.Server->WaitWritable(20000); });
  std::this_thread::sleep_for(200ms);

  // The peer reads: room to send, nothing to read.
  EXPECT_EQ(Drain(*pair.Client, queued), queued);
  ASSERT_EQ(writer.wait_for(kWake), std::future_status::ready);
  EXPECT_TRUE(writer.get());
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(readerWoke) << "the reader woke without bytes";

  // The peer sends: the reader wakes.
  const std::uint8_t byte = 7;
  ASSERT_EQ(pair.Client->Send(&byte, 1), 1);
  ASSERT_EQ(reader.wait_for(kWake), std::future_status::ready);
  EXPECT_TRUE(reader.get());
  std::uint8_t got = 0;
  EXPECT_EQ(pair.Server->Receive(&got, 1), 1);
  EXPECT_EQ(got, 7);
}

// A peer that reads nothing: the socket takes a bounded amount, then a wait to send ends after
// its time-out rather than never.
TEST(SocketApiTest, AWaitToSendEndsAfterItsTimeOut) {
  TConnectedPair pair;
  ASSERT_NE(pair.Server, nullptr);
  const std::size_t queued = Fill(*pair.Server);
  EXPECT_GT(queued, 0u);
  EXPECT_LT(queued, std::size_t{256} << 20) << "a socket that never fills";
  const auto start = TClock::now();
  EXPECT_FALSE(pair.Server->WaitWritable(300));
  const auto took = TClock::now() - start;
  EXPECT_GE(took, 250ms);
  EXPECT_LT(took, kWake);
}

}  // namespace
}  // namespace vantorix
