// The airport scan of the real plug-in: its thread, its result line and its shutdown.
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>

#include "plugin_fixture.h"

using namespace cvhttest;

using ScanTest = PluginTest;

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define CVHT_INTERPOSE_THREAD_CALLS 1
// The next pthread_join and pthread_detach of the process fail with EINVAL when these are set; the
// plug-in's std::thread reaches them through the C library's names, which this program overrides.
static std::atomic<bool> gFailNextJoin{false}, gFailNextDetach{false};
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

// Each start scans afresh and writes its result once, before "stopped" even when no frame ran. A file
// that is missing, holds no land airport or is a folder is reported with its full path. A stop whose join
// fails still deletes the index and logs "stopped"; the next start waits for the thread that is still
// joinable instead of overwriting it (which would terminate X-Plane).
TEST_F(ScanTest, EveryStartScansAfreshAndReportsOnce) {
  const std::string path = system_.Path() + "/" + kAptRel;
  const std::string unread = "CVHT: apt.dat not read from " + path + " — airports unavailable";
  const std::string one = "CVHT: apt.dat indexed: 1 airports, 0 runways";
  const std::pair<std::string, std::string> files[] = {
      {"", unread},  // none written yet
      {"I\n1200 Generated\n16 0 0 0 SEA1 Seaplane base\n99\n", unread},
      {AptText().Airport("LSZH", 1416, 47.464722, 8.549167, 2).Airport("LSZB", 1700, 46.9, 7.49, 1).Text(),
       "CVHT: apt.dat indexed: 2 airports, 3 runways"},
      {"I\n1200 Generated\n1 10 0 0 ONE One\n1302 datum_lat 1.5\n1302 datum_lon 2.5\n", one}};
  std::vector<std::string> want;
  for (const auto &[text, line] : files) {
    if (!text.empty()) WriteApt(text);
    want.push_back(line);
    ASSERT_EQ(Start(), 1);
    EXPECT_EQ(AwaitScan(want.size()), want);
    Frames(10);
    EXPECT_EQ(LinesStartingWith("apt.dat ").size(), want.size()) << "the result is written once";
#if defined(CVHT_INTERPOSE_THREAD_CALLS)
    gFailNextJoin = gFailNextDetach = true;
    Stop();
    EXPECT_FALSE(gFailNextJoin.load()) << "stop did not try to join";
#else
    Stop();  // the sanitizer runtime owns pthread_join
#endif
    EXPECT_EQ(LastLine(), "CVHT: stopped") << "stop ended early, before deleting the index";
  }
  ASSERT_EQ(Start(), 1);
  Stop();
  auto lines = Lines();
  EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()), (std::vector<std::string>{one, "CVHT: stopped"}));
  std::filesystem::remove(path);
  std::filesystem::create_directory(path);
  ASSERT_EQ(Start(), 1);
  EXPECT_EQ(AwaitScan(6).back(), unread);
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
  // The generator writes down what the index must hold.
  std::ifstream counts(full + "/apt.dat.counts");
  std::string expected = "<no indexed_line>";
  for (std::string l; std::getline(counts, l);)
    if (l.rfind("indexed_line ", 0) == 0) expected = l.substr(13);
  auto lines = Lines();
  EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
            (std::vector<std::string>{"CVHT: " + expected, "CVHT: stopped"}));
}
#endif
