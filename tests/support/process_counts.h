// What a process holds, seen from outside the code under test: open descriptors, heap bytes, and the
// plug-in's socket. Leak checks compare the counts before and after a piece of work.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <malloc.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdlib>
#include <filesystem>

#include "cvht_wire.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// From the sanitizer runtime (its header does not ship with every compiler here).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace cvhtproc {

inline int OpenDescriptors() {
  int n = 0;
  if (DIR *d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

// Bytes the program holds on the heap, large mapped blocks included; a sanitizer's allocator replaces
// malloc's own bookkeeping, so it is asked instead.
inline size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
#endif
}

// On a busy machine the kernel may hand a loopback datagram over a moment after sendto returns. A frame that
// must drain what was sent first waits, a second at most, until the plug-in's socket (found by its port among
// this process's descriptors) holds something. Nothing waits when the plug-in has no socket.
inline void AwaitDelivery() {
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    pollfd plugin{std::atoi(e.path().filename().c_str()), POLLIN, 0};
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(plugin.fd, reinterpret_cast<sockaddr *>(&a), &len) == 0 && a.sin_family == AF_INET &&
        ntohs(a.sin_port) == cvht::kPort) {
      poll(&plugin, 1, 1000);
      return;
    }
  }
}

}  // namespace cvhtproc
