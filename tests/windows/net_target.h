// The network target of the acceptance suite and its probe, read and reached
// the same way on both sides: <ipv4>:<port>, and a connection that gives up
// after a bound of its own rather than after the system's retransmissions.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cwctype>
#include <optional>
#include <string>

namespace net_target {

// Nothing but a dotted IPv4 address, a colon and a port of 1 to 65535.
inline std::optional<sockaddr_in> parse(const std::wstring& text) {
  const std::size_t colon = text.rfind(L':');
  if (colon == std::wstring::npos || colon + 1 == text.size() || text.size() - colon > 6) {
    return std::nullopt;
  }
  unsigned long port = 0;
  for (std::size_t i = colon + 1; i < text.size(); ++i) {
    if (!std::iswdigit(text[i])) return std::nullopt;
    port = port * 10 + (text[i] - L'0');
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  if (port == 0 || port > 65535 ||
      InetPtonW(AF_INET, text.substr(0, colon).c_str(), &address.sin_addr) != 1) {
    return std::nullopt;
  }
  return address;
}

// 0 when connected; otherwise the socket error, WSAETIMEDOUT past `seconds`.
// A blocking connect would wait out the SYN retransmissions (about 20 s), and
// SO_SNDTIMEO does not bound it.
inline int connect_within(const sockaddr_in& address, long seconds) {
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return WSAGetLastError();
  u_long nonblocking = 1;
  ioctlsocket(s, FIONBIO, &nonblocking);
  int error = 0;
  if (connect(s, reinterpret_cast<const sockaddr*>(&address), static_cast<int>(sizeof address)) !=
      0) {
    error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
      fd_set writable, failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(s, &writable);
      FD_SET(s, &failed);
      timeval wait{seconds, 0};
      error = WSAETIMEDOUT;
      if (select(0, nullptr, &writable, &failed, &wait) > 0) {
        int length = static_cast<int>(sizeof error);
        error = 0;
        if (FD_ISSET(s, &failed)) {
          getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
        }
      }
    }
  }
  closesocket(s);
  return error;
}

}  // namespace net_target
