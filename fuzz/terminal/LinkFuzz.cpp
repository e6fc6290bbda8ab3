// libFuzzer target: arbitrary bytes through the link frame assembler and both decoders.
// Whatever decodes must re-encode to the very bytes it came from and decode to the same message;
// feeding the stream in pieces must cut the same frames as feeding it at once.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <vector>

#include "terminal/LinkProtocol.h"

namespace {

using TBytes = std::vector<std::uint8_t>;

void Require(bool condition) {
  if (!condition)
    std::abort();
}

TBytes Framed(std::span<const std::uint8_t> body) {
  vantorix::TLinkWriter w;
  w.U32(static_cast<std::uint32_t>(body.size()));
  auto& out = w.Bytes();
  out.insert(out.end(), body.begin(), body.end());
  return std::move(out);
}

// Every field is written in exactly one way, so a decoded body re-encodes byte for byte.
void CheckBody(std::span<const std::uint8_t> body) {
  try {
    const vantorix::TLinkRequest request = vantorix::DecodeRequest(body);
    const TBytes frame = vantorix::EncodeRequest(request);
    Require(frame == Framed(body));
    Require(vantorix::DecodeRequest(std::span(frame).subspan(vantorix::kLinkHeaderSize)) ==
            request);
  } catch (const vantorix::ELinkProtocolError&) {
  }
  try {
    const vantorix::TLinkReply reply = vantorix::DecodeReply(body);
    const TBytes frame = vantorix::EncodeReply(reply);
    Require(frame == Framed(body));
    Require(vantorix::DecodeReply(std::span(frame).subspan(vantorix::kLinkHeaderSize)) == reply);
  } catch (const vantorix::ELinkProtocolError&) {
  }
}

struct TCut {
  std::vector<TBytes> bodies;
  bool refused = false;  // an oversized length stopped the stream
};

// Drains every complete frame; an oversized length throws and ends the stream for good.
bool Drain(vantorix::TFrameAssembler& assembler, TCut& cut) {
  try {
    while (std::optional<TBytes> body = assembler.Next()) {
      cut.bodies.push_back(std::move(*body));
    }
  } catch (const vantorix::ELinkProtocolError&) {
    cut.refused = true;
    return false;
  }
  return true;
}

// Feeds the stream in pieces of `step` bytes (0: all at once), draining after each piece.
TCut Cut(std::span<const std::uint8_t> stream, std::size_t step) {
  vantorix::TFrameAssembler assembler;
  TCut cut;
  if (step == 0)
    step = stream.size() + 1;
  for (std::size_t at = 0; at < stream.size(); at += step) {
    assembler.Feed(stream.subspan(at, std::min(step, stream.size() - at)));
    if (!Drain(assembler, cut))
      return cut;
  }
  Drain(assembler, cut);
  return cut;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  CheckBody(input);

  const TCut whole = Cut(input, 0);
  std::size_t framed = 0;
  for (const TBytes& body : whole.bodies) {
    Require(body.size() <= vantorix::kLinkMaxFrame);
    framed += vantorix::kLinkHeaderSize + body.size();
    CheckBody(body);
  }
  Require(framed <= size);
  // The frames cut must be exactly the leading bytes of the stream, in order.
  TBytes joined;
  for (const TBytes& body : whole.bodies) {
    const TBytes frame = Framed(body);
    joined.insert(joined.end(), frame.begin(), frame.end());
  }
  Require(std::equal(joined.begin(), joined.end(), input.begin()));

  for (const std::size_t step : {std::size_t{1}, std::size_t{3}, std::size_t{7}}) {
    const TCut pieces = Cut(input, step);
    Require(pieces.bodies == whole.bodies);
    Require(pieces.refused == whole.refused);
  }
  return 0;
}
