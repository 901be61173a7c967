// Where Windows and the POSIX systems differ for the plug-in: the UDP socket, the DNS-SD library,
// reading apt.dat a line at a time and replacing the preferences file. On Linux and macOS every call
// here is the system's own, inlined.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdint>

namespace cvht {

using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;

inline bool NetStart() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}
inline void NetStop() { WSACleanup(); }
inline void CloseSocket(Socket s) { closesocket(s); }
// Windows' SO_REUSEADDR would let the socket share a port another program holds; this refuses it instead.
inline void SetAddressReuse(Socket s) {
  BOOL on = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&on), sizeof on);
}
inline void SetIntOption(Socket s, int level, int name, int value) {
  setsockopt(s, level, name, reinterpret_cast<const char *>(&value), sizeof value);
}

// Non-blocking, and deaf to the ICMP "port unreachable" of a phone that went away: without that, every
// later recvfrom on the socket fails with WSAECONNRESET.
inline void PrepareUdpSocket(Socket s) {
  u_long one = 1;
  ioctlsocket(s, FIONBIO, &one);
  const DWORD kSioUdpConnReset = _WSAIOW(IOC_VENDOR, 12);  // SIO_UDP_CONNRESET, missing from MinGW
  BOOL report = FALSE;
  DWORD bytes = 0;
  WSAIoctl(s, kSioUdpConnReset, &report, sizeof report, nullptr, 0, &bytes, nullptr, nullptr);
}

// Length of the next datagram, at most size bytes of it in buf, or -1 when none is waiting. Winsock
// fails a datagram longer than the buffer with WSAEMSGSIZE after filling it: that is a read of size bytes.
inline ssize_t ReceiveDatagram(Socket s, void *buf, size_t size, sockaddr_in &from) {
  int fromLen = sizeof from;
  int n = recvfrom(s, static_cast<char *>(buf), static_cast<int>(size), 0, reinterpret_cast<sockaddr *>(&from),
                   &fromLen);
  if (n != SOCKET_ERROR) return n;
  return WSAGetLastError() == WSAEMSGSIZE ? static_cast<ssize_t>(size) : -1;
}

inline void SendDatagram(Socket s, const void *data, size_t size, const sockaddr_in &to) {
  sendto(s, static_cast<const char *>(data), static_cast<int>(size), 0, reinterpret_cast<const sockaddr *>(&to),
         sizeof to);
}

// Winsock's fd_set holds a count of sockets, whatever their values.
inline bool FitsSelectSet(Socket s) { return s != INVALID_SOCKET; }

// ---- DNS-SD through Apple's Bonjour service (dnssd.dll), loaded when first needed.

using DNSServiceRef = struct _DNSServiceRef_t *;
using DNSServiceFlags = uint32_t;
using DNSServiceErrorType = int32_t;
#define DNSSD_API __stdcall
constexpr DNSServiceErrorType kDNSServiceErr_NoError = 0;
constexpr DNSServiceErrorType kDNSServiceErr_ServiceNotRunning = -65563;
using DNSServiceRegisterReply = void(DNSSD_API *)(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType, const char *,
                                                  const char *, const char *, void *);

struct BonjourCalls {
  bool tried = false;
  HMODULE dll = nullptr;
  DNSServiceErrorType(DNSSD_API *reg)(DNSServiceRef *, DNSServiceFlags, uint32_t, const char *, const char *,
                                      const char *, const char *, uint16_t, uint16_t, const void *,
                                      DNSServiceRegisterReply, void *) = nullptr;
  int(DNSSD_API *sockFD)(DNSServiceRef) = nullptr;
  DNSServiceErrorType(DNSSD_API *process)(DNSServiceRef) = nullptr;
  void(DNSSD_API *deallocate)(DNSServiceRef) = nullptr;
};
inline BonjourCalls gBonjour;

template <typename F>
void FindCall(HMODULE dll, const char *name, F &fn) {
  fn = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(dll, name)));
}

// True when dnssd.dll is there with all four calls; a library missing one counts as no Bonjour.
inline bool LoadBonjour() {
  BonjourCalls &b = gBonjour;
  if (b.tried) return b.dll != nullptr;
  b.tried = true;
  b.dll = LoadLibraryA("dnssd.dll");
  if (!b.dll) return false;
  FindCall(b.dll, "DNSServiceRegister", b.reg);
  FindCall(b.dll, "DNSServiceRefSockFD", b.sockFD);
  FindCall(b.dll, "DNSServiceProcessResult", b.process);
  FindCall(b.dll, "DNSServiceRefDeallocate", b.deallocate);
  if (b.reg && b.sockFD && b.process && b.deallocate) return true;
  FreeLibrary(b.dll);
  b = BonjourCalls{};
  b.tried = true;
  return false;
}

