// UTF-8 decoder and encoder with U+FFFD substitution, and the validator of UTF-8 that arrives in
// pieces.
#include "websocket/Utf8.h"

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

void AppendCodePoint(std::u16string& out, std::uint32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

template <typename Out>
void EncodeInto(std::u16string_view text, Out& out) {
  auto put = [&out](std::uint32_t b) { out.push_back(static_cast<typename Out::value_type>(b)); };
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;
    }
    if (cp < 0x80) {
      put(cp);
    } else if (cp < 0x800) {
      put(0xC0 | (cp >> 6));
      put(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      put(0xE0 | (cp >> 12));
      put(0x80 | ((cp >> 6) & 0x3F));
      put(0x80 | (cp & 0x3F));
    } else {
      put(0xF0 | (cp >> 18));
      put(0x80 | ((cp >> 12) & 0x3F));
      put(0x80 | ((cp >> 6) & 0x3F));
      put(0x80 | (cp & 0x3F));
    }
  }
}

}  // namespace

std::u16string Utf8Decode(std::span<const std::uint8_t> bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t b0 = bytes[i];
    if (b0 < 0x80) {
      out.push_back(b0);
      ++i;
      continue;
    }
    const TLead lead = LeadOf(b0);
    if (lead.Need == 0) {
      out.push_back(kReplacement);
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
    if (ok) {
      AppendCodePoint(out, cp);
    } else {
      out.push_back(kReplacement);  // the maximal subpart ends before bytes[j]
    }
    i = j;
  }
  return out;
}

std::u16string Utf8Decode(std::string_view bytes) {
  return Utf8Decode(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

bool TUtf8Validator::Feed(std::span<const std::uint8_t> bytes) {
  for (const std::uint8_t b : bytes) {
    if (!FValid)
      break;
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

TBytes Utf8Encode(std::u16string_view text) {
  TBytes out;
  out.reserve(text.size());
  EncodeInto(text, out);
  return out;
}

std::string Utf8EncodeString(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  EncodeInto(text, out);
  return out;
}

}  // namespace vantorix
