// Failing reads and memory running out while the index is built: false or bad_alloc reaches the caller,
// never half an index, and the file and buffers do not leak.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include <gtest/gtest.h>

#include "../support/process_counts.h"
#include "../support/temp_dir.h"
#include "apt/apt_index.h"
#include "aptgen.h"

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

// count airports of one runway each.
std::string Airports(int count) {
  std::string body = aptgen::Preamble();
  for (int i = 0; i < count; ++i)
    body += aptgen::Header("A" + std::to_string(i)) + aptgen::RunwayRow({{"09", "10", "20"}, {"27", "10.2", "20.4"}});
  return body;
}

// How a read of a fresh index ended, "true", "false" or "bad_alloc", then the airports and runways it left.
template <typename Read>
std::string Outcome(Read read) {
  apt::Index index;
  std::string how;
  try {
    how = read(index) ? "true" : "false";
  } catch (const std::bad_alloc &) {
    how = "bad_alloc";
  }
  return how + " " + std::to_string(index.airports.size()) + "/" + std::to_string(index.runways.size());
}

// A stream over bytes in memory whose reads fail with err from byte failAt on, or that goes on after the
// bytes with a line that never ends. Each read notes the heap in use: what the reader holds mid-file.
struct Source {
  std::string bytes;
  size_t failAt = SIZE_MAX;
  int err = EIO;
  bool endless = false;
  size_t at = 0, heapAtLastRead = 0;

  // readStream's outcome on the source.
  std::string Read() {
    cookie_io_functions_t io{};
    io.read = [](void *c, char *buf, size_t size) -> ssize_t {
      Source &src = *static_cast<Source *>(c);
      src.heapAtLastRead = HeapInUse();
      if (src.at >= src.failAt) {
        errno = src.err;
        return -1;
      }
      if (src.at >= src.bytes.size()) {
        if (src.endless) std::memset(buf, 'c', size);
        return src.endless ? static_cast<ssize_t>(size) : 0;
      }
      size = std::min({size, src.bytes.size() - src.at, src.failAt - src.at});
      std::memcpy(buf, src.bytes.data() + src.at, size);
      src.at += size;
      return static_cast<ssize_t>(size);
    };
    FILE *f = fopencookie(this, "r", io);
    if (!f) return "no stream";
    const std::string out = Outcome([f](apt::Index &index) { return index.readStream(f); });
    std::fclose(f);
    return out;
  }
};

// A line of 4 MiB must not keep its buffer for the rest of the file: the heap stays within 1 MiB throughout.
TEST(AptReadFailure, ReadErrorsGiveFalseAndAnEmptyIndexAndNoBufferOutlivesItsLine) {
  const std::string body = Airports(300);
  const struct {
    const char *name;
    Source src;
    std::string want;
  } cases[] = {
      {"ReadErrorMidway", {body, body.size() / 2}, "false 0/0"},
      {"NoMemoryForTheRead", {body, body.size() / 2, ENOMEM}, "bad_alloc 0/0"},
      {"LongLine", {"99 " + std::string(4 << 20, 'c') + "\n" + Airports(3)}, "true 3/3"},
  };
  for (const auto &c : cases) {
    Source src = c.src;
    const size_t heap = HeapInUse();
    EXPECT_EQ(src.Read(), c.want) << c.name;
    EXPECT_LT(src.heapAtLastRead, heap + (1u << 20)) << c.name;
  }
}

// read from a file with operator new failing at each allocation in turn: every failure throws, leaves the
// index empty and the file closed and its buffers freed.
TEST(AptReadFailure, OutOfMemoryAtEveryAllocationReleasesFileAndBuffers) {
  cvhtsupport::TempDir dir;
  // A long comment line first makes the line buffer large enough that losing it would show.
  const std::string path = dir.Write("apt.dat", "99 " + std::string(200000, 'c') + "\n" + Airports(300));
  const int fds = cvhtproc::OpenDescriptors();
  int failures = 0;
  for (long budget = 0; budget < 40; ++budget) {
    const size_t heap = HeapInUse();
    const std::string got = Outcome([&](apt::Index &index) {
      gAllocBudget.store(budget);  // the failing allocation leaves it at -1
      const bool read = index.read(path.c_str());
      gAllocBudget.store(-1);
      return read;
    });
    const bool threw = got.rfind("bad_alloc", 0) == 0;
    EXPECT_EQ(got, threw ? "bad_alloc 0/0" : "true 300/300") << "budget " << budget;
    failures += threw;
    EXPECT_EQ(cvhtproc::OpenDescriptors(), fds) << "budget " << budget;
    EXPECT_LT(HeapInUse(), heap + 65536) << "budget " << budget;
  }
  // Vector growth plus the two final copies: every one of those allocations was made to fail once.
  EXPECT_GE(failures, 10);
}

}  // namespace