// The library stays loaded while a registration may still call back; it goes with the socket.
inline void UnloadBonjour() {
  if (gBonjour.dll) FreeLibrary(gBonjour.dll);
  gBonjour = BonjourCalls{};
}

inline DNSServiceErrorType DNSServiceRegister(DNSServiceRef *ref, DNSServiceFlags flags, uint32_t interfaceIndex,
                                              const char *name, const char *type, const char *domain,
                                              const char *host, uint16_t portNetOrder, uint16_t txtLen,
                                              const void *txt, DNSServiceRegisterReply callback, void *context) {
  if (!LoadBonjour()) return kDNSServiceErr_ServiceNotRunning;
  return gBonjour.reg(ref, flags, interfaceIndex, name, type, domain, host, portNetOrder, txtLen, txt, callback,
                      context);
}
inline Socket DNSServiceRefSockFD(DNSServiceRef ref) {
  const int fd = gBonjour.sockFD ? gBonjour.sockFD(ref) : -1;
  return fd < 0 ? kNoSocket : static_cast<Socket>(fd);
}
inline DNSServiceErrorType DNSServiceProcessResult(DNSServiceRef ref) { return gBonjour.process(ref); }
inline void DNSServiceRefDeallocate(DNSServiceRef ref) {
  if (gBonjour.deallocate) gBonjour.deallocate(ref);
}

// Puts a finished file in place of another in one step; Windows' rename refuses to replace.
inline bool MoveOver(const char *from, const char *to) { return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0; }

// ---- apt.dat lines.

// getline's contract: the line with its line feed and a NUL in *line (grown as needed), its length, or
// -1 at the end of the file or on an error. Out of memory leaves errno ENOMEM and the stream's error
// indicator set.
inline ssize_t ReadLine(char **line, size_t *capacity, FILE *file) {
  size_t n = 0;
  _lock_file(file);
  for (;;) {
    const int c = _getc_nolock(file);
    if (c == EOF) break;
    if (n + 2 > *capacity || !*line) {
      size_t grown = *capacity < 120 ? 120 : *capacity * 2;
      char *bigger = static_cast<char *>(std::realloc(*line, grown));
      if (!bigger) {
#if !defined(_UCRT)
        file->_flag |= _IOERR;
#endif
        _unlock_file(file);
        errno = ENOMEM;
        return -1;
      }
      *line = bigger;
      *capacity = grown;
    }
    (*line)[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  _unlock_file(file);
  if (n == 0) return -1;
  (*line)[n] = '\0';
  return static_cast<ssize_t>(n);
}

}  // namespace cvht

#else  // POSIX

#include <arpa/inet.h>
#include <dns_sd.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace cvht {

using Socket = int;
constexpr Socket kNoSocket = -1;

inline bool NetStart() { return true; }
inline void NetStop() {}
inline void CloseSocket(Socket s) { close(s); }
inline void SetAddressReuse(Socket s) {
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}
inline void SetIntOption(Socket s, int level, int name, int value) { setsockopt(s, level, name, &value, sizeof value); }
inline void PrepareUdpSocket(Socket s) { fcntl(s, F_SETFL, O_NONBLOCK); }

// A datagram longer than the buffer arrives cut to size bytes.
inline ssize_t ReceiveDatagram(Socket s, void *buf, size_t size, sockaddr_in &from) {
  socklen_t fromLen = sizeof from;
  return recvfrom(s, buf, size, 0, reinterpret_cast<sockaddr *>(&from), &fromLen);
}

inline void SendDatagram(Socket s, const void *data, size_t size, const sockaddr_in &to) {
  sendto(s, data, size, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

// A descriptor the set cannot hold would make select read past it.
inline bool FitsSelectSet(Socket s) { return s >= 0 && s < FD_SETSIZE; }

inline void UnloadBonjour() {}

inline ssize_t ReadLine(char **line, size_t *capacity, FILE *file) { return getline(line, capacity, file); }
inline bool MoveOver(const char *from, const char *to) { return std::rename(from, to) == 0; }

}  // namespace cvht

#endif
