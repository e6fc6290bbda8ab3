// Echo commands of a chosen size and their expected replies.
#include "bench/load/EchoMessages.h"

#include <stdexcept>

namespace vantorix {

namespace {

// \" and \n are escapes every writer spells the same; é and € go through as UTF-8.
constexpr std::string_view kPadStart = "\\\"quoted\\\"\\n\xC3\xA9\xE2\x82\xAC ";
constexpr std::string_view kPadFill = "abcdefghijklmnopqrstuvwxyz0123456789 ";
constexpr std::string_view kStateKey = R"({"act":"echo","state":")";

}  // namespace

std::string EchoRequest(std::string_view tag, std::uint64_t seq, std::size_t size) {
  const std::string number = std::to_string(seq);
  std::string text;
  text.reserve(size);
  text.append(kStateKey).append(tag).append(number);
  text.append(R"(","seq":)").append(number).append(R"(,"pad":")").append(kPadStart);
  const std::size_t closing = 2;  // "}
  if (text.size() + closing > size) {
    throw std::invalid_argument("EchoRequest: " + std::to_string(size) + " bytes are too few");
  }
  while (text.size() + closing < size) {
    text.append(kPadFill.substr(0, std::min(kPadFill.size(), size - closing - text.size())));
  }
  text.append("\"}");
  return text;
}

std::string EchoReply(std::string_view request) {
  if (!request.starts_with(kStateKey) || !request.ends_with("\"}")) {
    return {};
  }
  const std::size_t stateEnd = request.find('"', kStateKey.size());
  if (stateEnd == std::string_view::npos) {
    return {};
  }
  const std::string_view state = request.substr(kStateKey.size(), stateEnd - kStateKey.size());
  std::string reply;
  reply.reserve(EchoReplySize(request.size(), state.size()));
  reply.append(request.substr(0, request.size() - 1));
  reply.append(R"(,"devices":[],"state2":")").append(state).append("\"}");
  return reply;
}

}  // namespace vantorix
