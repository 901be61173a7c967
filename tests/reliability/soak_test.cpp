// 500 load / start / stream / stop / unload cycles of the real plug-in, some stopped while the scan of
// the full-size apt.dat still runs: nothing may be left behind, and "stopped" is always the last line.
#include <chrono>
#include <fstream>
#include <thread>

#include "../plugin/plugin_fixture.h"

using namespace cvhttest;

namespace {

// Lines of /proc/self/maps with this text. " /" counts the file-backed mappings only: a library or file
// the plug-in maps and forgets shows up there, while the allocator's anonymous regions (which a
// sanitizer's allocator grows on demand) do not.
int Mappings(const char *text) {
  std::ifstream in("/proc/self/maps");
  int n = 0;
  for (std::string line; std::getline(in, line);) n += line.find(text) != std::string::npos;
  return n;
}

int Threads() {
  namespace fs = std::filesystem;
  return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator()));
}

// A join returns once the kernel has cleared the thread's id, a moment before the thread is reaped and
// leaves /proc/self/task; so a count above the mark is read again for up to a second before it counts
// as a thread left behind.
int ThreadsAfterExits(int mark) {
  int n = Threads();
  for (int i = 0; n > mark && i < 100; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    n = Threads();
  }
  return n;
}

}  // namespace

TEST(Soak, FiveHundredCyclesLeaveNothingBehind) {
  TempDir small;
  const std::filesystem::path apt = std::filesystem::path(small.Path()) / kAptRel;
  std::filesystem::create_directories(apt.parent_path());
  std::ofstream(apt) << "I\n1200 Generated\n1 1416 0 0 LSZH Zurich\n"
                        "100 60.00 1 0 0.25 1 3 0 10 47.45 8.53 0 0 3 2 1 0 28 47.47 8.57 0 0 3 2 1 0\n99\n";
  const std::string full = CVHT_FULL_APT_DIR "/";  // "/" when the full-size file is not generated
  const bool haveFull = std::filesystem::exists(full + kAptRel);
  const int cycles = std::getenv("CVHT_SOAK_CYCLES") ? std::atoi(std::getenv("CVHT_SOAK_CYCLES")) : 500;

  Phone phone;
  int fds0 = 0, threads0 = 0, maps0 = 0, stoppedDuringScan = 0;
  size_t heap0 = 0;
  for (int c = 0; c < cycles; ++c) {
    SCOPED_TRACE("cycle " + std::to_string(c));
    simxp::Reset();
    simxp::PublishStandardAircraft();
    // Every 50th cycle reads the full-size file and stops before the scan can have finished.
    const bool big = haveFull && c % 50 == 25;
    simxp::SetSystemPath(big ? full : small.Path() + "/");
    simxp::Plugin plugin;
    ASSERT_TRUE(plugin.Load(simxp::DefaultPluginPath())) << plugin.Error();
    ASSERT_EQ(plugin.Start(), 1);
    for (uint32_t s = 1; s <= 5; ++s) {
      phone.Send(PoseBytes(s, {0.05f, 0, 0, 15, 0, 0}));
      simxp::RunFrame(1.0f / 60.0f);
    }
    stoppedDuringScan += big && simxp::LogText().find("apt.dat indexed") == std::string::npos;
    plugin.Stop();
    const auto lines = simxp::LogLines();
    ASSERT_FALSE(lines.empty());
    ASSERT_EQ(lines.back(), "CVHT: stopped");
    ASSERT_TRUE(plugin.Unload());
    ASSERT_EQ(Mappings("TAVRO.xpl"), 0);
    ASSERT_EQ(simxp::Faults(), std::vector<std::string>{});
    phone.Take();
    if (c == 0) {
      // After one cycle the process holds everything a cycle leaves for good (the C library's, the
      // DNS-SD library's); every later cycle must return to exactly this.
      fds0 = OpenDescriptors();
      threads0 = ThreadsAfterExits(1);  // the main thread alone, unless something holds one for good
      maps0 = Mappings(" /");
      heap0 = cvhtproc::HeapInUse();
    } else {
      ASSERT_EQ(OpenDescriptors(), fds0) << "descriptor leaked";
      ASSERT_EQ(ThreadsAfterExits(threads0), threads0) << "thread left";
      ASSERT_LE(Mappings(" /"), maps0 + 2) << "mappings grew";
    }
  }
  // Our host keeps what it needs per Reset; the plug-in's own heap must not grow cycle by cycle.
  EXPECT_LT(cvhtproc::HeapInUse(), heap0 + 64 * 1024);
  if (haveFull) {
    EXPECT_GT(stoppedDuringScan, 0) << "no stop happened while the full-size scan ran";
  }
}
