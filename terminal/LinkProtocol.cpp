// Terminal link protocol codec: little-endian fields, length-prefixed frames.
#include "terminal/LinkProtocol.h"

#include <algorithm>

#include "platform/Memory.h"

namespace vantorix {

namespace {

constexpr std::uint8_t kReplyBit = 0x80;

bool KnownOp(std::uint8_t op) {
  return op >= static_cast<std::uint8_t>(TLinkOp::kHello) &&
         op <= static_cast<std::uint8_t>(TLinkOp::kRefresh);
}

// A frame is written in place: the body follows a length field that is filled in at the end, so
// a large body is never copied behind its header.
TLinkWriter StartFrame() {
  TLinkWriter w;
  w.U32(0);
  return w;
}

std::vector<std::uint8_t> FinishFrame(TLinkWriter& w) {
  std::vector<std::uint8_t>& out = w.Bytes();
  const std::size_t body = out.size() - kLinkHeaderSize;
  if (body > kLinkMaxFrame) {
    throw ELinkProtocolError("link frame too large");
  }
  for (std::size_t i = 0; i < kLinkHeaderSize; ++i) {
    out[i] = static_cast<std::uint8_t>(body >> (8 * i));
  }
  return std::move(out);
}

// Bytes a text takes on the link.
std::size_t TextSize(const std::u16string& v) {
  return 4 + 2 * v.size();
}

}  // namespace

void TLinkWriter::U16(std::uint16_t v) {
  fBytes.push_back(static_cast<std::uint8_t>(v));
  fBytes.push_back(static_cast<std::uint8_t>(v >> 8));
}

void TLinkWriter::U32(std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) {
    fBytes.push_back(static_cast<std::uint8_t>(v >> shift));
  }
}

void TLinkWriter::Text(const std::u16string& v) {
  U32(static_cast<std::uint32_t>(v.size()));
  // Sized once and filled through a pointer: templates of a thousand units and more are the
  // bulk of the link's traffic, and a push per byte dominated encoding them.
  const std::size_t at = fBytes.size();
  fBytes.resize(at + 2 * v.size());
  std::uint8_t* out = fBytes.data() + at;
  for (char16_t unit : v) {
    *out++ = static_cast<std::uint8_t>(unit);
    *out++ = static_cast<std::uint8_t>(unit >> 8);
  }
}

void TLinkWriter::User(const TLinkUser& v) {
  Text(v.enrollNumber);
  Text(v.name);
  Text(v.password);
  I32(v.privilege);
  U8(v.enabled ? 1 : 0);
  Text(v.cardNumber);
}

void TLinkWriter::Template(const TLinkTemplate& v) {
  Text(v.enrollNumber);
  I32(v.fingerIndex);
  I32(v.flag);
  Text(v.data);
}

void TLinkReader::Need(std::size_t n) const {
  if (Remaining() < n) {
    throw ELinkProtocolError("link message truncated");
  }
}

std::uint8_t TLinkReader::U8() {
  Need(1);
  return fBytes[fPos++];
}

std::uint16_t TLinkReader::U16() {
  Need(2);
  auto v = static_cast<std::uint16_t>(fBytes[fPos] | (fBytes[fPos + 1] << 8));
  fPos += 2;
  return v;
}

std::uint32_t TLinkReader::U32() {
  Need(4);
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) {
    v = (v << 8) | fBytes[fPos + static_cast<std::size_t>(i)];
  }
  fPos += 4;
  return v;
}

bool TLinkReader::Bool() {
  std::uint8_t v = U8();
  if (v > 1) {
    throw ELinkProtocolError("link boolean out of range");
  }
  return v == 1;
}

std::u16string TLinkReader::Text() {
  std::uint32_t units = U32();
  // Check against what is left before allocating, so a forged count cannot exhaust memory.
  if (units > Remaining() / 2) {
    throw ELinkProtocolError("link text length exceeds message");
  }
  std::u16string v(units, u'\0');
  const std::uint8_t* in = fBytes.data() + fPos;
  for (auto& unit : v) {
    unit = static_cast<char16_t>(in[0] | (in[1] << 8));
    in += 2;
  }
  fPos += 2 * static_cast<std::size_t>(units);
  return v;
}

TLinkUser TLinkReader::User() {
  TLinkUser v;
  v.enrollNumber = Text();
  v.name = Text();
  v.password = Text();
  v.privilege = I32();
  v.enabled = Bool();
  v.cardNumber = Text();
  return v;
}

