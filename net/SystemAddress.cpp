// Endpoints to and from the system's socket addresses.
#include "net/SystemAddress.h"

#ifndef _WIN32
#include <arpa/inet.h>
#endif

#include <cstdio>
#include <cstring>

#include "net/SocketErrors.h"

namespace vantorix {
namespace {

std::u16string Ascii(const char* s) {
  std::u16string out;
  for (; *s != '\0'; ++s) {
    out.push_back(static_cast<char16_t>(*s));
  }
  return out;
}

// Addresses are ASCII; any other character makes the text no address.
bool ToAscii(const std::u16string& text, std::string& ascii) {
  for (const char16_t unit : text) {
    if (unit == 0 || unit > 0x7F) {
      return false;
    }
    ascii.push_back(static_cast<char>(unit));
  }
  return true;
}

}  // namespace

TSocketAddress FromSystemAddress(const sockaddr_storage& address) {
  TSocketAddress a;
  if (address.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    a.Version = TIPVersion::IPv6;
    a.Port = ntohs(in6.sin6_port);
    // Eight groups, upper case, no leading zeros, never shortened with "::".
    std::string text;
    for (int g = 0; g < 8; ++g) {
      const unsigned v = (unsigned{in6.sin6_addr.s6_addr[2 * g]} << 8) |
                         unsigned{in6.sin6_addr.s6_addr[2 * g + 1]};
      char buf[8];
      std::snprintf(buf, sizeof buf, "%X", v);
      if (g > 0) {
        text += ':';
      }
      text += buf;
    }
    a.IP = Ascii(text.c_str());
  } else {
    const auto& in4 = reinterpret_cast<const sockaddr_in&>(address);
    a.Version = TIPVersion::IPv4;
    a.Port = ntohs(in4.sin_port);
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &in4.sin_addr, buf, sizeof buf);
    a.IP = Ascii(buf);
  }
  return a;
}

int ToSystemAddress(TIPVersion version, const std::u16string& ip, std::uint16_t port,
                    sockaddr_storage& address) {
  std::memset(&address, 0, sizeof address);
  std::string text;
  if (!ToAscii(ip, text)) {
    throw TSocketError(kWsaEAddrNotAvail);
  }
  if (version == TIPVersion::IPv6) {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    in6.sin6_addr = in6addr_any;
    if (!text.empty() && inet_pton(AF_INET6, text.c_str(), &in6.sin6_addr) != 1) {
      throw TSocketError(kWsaEAddrNotAvail);
    }
    return sizeof(sockaddr_in6);
  }
  auto& in4 = reinterpret_cast<sockaddr_in&>(address);
  in4.sin_family = AF_INET;
  in4.sin_port = htons(port);
  in4.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!text.empty() && inet_pton(AF_INET, text.c_str(), &in4.sin_addr) != 1) {
    throw TSocketError(kWsaEAddrNotAvail);
  }
  return sizeof(sockaddr_in);
}

}  // namespace vantorix
