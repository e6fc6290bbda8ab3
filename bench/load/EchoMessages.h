// The echo commands the load sends and the exact bytes every server must answer with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantorix {

// An echo command of exactly `size` bytes of UTF-8; throws std::invalid_argument when its fixed
// part does not fit (kMinEchoSize always fits a tag of up to 4 bytes and seq below 10^12):
//   {"act":"echo","state":"<tag><seq>","seq":<seq>,"pad":"<text>"}
// The pad holds an escaped quote and line feed, two non-ASCII characters and then ASCII, so the
// reply shows how a server writes escapes, UTF-8 and integers, and what order members keep.
std::string EchoRequest(std::string_view tag, std::uint64_t seq, std::size_t size);

inline constexpr std::size_t kMinEchoSize = 100;

// The reply to an EchoRequest: the same members in the same order, then "devices":[] and
// "state2" with the state, compact. Empty when request is not an EchoRequest.
std::string EchoReply(std::string_view request);

// Size of EchoReply for a request of the given size and state length.
inline std::size_t EchoReplySize(std::size_t requestSize, std::size_t stateSize) {
  return requestSize + std::string_view(R"(,"devices":[],"state2":"")").size() + stateSize;
}

}  // namespace vantorix