TLinkTemplate TLinkReader::Template() {
  TLinkTemplate v;
  v.enrollNumber = Text();
  v.fingerIndex = I32();
  v.flag = I32();
  v.data = Text();
  return v;
}

void TLinkReader::End() const {
  if (Remaining() != 0) {
    throw ELinkProtocolError("link message has trailing bytes");
  }
}

std::vector<std::uint8_t> EncodeRequest(const TLinkRequest& request) {
  TLinkWriter w = StartFrame();
  w.U8(static_cast<std::uint8_t>(request.op));
  switch (request.op) {
    case TLinkOp::kHello:
      w.U32(kLinkMagic);
      w.U16(kLinkVersion);
      w.I32(request.value);
      break;
    case TLinkOp::kEnableDevice:
      w.U8(request.value != 0 ? 1 : 0);
      break;
    case TLinkOp::kGetTemplate:
    case TLinkOp::kDeleteTemplate:
    case TLinkOp::kDeleteEnroll:
      w.Text(request.user.enrollNumber);
      w.I32(request.value);
      break;
    case TLinkOp::kSetUser:
      w.Text(request.user.enrollNumber);
      w.Text(request.user.name);
      w.Text(request.user.password);
      w.I32(request.user.privilege);
      w.U8(request.user.enabled ? 1 : 0);
      w.U8(request.hasCard ? 1 : 0);
      if (request.hasCard) {
        w.Text(request.user.cardNumber);
      }
      break;
    case TLinkOp::kSetTemplate:
      w.Template(request.fp);
      break;
    case TLinkOp::kReadAllUsers:
    case TLinkOp::kReadAllTemplates:
    case TLinkOp::kRefresh:
      break;
  }
  return FinishFrame(w);
}

TLinkRequest DecodeRequest(std::span<const std::uint8_t> body) {
  TLinkReader r(body);
  std::uint8_t op = r.U8();
  if (!KnownOp(op)) {
    throw ELinkProtocolError("unknown link request");
  }
  TLinkRequest request;
  request.op = static_cast<TLinkOp>(op);
  switch (request.op) {
    case TLinkOp::kHello:
      if (r.U32() != kLinkMagic || r.U16() != kLinkVersion) {
        throw ELinkProtocolError("link hello with wrong magic or version");
      }
      request.value = r.I32();
      break;
    case TLinkOp::kEnableDevice:
      request.value = r.Bool() ? 1 : 0;
      break;
    case TLinkOp::kGetTemplate:
    case TLinkOp::kDeleteTemplate:
    case TLinkOp::kDeleteEnroll:
      request.user.enrollNumber = r.Text();
      request.value = r.I32();
      break;
    case TLinkOp::kSetUser:
      request.user.enrollNumber = r.Text();
      request.user.name = r.Text();
      request.user.password = r.Text();
      request.user.privilege = r.I32();
      request.user.enabled = r.Bool();
      request.hasCard = r.Bool();
      if (request.hasCard) {
        request.user.cardNumber = r.Text();
      }
      break;
    case TLinkOp::kSetTemplate:
      request.fp = r.Template();
      break;
    case TLinkOp::kReadAllUsers:
    case TLinkOp::kReadAllTemplates:
    case TLinkOp::kRefresh:
      break;
  }
  r.End();
  return request;
}

std::vector<std::uint8_t> EncodeReply(const TLinkReply& reply) {
  TLinkWriter w = StartFrame();
  w.U8(static_cast<std::uint8_t>(static_cast<std::uint8_t>(reply.op) | kReplyBit));
  w.U8(reply.ok ? 1 : 0);
  w.I32(reply.errorCode);
  if (reply.ok) {
    switch (reply.op) {
      case TLinkOp::kReadAllUsers: {
        std::size_t size = 0;
        for (const auto& user : reply.users) {
          size += TextSize(user.enrollNumber) + TextSize(user.name) + TextSize(user.password) +
                  TextSize(user.cardNumber) + 5;
        }
        w.Reserve(size);
        w.U32(static_cast<std::uint32_t>(reply.users.size()));
        for (const auto& user : reply.users) {
          w.User(user);
        }
        break;
      }
      case TLinkOp::kReadAllTemplates: {
        // Sized first: tens of megabytes grown by doubling would be copied about twice over.
        std::size_t size = 0;
        for (const auto& fp : reply.templates) {
          size += TextSize(fp.enrollNumber) + TextSize(fp.data) + 8;
        }
        w.Reserve(size);
        w.U32(static_cast<std::uint32_t>(reply.templates.size()));
        for (const auto& fp : reply.templates) {
          w.Template(fp);
        }
        break;
      }
      case TLinkOp::kGetTemplate:
        w.I32(reply.fp.flag);
        w.Text(reply.fp.data);
        break;
      default:
        break;
    }
  }
  return FinishFrame(w);
}

