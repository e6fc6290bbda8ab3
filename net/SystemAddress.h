// Inside the socket layer only: endpoints to and from the system's socket addresses, shared by
// the POSIX and the Winsock implementation (both use the BSD address structures).
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <string>

#include "net/SocketApi.h"

namespace vantorix {

// The endpoint in a socket address: IPv4 dotted decimal, IPv6 as eight upper-case hexadecimal
// groups without leading zeros, never shortened.
TSocketAddress FromSystemAddress(const sockaddr_storage& address);

// Fills address for ip and port and gives its length; an empty ip is the any-address of the
// family. Raises TSocketError 10049 for text that is not an address of the family.
int ToSystemAddress(TIPVersion version, const std::u16string& ip, std::uint16_t port,
                    sockaddr_storage& address);

}  // namespace vantorix
