// The airport scan of the real plug-in: its thread, its result line and its shutdown.
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <thread>

#include "plugin_fixture.h"

using namespace cvhttest;

namespace {

// A small apt.dat with two land airports (three runways), a heliport and an airport without position.
const char *kSmallApt =
    "I\n"
    "1200 Generated for tests\n"
    "\n"
    "1 1416 0 0 LSZH Zurich\n"
    "100 60.00 1 0 0.25 1 3 0 10 47.45 8.53 0 0 3 2 1 0 28 47.47 8.57 0 0 3 2 1 0\n"
    "100 60.00 1 0 0.25 1 3 0 14 47.48 8.53 0 0 3 2 1 0 32 47.46 8.56 0 0 3 2 1 0\n"
    "1302 datum_lat 47.464722\n"
    "1302 datum_lon 8.549167\n"
    "17 1300 0 0 XHEL Heliport\n"
    "1 100 0 0 NOPOS Nowhere\n"
    "1 1700 0 0 LSZB Bern\n"
    "100 40.00 1 0 0.25 1 3 0 14 46.90 7.49 0 0 3 2 1 0 32 46.92 7.51 0 0 3 2 1 0\n"
    "99\n";

using ScanTest = PluginTest;

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define CVHT_INTERPOSE_THREAD_CALLS 1
// The next pthread_join and pthread_detach of the process fail with EINVAL when these are set; the
// plug-in's std::thread reaches them through the C library's names, which this program overrides.
std::atomic<bool> gFailNextJoin{false}, gFailNextDetach{false};
#endif

}  // namespace

#if defined(CVHT_INTERPOSE_THREAD_CALLS)
extern "C" int pthread_join(pthread_t thread, void **result) {
  if (gFailNextJoin.exchange(false)) return EINVAL;
  static auto real = reinterpret_cast<int (*)(pthread_t, void **)>(dlsym(RTLD_NEXT, "pthread_join"));
  return real(thread, result);
}
extern "C" int pthread_detach(pthread_t thread) {
  if (gFailNextDetach.exchange(false)) return EINVAL;
  static auto real = reinterpret_cast<int (*)(pthread_t)>(dlsym(RTLD_NEXT, "pthread_detach"));
  return real(thread);
}
#endif

// A stop whose join fails still deletes the index and logs "stopped"; the next start waits for the
// thread that is still joinable instead of overwriting it (which would terminate X-Plane).
TEST_F(ScanTest, AFailedJoinStillStopsAndTheNextStartJoinsFirst) {
#if !defined(CVHT_INTERPOSE_THREAD_CALLS)
  GTEST_SKIP() << "the sanitizer runtime owns pthread_join";
#else
  WriteApt(kSmallApt);
  ASSERT_EQ(Start(), 1);
  ASSERT_EQ(AwaitScan().size(), 1u);
  gFailNextJoin = gFailNextDetach = true;
  Stop();
  EXPECT_FALSE(gFailNextJoin.load()) << "stop did not try to join";
  EXPECT_EQ(LastLine(), "CVHT: stopped") << "stop ended early, before deleting the index";
  ASSERT_EQ(Start(), 1);
  AwaitScan(2);
  EXPECT_EQ(LinesStartingWith("apt.dat indexed").size(), 2u);
#endif
}

// Each start scans afresh and writes its result once, before "stopped" even when no frame ran.
TEST_F(ScanTest, EveryStartScansAfreshAndReportsOnce) {
  const std::string small = "CVHT: apt.dat indexed: 2 airports, 3 runways";
  const std::string one = "CVHT: apt.dat indexed: 1 airports, 0 runways";
  WriteApt(kSmallApt);
  ASSERT_EQ(Start(), 1);
  EXPECT_EQ(AwaitScan(), std::vector<std::string>{small});
  Frames(10);
  EXPECT_EQ(LinesStartingWith("apt.dat ").size(), 1u) << "the result is written once";
  Stop();
  WriteApt("I\n1200 Generated\n1 10 0 0 ONE One\n1302 datum_lat 1.5\n1302 datum_lon 2.5\n");
  ASSERT_EQ(Start(), 1);
  EXPECT_EQ(AwaitScan(2), (std::vector<std::string>{small, one}));
  Stop();
  ASSERT_EQ(Start(), 1);
  Stop();
  auto lines = Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], one);
  EXPECT_EQ(lines.back(), "CVHT: stopped");
}

// Missing, without land airports, a folder: each is reported with the full path, start after start.
TEST_F(ScanTest, UnreadableFilesAreReportedWithTheirFullPath) {
  const std::string path = system_.Path() + "/" + kAptRel;
  const std::string line = "CVHT: apt.dat not read from " + path + " — airports unavailable";
  ASSERT_EQ(Start(), 1);
  EXPECT_EQ(AwaitScan(), std::vector<std::string>{line});
  Stop();
  WriteApt("I\n1200 Generated\n16 0 0 0 SEA1 Seaplane base\n99\n");
  ASSERT_EQ(Start(), 1);
  EXPECT_EQ(AwaitScan(2), std::vector<std::string>(2, line));
  Stop();
  std::filesystem::remove(path);
  std::filesystem::create_directory(path);
  ASSERT_EQ(Start(), 1);
  EXPECT_EQ(AwaitScan(3), std::vector<std::string>(3, line));
}

#ifdef CVHT_FULL_APT_DIR
// The full-size file takes seconds to read: stop waits for the scan, frees the index, and "stopped"
// stays the last line. Every XPLM call, the scan's line included, is checked to come from this thread.
TEST_F(ScanTest, StopWhileTheFullFileIsStillBeingRead) {
  const std::string full = CVHT_FULL_APT_DIR;
  if (!std::filesystem::exists(full + "/" + kAptRel)) GTEST_SKIP() << "full-size apt.dat not generated at " << full;
  simxp::SetSystemPath(full + "/");
  ASSERT_EQ(Start(), 1);
  Frames(5);
  EXPECT_TRUE(LinesStartingWith("apt.dat ").empty()) << "the scan should still be running";
  Stop();
  auto lines = Lines();
  ASSERT_GE(lines.size(), 2u);
  // The generator writes down what the index must hold.
  std::ifstream counts(full + "/apt.dat.counts");
  std::string key, expected;
  while (counts >> key) {
    if (key == "indexed_line") {
      std::getline(counts >> std::ws, expected);
      break;
    }
    counts.ignore(1 << 20, '\n');
  }
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(lines[lines.size() - 2], "CVHT: " + expected);
  EXPECT_EQ(lines.back(), "CVHT: stopped");
}
#endif
