// What a process holds, counted from outside the code under test: open descriptors and heap bytes.
// Leak checks compare these before and after a piece of work.
#pragma once

#include <dirent.h>
#include <malloc.h>

#include <cstddef>

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

}  // namespace cvhtproc
