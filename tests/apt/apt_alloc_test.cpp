// Running out of memory or failing reads while the index is built: bad_alloc or false reaches the caller,
// never half an index, and the file and buffers do not leak.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>

#include "../support/process_counts.h"
#include "apt_test_util.h"

namespace {
// Allocations left before operator new fails; negative means it never fails.
std::atomic<long> gAllocBudget{-1};
}  // namespace

void *operator new(size_t size) {
  if (gAllocBudget.load(std::memory_order_relaxed) >= 0 && gAllocBudget.fetch_sub(1) == 0) throw std::bad_alloc();
  if (void *p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// The matching deletes; GCC cannot see that these pair with the operator new above.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using cvhtproc::HeapInUse;
using cvhtproc::OpenDescriptors;

TEST(AptReadOutOfMemory, ReleasesFileAndBuffersAtEveryFailurePoint) {
  cvhtsupport::TempDir dir;
  // A long comment line first makes the line buffer large enough that losing it would show.
  const std::string path = dir.Write("apt.dat", "99 " + std::string(200000, 'c') + "\n" + apttest::Airports(300));
  ASSERT_FALSE(path.empty());
  const int fds = OpenDescriptors();
  int failures = 0;
  for (long budget = 0; budget < 40; ++budget) {
    const size_t heap = HeapInUse();
    bool threw = false;
    {
      apt::Index index;
      gAllocBudget.store(budget);
      try {
        index.read(path.c_str());
      } catch (const std::bad_alloc &) {
        threw = true;
      }
      gAllocBudget.store(-1);
      if (!threw) {
        EXPECT_EQ(index.airports.size(), 300u);
        EXPECT_EQ(index.runways.size(), 300u);
      }
    }
    failures += threw;
    EXPECT_EQ(OpenDescriptors(), fds) << "budget " << budget;
    EXPECT_LT(HeapInUse(), heap + 65536) << "budget " << budget;
  }
  // Vector growth plus the two final copies: every one of those allocations was made to fail once.
  EXPECT_GE(failures, 10);
}

// A stream over bytes in memory: its reads fail with EIO from byte failAt on, or it goes on after the
// bytes with a line that never ends. Each read notes the heap in use, so a test sees what the reader
// holds mid-file.
struct Source {
  const std::string *bytes;
  size_t failAt = SIZE_MAX;
  bool endless = false;
  size_t at = 0;
  size_t heapAtLastRead = 0;

  FILE *Open() {
    cookie_io_functions_t io{};
    io.read = [](void *c, char *buf, size_t size) -> ssize_t {
      Source &src = *static_cast<Source *>(c);
      src.heapAtLastRead = HeapInUse();
      if (src.at >= src.failAt) {
        errno = EIO;
        return -1;
      }
      if (src.at >= src.bytes->size())
        return src.endless ? static_cast<ssize_t>(std::memset(buf, 'c', size) ? size : 0) : 0;
      size = std::min({size, src.bytes->size() - src.at, src.failAt - src.at});
      std::memcpy(buf, src.bytes->data() + src.at, size);
      src.at += size;
      return static_cast<ssize_t>(size);
    };
    return fopencookie(this, "r", io);
  }
};

TEST(AptReadFailure, ReadErrorMidwayGivesFalseAndAnEmptyIndex) {
  const std::string body = apttest::Airports(300);
  for (size_t failAt : {SIZE_MAX, body.size() / 2, size_t{0}}) {
    Source src{&body, failAt};
    FILE *f = src.Open();
    ASSERT_NE(f, nullptr);
    apt::Index index;
    const bool ok = index.readStream(f);
    std::fclose(f);
    EXPECT_EQ(ok, failAt == SIZE_MAX) << "failing at byte " << failAt;
    EXPECT_EQ(index.airports.size(), ok ? 300u : 0u) << "failing at byte " << failAt;
    EXPECT_EQ(index.runways.size(), ok ? 300u : 0u) << "failing at byte " << failAt;
  }
}

TEST(AptReadFailure, ALongLineDoesNotKeepItsBufferForTheRestOfTheFile) {
  const std::string body = "99 " + std::string(4 << 20, 'c') + "\n" + apttest::Airports(3);
  Source src{&body};
  FILE *f = src.Open();
  ASSERT_NE(f, nullptr);
  const size_t heap = HeapInUse();
  apt::Index index;
  EXPECT_TRUE(index.readStream(f));
  std::fclose(f);
  EXPECT_EQ(index.airports.size(), 3u);
  EXPECT_LT(src.heapAtLastRead, heap + (1u << 20)) << "the 4 MiB line's buffer was still held at the end of the file";
}

// In a child whose address space is capped, a line that never ends exhausts memory inside getline.
TEST(AptReadFailure, MemoryRunningOutInsideGetlineThrowsAndLeavesNoIndex) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit under an address-space limit";
#else
  const std::string body = apttest::Airports(300);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    long pages = 0;
    if (FILE *statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
      std::fclose(statm);
    }
    const rlim_t cap = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (64u << 20);
    const rlimit limit{cap, cap};
    if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0) _exit(10);
    // The airports first, then the endless line: a half index would hold 300 of them.
    const std::string head = body + "99 ";
    Source src{&head, SIZE_MAX, true};
    FILE *f = src.Open();
    apt::Index index;
    int code = 3;
    try {
      code = index.readStream(f) ? 1 : 2;
    } catch (const std::bad_alloc &) {
      code = index.airports.empty() && index.runways.empty() ? 0 : 4;
    }
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a half index was taken for the file, 2: reported as a read error, "
                                       "4: bad_alloc left airports behind, 10: no limit could be set";
#endif
}

}  // namespace
