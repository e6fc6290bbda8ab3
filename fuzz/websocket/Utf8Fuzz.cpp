// libFuzzer target: the UTF-8 decoder, encoder and validator, and the close frame's reason.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "fuzz/websocket/FuzzSupport.h"
#include "websocket/Utf8.h"
#include "websocket/WebSocketFrames.h"

using vantorix::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vantorix;
  const std::span<const std::uint8_t> bytes(data, size);
  const std::u16string text = Utf8Decode(bytes);
  // Decoding is idempotent through the encoder: replacement characters stay what they are.
  const TBytes again = Utf8Encode(text);
  Require(Utf8Decode(again) == text);
  // Well-formed input, and only that, comes back unchanged; the validator agrees, however the
  // bytes are cut in two.
  const bool wellFormed = again.size() == size && std::equal(again.begin(), again.end(), data);
  TUtf8Validator validator;
  const std::size_t cut = size == 0 ? 0 : data[0] % (size + 1);
  validator.Feed(bytes.first(cut));
  validator.Feed(bytes.subspan(cut));
  Require(validator.Complete() == wellFormed);
  // A close reason is always well-formed UTF-8 that fits a control frame.
  const TBytes close =
      EncodeCloseFrame(1007, std::string_view(reinterpret_cast<const char*>(data), size));
  TUtf8Validator reason;
  reason.Feed(std::span<const std::uint8_t>(close).subspan(4));
  Require(close.size() <= 127 && close[1] + 2u == close.size() && reason.Complete());
  return 0;
}