TLinkReply DecodeReply(std::span<const std::uint8_t> body) {
  TLinkReader r(body);
  std::uint8_t op = r.U8();
  if ((op & kReplyBit) == 0 || !KnownOp(op & ~kReplyBit & 0xFF)) {
    throw ELinkProtocolError("unknown link reply");
  }
  TLinkReply reply;
  reply.op = static_cast<TLinkOp>(op & ~kReplyBit & 0xFF);
  reply.ok = r.Bool();
  reply.errorCode = r.I32();
  if (reply.ok) {
    switch (reply.op) {
      case TLinkOp::kReadAllUsers: {
        std::uint32_t n = r.U32();
        // Each user takes at least 4 text lengths + 5 bytes; refuse counts the body cannot hold.
        if (n > r.Remaining() / 21) {
          throw ELinkProtocolError("link user count exceeds message");
        }
        reply.users.reserve(n);
        for (std::uint32_t i = 0; i < n; ++i) {
          reply.users.push_back(r.User());
        }
        break;
      }
      case TLinkOp::kReadAllTemplates: {
        std::uint32_t n = r.U32();
        if (n > r.Remaining() / 16) {
          throw ELinkProtocolError("link template count exceeds message");
        }
        reply.templates.reserve(n);
        for (std::uint32_t i = 0; i < n; ++i) {
          reply.templates.push_back(r.Template());
        }
        break;
      }
      case TLinkOp::kGetTemplate:
        reply.fp.flag = r.I32();
        reply.fp.data = r.Text();
        break;
      default:
        break;
    }
  }
  r.End();
  return reply;
}

void TFrameAssembler::Compact() {
  // Consumed bytes go once they dominate, keeping appends amortised linear; they stay until the
  // next feed because the last body handed out may still be read.
  if (fStart == fBuffer.size()) {
    fBuffer.clear();
    fStart = 0;
  } else if (fStart > 0 && fStart * 2 >= fBuffer.size()) {
    fBuffer.erase(fBuffer.begin(), fBuffer.begin() + static_cast<std::ptrdiff_t>(fStart));
    fStart = 0;
  }
  // Once a frame's length is known, room is made for much of it at once, so a bulk reply of
  // tens of megabytes is not grown by doubling; bounded by what has arrived (RoomAheadOf). An
  // oversized length is left to NextView.
  const std::size_t have = fBuffer.size() - fStart;
  if (have >= kLinkHeaderSize) {
    TLinkReader header(std::span<const std::uint8_t>(fBuffer).subspan(fStart, kLinkHeaderSize));
    const std::uint32_t length = header.U32();
    if (length <= kLinkMaxFrame) {
      fBuffer.reserve(fStart + std::min<std::size_t>(kLinkHeaderSize + length, RoomAheadOf(have)));
    }
  }
}

void TFrameAssembler::Feed(std::span<const std::uint8_t> bytes) {
  Compact();
  fBuffer.insert(fBuffer.end(), bytes.begin(), bytes.end());
}

std::optional<std::span<const std::uint8_t>> TFrameAssembler::NextView() {
  std::size_t available = fBuffer.size() - fStart;
  if (available < kLinkHeaderSize) {
    return std::nullopt;
  }
  TLinkReader header(std::span<const std::uint8_t>(fBuffer).subspan(fStart, kLinkHeaderSize));
  std::uint32_t length = header.U32();
  if (length > kLinkMaxFrame) {
    throw ELinkProtocolError("link frame too large");
  }
  if (available - kLinkHeaderSize < length) {
    return std::nullopt;
  }
  auto body = std::span<const std::uint8_t>(fBuffer).subspan(fStart + kLinkHeaderSize, length);
  fStart += kLinkHeaderSize + length;
  return body;
}

std::optional<std::vector<std::uint8_t>> TFrameAssembler::Next() {
  auto body = NextView();
  if (!body) {
    return std::nullopt;
  }
  return std::vector<std::uint8_t>(body->begin(), body->end());
}

}  // namespace vantorix
