// UTF-8 decoder and encoder with U+FFFD substitution, and the validator of UTF-8 that arrives in
// pieces.
#include "websocket/Utf8.h"

#include <cstring>

namespace vantorix {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

// What a lead byte of 0x80 or more starts (Unicode, table 3-7): the count of continuation bytes
// (0: the byte starts no well-formed sequence), the range allowed for the first of them, and the
// lead byte's bits of the code point.
struct TLead {
  std::size_t Need = 0;
  std::uint8_t Lo = 0x80, Hi = 0xBF;
  std::uint32_t Bits = 0;
};

TLead LeadOf(std::uint8_t b0) {
  TLead lead;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    lead.Need = 1;
    lead.Bits = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    lead.Need = 2;
    lead.Bits = b0 & 0x0F;
    if (b0 == 0xE0)
      lead.Lo = 0xA0;  // shorter forms are overlong
    if (b0 == 0xED)
      lead.Hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    lead.Need = 3;
    lead.Bits = b0 & 0x07;
    if (b0 == 0xF0)
      lead.Lo = 0x90;  // overlong
    if (b0 == 0xF4)
      lead.Hi = 0x8F;  // above U+10FFFF
  }
  return lead;
}

// Whether the unit at i starts a surrogate pair.
bool PairAt(std::u16string_view text, std::size_t i) {
  return text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
         text[i + 1] <= 0xDFFF;
}

// Eight bytes of ASCII at p, as a whole word: the common case of every conversion.
bool Ascii8(const std::uint8_t* p) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return (word & 0x8080808080808080u) == 0;
}

// Four UTF-16 units below U+0080 at p, as a whole word.
bool Ascii4(const char16_t* p) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return (word & 0xFF80FF80FF80FF80u) == 0;
}

}  // namespace

std::u16string Utf8Decode(std::span<const std::uint8_t> bytes) {
  // Never more units than bytes: sized once, written through a pointer, cut to length at the end.
  std::u16string out(bytes.size(), u'\0');
  char16_t* o = out.data();
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    if (i + 8 <= n && Ascii8(bytes.data() + i)) {
      for (std::size_t k = 0; k < 8; ++k)
        o[k] = bytes[i + k];
      o += 8;
      i += 8;
      continue;
    }
    const std::uint8_t b0 = bytes[i];
    if (b0 < 0x80) {
      *o++ = b0;
      ++i;
      continue;
    }
    const TLead lead = LeadOf(b0);
    if (lead.Need == 0) {
      *o++ = kReplacement;
      ++i;
      continue;
    }
    std::uint32_t cp = lead.Bits;
    std::size_t j = i + 1;
    bool ok = true;
    for (std::size_t k = 0; k < lead.Need; ++k, ++j) {
      const std::uint8_t lower = k == 0 ? lead.Lo : 0x80;
      const std::uint8_t upper = k == 0 ? lead.Hi : 0xBF;
      if (j >= n || bytes[j] < lower || bytes[j] > upper) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (bytes[j] & 0x3F);
    }
    if (!ok) {
      *o++ = kReplacement;  // the maximal subpart ends before bytes[j]
    } else if (cp < 0x10000) {
      *o++ = static_cast<char16_t>(cp);
    } else {
      cp -= 0x10000;
      *o++ = static_cast<char16_t>(0xD800 + (cp >> 10));
      *o++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
    i = j;
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

std::u16string Utf8Decode(std::string_view bytes) {
  return Utf8Decode(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

bool TUtf8Validator::Feed(std::span<const std::uint8_t> bytes) {
  for (std::size_t i = 0; i < bytes.size() && FValid; ++i) {
    if (FNeed == 0) {
      while (i + 8 <= bytes.size() && Ascii8(bytes.data() + i))
        i += 8;
      if (i == bytes.size())
        break;
    }
    const std::uint8_t b = bytes[i];
    if (FNeed > 0) {
      FValid = b >= FLo && b <= FHi;
      --FNeed;
      FLo = 0x80;
      FHi = 0xBF;
    } else if (b >= 0x80) {
      const TLead lead = LeadOf(b);
      FValid = lead.Need > 0;
      FNeed = lead.Need;
      FLo = lead.Lo;
      FHi = lead.Hi;
    }
  }
  return FValid;
}

std::size_t Utf8Length(std::u16string_view text) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    while (i + 4 <= text.size() && Ascii4(text.data() + i)) {
      n += 4;
      i += 4;
    }
    if (i == text.size())
      break;
    const char16_t u = text[i];
    if (u < 0x80) {
      n += 1;
    } else if (u < 0x800) {
      n += 2;
    } else if (PairAt(text, i)) {
      n += 4;
      ++i;
    } else {
      n += 3;  // the unit itself, or U+FFFD for an unpaired surrogate
    }
  }
  return n;
}

std::uint8_t* Utf8EncodeTo(std::u16string_view text, std::uint8_t* out) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    while (i + 4 <= text.size() && Ascii4(text.data() + i)) {
      for (std::size_t k = 0; k < 4; ++k)
        out[k] = static_cast<std::uint8_t>(text[i + k]);
      out += 4;
      i += 4;
    }
    if (i == text.size())
      break;
    std::uint32_t cp = text[i];
    if (cp < 0x80) {
      *out++ = static_cast<std::uint8_t>(cp);
      continue;
    }
    if (PairAt(text, i)) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;
    }
    if (cp < 0x800) {
      *out++ = static_cast<std::uint8_t>(0xC0 | (cp >> 6));
      *out++ = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *out++ = static_cast<std::uint8_t>(0xE0 | (cp >> 12));
      *out++ = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
      *out++ = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
    } else {
      *out++ = static_cast<std::uint8_t>(0xF0 | (cp >> 18));
      *out++ = static_cast<std::uint8_t>(0x80 | ((cp >> 12) & 0x3F));
      *out++ = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
      *out++ = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

TBytes Utf8Encode(std::u16string_view text) {
  TBytes out(Utf8Length(text));
  Utf8EncodeTo(text, out.data());
  return out;
}

std::string Utf8EncodeString(std::u16string_view text) {
  std::string out(Utf8Length(text), '\0');
  Utf8EncodeTo(text, reinterpret_cast<std::uint8_t*>(out.data()));
  return out;
}

}  // namespace vantorix
