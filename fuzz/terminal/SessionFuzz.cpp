// libFuzzer target: the simulated terminal's session fed a client's bytes, as a connection
// thread feeds it, without a socket. The first byte picks the receive size and the faults; the
// rest is the request stream. The terminal answers well-formed requests one by one with
// well-formed replies to the same operations, stops at the first request it refuses, and keeps
// a store that saves and loads back to itself with every user found under its number.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <vector>

#include "terminal/LinkProtocol.h"
#include "terminal/TerminalServer.h"
#include "terminal/TerminalStore.h"

namespace {

using namespace vantorix;
using TBytes = std::vector<std::uint8_t>;

void Require(bool condition) {
  if (!condition)
    std::abort();
}

// The operations of the well-formed requests at the front of the stream, in order.
std::vector<TLinkOp> RequestOps(std::span<const std::uint8_t> stream) {
  TFrameAssembler frames;
  frames.Feed(stream);
  std::vector<TLinkOp> ops;
  try {
    while (auto body = frames.Next()) {
      ops.push_back(DecodeRequest(*body).op);
    }
  } catch (const ELinkProtocolError&) {
  }
  return ops;
}

void RequireSoundStore(const TTerminalStore& store) {
  Require(TTerminalStore::Decode(store.Encode()) == store);
  for (const TStoredUser& user : store.Users()) {
    Require(!user.info.enrollNumber.empty());
    const TStoredUser* found = store.Find(user.info.enrollNumber);
    Require(found == &user);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  const std::uint8_t setup = data[0];
  const std::span<const std::uint8_t> stream(data + 1, size - 1);
  TTerminalOptions options;
  options.port = 0;
  options.commKey = setup & 0x80 ? 4370 : 0;
  options.demo = (setup & 0x40) != 0;
  TTerminalServer server(options);
  if (setup & 0x20)
    server.FailDeletions(setup & 0x10 ? -8 : 0);
  if (setup & 0x08)
    server.RefuseUser(u"1", -5);
  const std::size_t chunk = 1 + (setup & 0x07) * 5;

  TBytes out;
  {
    TTerminalServer::TLinkSession session(server);
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      if (!session.Feed(stream.subspan(at, std::min(chunk, stream.size() - at)), out))
        break;
    }
  }

  // Every reply is whole and answers the request at its position; a reply that closed the
  // session (a refused hello) is the last.
  const std::vector<TLinkOp> requests = RequestOps(stream);
  TFrameAssembler frames;
  frames.Feed(out);
  std::size_t replies = 0;
  while (auto body = frames.Next()) {
    const TLinkReply reply = DecodeReply(*body);  // a malformed reply escapes as a crash
    Require(replies < requests.size() && reply.op == requests[replies]);
    ++replies;
  }
  Require(frames.Empty());
  Require(server.RequestCount() >= static_cast<long>(replies));
  RequireSoundStore(server.Snapshot());
  return 0;
}
