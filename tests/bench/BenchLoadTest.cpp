// The benchmark load client: masked frames, the reader of server frames, the echo commands and
// their expected replies, the server process wrapper, and a short load on vantorixd.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "bench/load/Bench.h"
#include "bench/load/EchoMessages.h"
#include "bench/load/LoadClient.h"
#include "bench/load/Scenarios.h"
#include "bench/load/ServerProcess.h"
#include "bench/load/WsFrames.h"
#include "json/JsonDocument.h"
#include "tests/websocket/ServerTestSupport.h"
#include "websocket/Utf8.h"
#include "websocket/WebSocketServer.h"

namespace vantorix {
namespace {

using namespace std::chrono_literals;

// A frame as a server would send it (never masked unless asked).
std::string ServerFrame(unsigned first, std::string_view payload, bool masked = false) {
  std::string frame(1, static_cast<char>(first));
  const std::size_t n = payload.size();
  const unsigned mask = masked ? 0x80 : 0;
  if (n <= 125) {
    frame.push_back(static_cast<char>(mask | n));
  } else if (n <= 0xFFFF) {
    frame.push_back(static_cast<char>(mask | 126));
    frame.push_back(static_cast<char>(n >> 8));
    frame.push_back(static_cast<char>(n));
  } else {
    frame.push_back(static_cast<char>(mask | 127));
    for (int i = 7; i >= 0; --i) {
      frame.push_back(static_cast<char>(n >> (8 * i)));
    }
  }
  if (masked) {
    frame.append(4, '\0');
  }
  return frame.append(payload);
}

std::string Pattern(std::size_t n) {
  std::string text(n, '\0');
  for (std::size_t i = 0; i < n; ++i) {
    text[i] = static_cast<char>('a' + i % 26);
  }
  return text;
}

// Feeds `stream` to a reader in pieces of `piece` bytes and collects the messages.
std::vector<std::string> ReadAll(const std::string& stream, std::size_t piece) {
  TFrameReader reader;
  std::vector<std::string> messages;
  for (std::size_t at = 0; at < stream.size(); at += piece) {
    const std::size_t n = std::min(piece, stream.size() - at);
    std::copy_n(stream.data() + at, n, reader.WriteArea(n));
    reader.Commit(n);
    std::string_view message;
    while (reader.Next(message)) {
      messages.emplace_back(message);
    }
  }
  EXPECT_EQ(reader.Pending(), 0u);
  return messages;
}

TEST(MaskedTextFrame, HeaderLengthFormAndMaskFollowRfc6455) {
  struct TCase {
    std::size_t Size;
    std::vector<unsigned> Header;  // before the key
  };
  const TCase cases[] = {
      {0, {0x81, 0x80}},
      {125, {0x81, 0xFD}},
      {126, {0x81, 0xFE, 0x00, 0x7E}},
      {65535, {0x81, 0xFE, 0xFF, 0xFF}},
      {65536, {0x81, 0xFF, 0, 0, 0, 0, 0, 0x01, 0x00, 0x00}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Size);
    const std::string payload = Pattern(c.Size);
    std::string frame = "prefix";
    AppendMaskedText(frame, payload, 0xA1B2C3D4u);
    ASSERT_EQ(frame.size(), 6 + MaskedFrameSize(c.Size));
    const auto* p = reinterpret_cast<const unsigned char*>(frame.data() + 6);
    for (std::size_t i = 0; i < c.Header.size(); ++i) {
      EXPECT_EQ(p[i], c.Header[i]) << "header byte " << i;
    }
    const unsigned char* key = p + c.Header.size();
    EXPECT_EQ(std::vector<unsigned>(key, key + 4), (std::vector<unsigned>{0xA1, 0xB2, 0xC3, 0xD4}));
    std::string unmasked(c.Size, '\0');
    for (std::size_t i = 0; i < c.Size; ++i) {
      unmasked[i] = static_cast<char>(key[4 + i] ^ key[i % 4]);
    }
    EXPECT_EQ(unmasked, payload);
  }
}

TEST(FrameReader, GivesEveryMessageWholeHoweverTheBytesArrive) {
  const std::vector<std::size_t> sizes = {0, 5, 125, 126, 300, 65535, 65536, 70000};
  std::string stream;
  std::vector<std::string> want;
  for (const std::size_t n : sizes) {
    want.push_back(Pattern(n) + std::to_string(n));
    stream += ServerFrame(0x81, want.back());
  }
  // A message in three fragments between two whole ones.
  stream += ServerFrame(0x01, "frag") + ServerFrame(0x00, "men") + ServerFrame(0x80, "ted");
  want.push_back("fragmented");
  stream += ServerFrame(0x81, "last");
  want.push_back("last");
  for (const std::size_t piece :
       {std::size_t{1}, std::size_t{3}, std::size_t{1000}, stream.size()}) {
    SCOPED_TRACE(piece);
    EXPECT_EQ(ReadAll(stream, piece), want);
  }
}

TEST(FrameReader, GivesNothingBeforeTheLastByteOfAMessage) {
  for (const std::size_t n : {std::size_t{10}, std::size_t{300}, std::size_t{70000}}) {
    const std::string frame = ServerFrame(0x81, Pattern(n));
    for (std::size_t cut = 0; cut < frame.size(); cut += cut < 16 ? 1 : 997) {
      TFrameReader reader;
      std::copy_n(frame.data(), cut, reader.WriteArea(cut));
      reader.Commit(cut);
      std::string_view message;
      EXPECT_FALSE(reader.Next(message)) << n << " bytes cut at " << cut;
      std::copy_n(frame.data() + cut, frame.size() - cut, reader.WriteArea(frame.size() - cut));
      reader.Commit(frame.size() - cut);
      ASSERT_TRUE(reader.Next(message)) << n << " bytes cut at " << cut;
      EXPECT_EQ(message, Pattern(n));
    }
  }
}

TEST(FrameReader, RejectsFramesTheLoadNeverAskedFor) {
  const struct {
    const char* What;
    std::string Stream;
  } cases[] = {
      {"masked", ServerFrame(0x81, "x", true)},
      {"binary", ServerFrame(0x82, "x")},
      {"close", ServerFrame(0x88, "")},
      {"ping", ServerFrame(0x89, "")},
      {"pong", ServerFrame(0x8A, "")},
      {"reserved bit", ServerFrame(0xC1, "x")},
      {"continuation first", ServerFrame(0x80, "x")},
      {"text inside a fragmented message", ServerFrame(0x01, "a") + ServerFrame(0x81, "b")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    EXPECT_THROW(ReadAll(c.Stream, c.Stream.size()), EBenchError);
  }
}

// The expected reply must be what our own JSON code makes of the command (the other servers are
// checked against the same bytes when the benchmark runs).
TEST(EchoMessages, ExpectedReplyIsWhatTheEchoActWrites) {
  for (const std::size_t size : {kMinEchoSize, std::size_t{1000}, std::size_t{1} << 20}) {
    SCOPED_TRACE(size);
    const std::string request = EchoRequest("b", 123456789012, size);
    ASSERT_EQ(request.size(), size);
    const auto document = TJsonNode::Parse(Utf8Decode(request));
    auto& command = dynamic_cast<TJsonObject&>(*document);
    EXPECT_EQ(command.GetString(u"pad").substr(0, 12), u"\"quoted\"\n\u00E9\u20AC ");
    EXPECT_EQ(command.GetString(u"seq"), u"123456789012");
    command.GetArray(u"devices");
    command.SetString(u"state2", command.GetString(u"state"));
    const std::string reply = EchoReply(request);
    EXPECT_EQ(reply, Utf8EncodeString(command.ToJSON(true)));
    EXPECT_EQ(reply.size(), EchoReplySize(size, std::string("b123456789012").size()));
  }
  EXPECT_THROW(EchoRequest("q", 1, 50), std::invalid_argument);
  EXPECT_EQ(EchoReply(R"({"act":"other"})"), "");
}

TEST(ExpectReply, NamesTheFirstDifferingByte) {
  EXPECT_NO_THROW(ExpectReply("same bytes", "same bytes", "test"));
  for (const auto& [got, at] : {std::pair{"same bytez", 9}, {"same", 4}, {"same bytes!", 10}}) {
    try {
      ExpectReply(got, "same bytes", "test");
      ADD_FAILURE() << got << " passed";
    } catch (const EBenchError& e) {
      EXPECT_NE(std::string(e.what()).find("at byte " + std::to_string(at)), std::string::npos)
          << e.what();
    }
  }
}

TEST(ServerProcess, LearnsThePortOrSaysWhyNot) {
  {
    TServerProcess server("sh", {"sh", "-c",
                                 "echo starting; echo listening on 127.0.0.1:4242; "
                                 "exec sleep 30"});
    EXPECT_EQ(server.Port(), 4242);
    EXPECT_TRUE(server.Running());
    EXPECT_GT(server.ResidentBytes(), 0u);
    EXPECT_EQ(server.Threads(), 1);
  }  // SIGTERM ends the sleep at once.
  try {
    TServerProcess server("sh", {"sh", "-c", "echo no port here; exit 3"});
    ADD_FAILURE() << "no error";
  } catch (const EBenchError& e) {
    EXPECT_NE(std::string(e.what()).find("no port here"), std::string::npos) << e.what();
  }
  EXPECT_THROW(TServerProcess("none", {"/nonexistent/server"}), EBenchError);
  // A line without a port fails at once rather than after the whole wait.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(TServerProcess("sh", {"sh", "-c", "echo listening on nowhere; exec sleep 30"}),
               EBenchError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
}

// A short run of every scenario on vantorixd: each throws when a reply differs by one byte.
TEST(Scenarios, RunOnVantorixWithEveryReplyAsExpected) {
  TServerProcess server("vantorixd", {VANTORIXD_PATH, "--port", "0", "--loopback"});
  TLoadSettings load;
  load.Duration = 200ms;
  load.IdleConnections = 20;
  load.BigSize = 1 << 20;
  load.BigRepetitions = 1;
  EXPECT_GT(SequentialEchoes(server.Port(), load).Operations, 0u);
  EXPECT_GT(PipelinedEchoes(server.Port(), load).Operations, load.PipelineWindow);
  const TRate broadcast = Broadcast(server.Port(), 3, load);
  EXPECT_GT(broadcast.Operations, 0u);
  EXPECT_EQ(broadcast.Operations % 3, 0u);
  EXPECT_GT(Handshakes(server.Port(), load).Operations, 0u);
  const TIdleMemory memory = IdleConnections(server, load);
  EXPECT_GT(memory.WithMB, 0);
  EXPECT_GT(BigEchoMBps(server.Port(), load), 0);
  EXPECT_TRUE(server.Running());
}

TEST(Scenarios, RawLimitsMoveTheBytes) {
  TLoadSettings load;
  load.Duration = 100ms;
  load.BigSize = 1 << 20;
  load.BigRepetitions = 1;
  EXPECT_GT(RawPingPong(load).Operations, 0u);
  EXPECT_GT(RawTransferMBps(load), 0);
}

TEST(BenchOptions, QuickAndExplicitSettings) {
  const std::vector<std::string> server = {"--server", "Ours=prog --port 0 --flag"};
  TBenchOptions options = ParseBenchOptions(server);
  ASSERT_EQ(options.Servers.size(), 1u);
  EXPECT_EQ(options.Servers[0].Name, "Ours");
  EXPECT_EQ(options.Servers[0].Command,
            (std::vector<std::string>{"prog", "--port", "0", "--flag"}));
  EXPECT_EQ(options.Repeat, 3);
  EXPECT_EQ(options.Receivers.size(), 5u);

  auto args = server;
  args.insert(args.end(), {"--quick", "--receivers", "5,50", "--only", "seq,bc5"});
  options = ParseBenchOptions(args);
  EXPECT_EQ(options.Repeat, 1);
  EXPECT_LT(options.Load.Duration, 1s);
  EXPECT_EQ(options.Receivers, (std::vector<std::size_t>{5, 50}));
  EXPECT_EQ(options.Only, (std::vector<std::string>{"seq", "bc5"}));

  for (const auto& bad : std::vector<std::vector<std::string>>{{},
                                                               {"--quick"},
                                                               {"--server", "=prog"},
                                                               {"--server", "noequals"},
                                                               {"--repeat"},
                                                               {"--server", "A=b", "--unknown"}}) {
    EXPECT_THROW(ParseBenchOptions(bad), std::invalid_argument) << ::testing::PrintToString(bad);
  }
}

// A server whose echo replies are off by their last byte, on this process's own WebSocket
// server; the "program" started for it only prints its port.
class TOffByOneServer {
 public:
  TOffByOneServer() {
    FServer.OnExecute = [](TConnectionContext* context) {
      TIOHandler& io = *context->Connection->IOHandler;
      if (io.InputBufferIsEmpty()) {
        io.CheckForData(10);
      }
      TWebSocketIOHandlerHelper helper(io);
      const std::u16string text = helper.ReadString();
      if (!text.empty()) {
        std::string reply = EchoReply(Utf8EncodeString(text));
        reply.back() = ']';
        helper.WriteString(Utf8Decode(reply));
      }
    };
    FPort = test::StartOnLoopback(FServer);
  }
  TServerSpec Spec() const {
    return {
        "Off by one",
        {"sh", "-c", "echo listening on 127.0.0.1:" + std::to_string(FPort) + "; exec sleep 60"}};
  }

 private:
  TWebSocketServer FServer;
  std::uint16_t FPort = 0;
};

TEST(RunBench, PrintsOursBesideAPeerAndFailsThePeerThatAnswersWrongly) {
  TOffByOneServer wrong;
  TBenchOptions options;
  options.Servers = {{"Ours", {VANTORIXD_PATH, "--port", "0", "--loopback"}}, wrong.Spec()};
  options.Only = {"seq", "raw-ping"};
  options.Repeat = 1;
  options.Load.Duration = 200ms;
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(RunBench(options, out, err), 1);
  EXPECT_NE(err.str().find("seq on Off by one: sequential echo: reply of"), std::string::npos)
      << err.str();
  const std::string table = out.str();
  const std::size_t row = table.find("| one client, sequential 100-byte echoes (round trips/s) | ");
  ASSERT_NE(row, std::string::npos) << table;
  const std::string line = table.substr(row, table.find('\n', row) - row);
  EXPECT_TRUE(line.ends_with(" | failed | failed |")) << line;
  // Only the peer's figure and the ratio to it: ours was measured.
  EXPECT_EQ(line.find("failed"), line.size() - std::string_view("failed | failed |").size())
      << line;
  EXPECT_NE(table.find("| raw TCP ping-pong, same frame sizes (round trips/s) | "),
            std::string::npos)
      << table;
}

}  // namespace
}  // namespace vantorix
