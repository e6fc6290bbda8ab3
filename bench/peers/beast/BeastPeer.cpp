// The Boost.Beast peer of bench/run: the echo act of Vantorix on Beast's synchronous WebSocket
// stream with one thread per connection, and nlohmann/json (ordered, so members keep their order).
//
//   beast_peer [--port N]    (default 0: a free port on 127.0.0.1)
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cstdlib>
#include <iostream>
#include <list>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vantorix {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;
using TJson = nlohmann::ordered_json;

// A member read as text: a string as it is, a number or a boolean as its JSON text, anything
// else (missing, null) as the empty text. The load sends only strings here.
std::string Text(const TJson& command, const char* name) {
  const auto it = command.find(name);
  if (it == command.end()) {
    return {};
  }
  if (it->is_string()) {
    return it->get<std::string>();
  }
  if (it->is_number() || it->is_boolean()) {
    return it->dump();
  }
  return {};
}

// The reply to one message: "devices":[] appended when missing, "state2" set to the state,
// compact. Nothing when the message is not an echo command.
std::optional<std::string> EchoReply(const std::string& text) {
  TJson command = TJson::parse(text, nullptr, false);
  if (command.is_discarded() || !command.is_object() || Text(command, "act") != "echo") {
    return std::nullopt;
  }
  const std::string state = Text(command, "state");
  if (!command.contains("devices")) {
    command["devices"] = TJson::array();
  }
  command["state2"] = state;
  return command.dump();
}

// One client. Its own thread reads; any connection's thread writes to it under FWriteLock.
// Beast calls a shared stream unsafe; this relies on its read and write halves keeping separate
// state, which holds as long as no control frame has to be answered (the load sends none, and
// every reply is checked byte for byte by the load, which would show a clash).
struct TPeer {
  explicit TPeer(tcp::socket socket) : Stream(std::move(socket)) {}
  beast::websocket::stream<tcp::socket> Stream;
  std::mutex FWriteLock;
};

// Every connected client; a broadcast writes to each in turn from the sender's thread.
class TRoom {
 public:
  void Join(const std::shared_ptr<TPeer>& peer) {
    std::lock_guard lock(FLock);
    FPeers.push_back(peer);
  }
  void Leave(const std::shared_ptr<TPeer>& peer) {
    std::lock_guard lock(FLock);
    std::erase(FPeers, peer);
  }
  void Broadcast(const std::string& text) {
    std::vector<std::shared_ptr<TPeer>> peers;
    {
      std::lock_guard lock(FLock);
      peers = FPeers;
    }
    for (const auto& peer : peers) {
      std::lock_guard write(peer->FWriteLock);
      beast::error_code ignored;
      peer->Stream.write(asio::buffer(text), ignored);
    }
  }

 private:
  std::mutex FLock;
  std::vector<std::shared_ptr<TPeer>> FPeers;
};

void Serve(tcp::socket socket, TRoom& room) {
  const auto peer = std::make_shared<TPeer>(std::move(socket));
  try {
    {
      // Joined before the 101 goes out, with the write lock held until it has: a client that
      // has its answer is sure to get every later broadcast, and none comes before the answer.
      std::lock_guard write(peer->FWriteLock);
      room.Join(peer);
      peer->Stream.read_message_max(256 * 1024 * 1024);
      peer->Stream.auto_fragment(false);
      peer->Stream.text(true);
      peer->Stream.accept();
    }
    beast::flat_buffer buffer;
    for (;;) {
      peer->Stream.read(buffer);
      if (peer->Stream.got_text()) {
        if (const auto reply = EchoReply(beast::buffers_to_string(buffer.data()))) {
          room.Broadcast(*reply);
        }
      }
      buffer.consume(buffer.size());
    }
  } catch (const std::exception&) {
    // The client left or broke the protocol: the connection ends.
  }
  room.Leave(peer);
}

// The connection threads; finished ones are joined at the next accept.
class TSessions {
 public:
  ~TSessions() {
    for (auto& session : FSessions) {
      session.Thread.join();
    }
  }
  void Start(tcp::socket socket, TRoom& room) {
    std::erase_if(FSessions, [](TSession& s) {
      if (!s.Done) {
        return false;
      }
      s.Thread.join();
      return true;
    });
    TSession& session = FSessions.emplace_back();
    session.Thread = std::thread([&session, &room, socket = std::move(socket)]() mutable {
      Serve(std::move(socket), room);
      session.Done = true;
    });
  }

 private:
  struct TSession {
    std::thread Thread;
    std::atomic<bool> Done = false;
  };
  std::list<TSession> FSessions;
};

int Run(unsigned short port) {
  asio::io_context context(1);
  tcp::acceptor acceptor(context, tcp::endpoint(asio::ip::address_v4::loopback(), port));
  const tcp::endpoint bound = acceptor.local_endpoint();
  std::cout << "listening on " << bound.address().to_string() << ':' << bound.port() << std::endl;
  TRoom room;
  TSessions sessions;
  for (;;) {
    tcp::socket socket(context);
    beast::error_code error;
    acceptor.accept(socket, error);
    if (!error) {
      sessions.Start(std::move(socket), room);
    }
  }
}

}  // namespace
}  // namespace vantorix

int main(int argc, char** argv) {
  unsigned long port = 0;
  bool usable = argc == 1;
  if (argc == 3 && std::string(argv[1]) == "--port") {
    char* end = nullptr;
    port = std::strtoul(argv[2], &end, 10);
    usable = *argv[2] != '\0' && *end == '\0' && port <= 65535;
  }
  if (!usable) {
    std::cerr << "usage: beast_peer [--port N]\n";
    return 2;
  }
  return vantorix::Run(static_cast<unsigned short>(port));
}
