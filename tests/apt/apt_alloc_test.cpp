// Running out of memory while the index is built: bad_alloc reaches the caller, the file and buffers do not leak.
#include <atomic>
#include <cstdlib>
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
  apttest::TempDir dir;
  // A long comment line first makes the line buffer large enough that losing it would show.
  std::string body = apttest::Preamble() + "99 " + std::string(200000, 'c') + "\n";
  for (int i = 0; i < 300; ++i)
    body += apttest::Header("A" + std::to_string(i)) + apttest::RunwayRow("09", "10", "20", "27", "10.2", "20.4");
  const std::string path = dir.write("apt.dat", body);

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

}  // namespace
