// 500 load / start / stream / stop / unload cycles of the real plug-in: nothing may be left behind, the
// airport index included, and "stopped" is always the last line.
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

// A join returns once the kernel has cleared the thread's id, a moment before the thread is reaped and
// leaves /proc/self/task; so a count above the mark is read again for up to a second before it counts
// as a thread left behind.
int ThreadsAfterExits(int mark) {
  namespace fs = std::filesystem;
  auto threads = [] { return std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator()); };
  int n = static_cast<int>(threads());
  for (int i = 0; n > mark && i < 100; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    n = static_cast<int>(threads());
  }
  return n;
}

}  // namespace

TEST_F(PluginTest, SoakOfFiveHundredCyclesLeavesNothingBehind) {
  WriteApt(AptText().Airport("LSZH", 1416, 47.464722, 8.549167, 30).Text());  // an index a leak would show
  const int cycles = std::getenv("CVHT_SOAK_CYCLES") ? std::atoi(std::getenv("CVHT_SOAK_CYCLES")) : 500;
  int fds0 = 0, threads0 = 0, maps0 = 0;
  size_t heap0 = 0;
  for (int c = 0; c < cycles; ++c) {
    SCOPED_TRACE("cycle " + std::to_string(c));
    ASSERT_NO_FATAL_FAILURE(Fresh());
    ASSERT_EQ(Start(), 1);
    for (uint32_t s = 1; s <= 5; ++s) {
      phone().Send(PoseBytes(s, {0.05f, 0, 0, 15, 0, 0}));
      Frame();
    }
    Stop();
    ASSERT_EQ(LastLine(), "CVHT: stopped");
    ASSERT_TRUE(plugin_.Unload());
    ASSERT_EQ(Mappings("TAVRO.xpl"), 0);
    ASSERT_EQ(simxp::Faults(), std::vector<std::string>{});
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
}
