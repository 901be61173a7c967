// The link report every five seconds of tracking: both lines, their figures and the reset.
#include "plugin_fixture.h"

using namespace cvhttest;

namespace {

class StatsTest : public PluginTest {
 public:
  void SetUp() override {
    PluginTest::SetUp();
    ASSERT_EQ(Start(), 1);
  }
  void Send(uint32_t seq) { phone().Send(PoseBytes(seq)); }
  using PluginTest::Frame;
};

struct StatsCase {
  const char *what;
  void (*drive)(StatsTest &t);
  std::vector<std::string> reports;  // every "recv=" line, exactly, after the prefix
};

void PrintTo(const StatsCase &c, std::ostream *os) { *os << c.what; }

class Stats : public StatsTest, public ::testing::WithParamInterface<StatsCase> {};

}  // namespace

TEST_P(Stats, ReportsAndLinkLines) {
  GetParam().drive(*this);
  std::vector<std::string> want;
  for (const auto &r : GetParam().reports) want.push_back("CVHT: recv=" + r);
  EXPECT_EQ(LinesStartingWith("recv="), want);
  // The link line follows each report.
  EXPECT_EQ(LinesStartingWith("link "),
            std::vector<std::string>(want.size(), "CVHT: link peer=yes proto=ok view=1026 bonjour=off"));
  EXPECT_EQ(LastLine(), "CVHT: link peer=yes proto=ok view=1026 bonjour=off");
}

INSTANTIATE_TEST_SUITE_P(
    Link, Stats,
    ::testing::Values(
        StatsCase{"one frame of five seconds",
                  [](StatsTest &t) {
                    t.Send(42);
                    t.Frame(5.0f);
                  },
                  {"1 (0.2/s) apply=1 (0.2/s) sent=1 lost=0 (0.0%) ooo=0 bad=0 maxDrain=1 backlog=0 blend=1.00 "
                   "stale=0.00s"}},
        // 1000 to 1299 sent, ten of them lost on the way.
        StatsCase{"loss over the sequence window",
                  [](StatsTest &t) {
                    for (uint32_t s = 1000; s <= 1299; ++s) {
                      if (s % 30 == 7) continue;
                      t.Send(s);
                      t.Frame(0.01f);
                    }
                    t.Frame(2.2f);
                  },
                  {"290 (56.9/s) apply=291 (57.1/s) sent=300 lost=10 (3.3%) ooo=0 bad=0 maxDrain=1 backlog=0 "
                   "blend=0.00 stale=2.20s"}},
        StatsCase{"a duplicate makes loss negative",
                  [](StatsTest &t) {
                    for (uint32_t s : {1u, 2u, 3u, 3u, 4u}) {
                      t.Send(s);
                      t.Frame();
                    }
                    t.Frame(5.0f);
                  },
                  {"5 (1.0/s) apply=6 (1.2/s) sent=4 lost=-1 (-25.0%) ooo=1 bad=0 maxDrain=1 backlog=0 blend=0.00 "
                   "stale=5.00s"}},
        StatsCase{"silent periods report zero and stale keeps growing",
                  [](StatsTest &t) {
                    t.Send(1);
                    for (int i = 0; i < 3; ++i) t.Frame(5.0f);
                  },
                  {"1 (0.2/s) apply=1 (0.2/s) sent=1 lost=0 (0.0%) ooo=0 bad=0 maxDrain=1 backlog=0 blend=1.00 "
                   "stale=0.00s",
                   "0 (0.0/s) apply=1 (0.2/s) sent=0 lost=0 (0.0%) ooo=0 bad=0 maxDrain=0 backlog=0 blend=0.00 "
                   "stale=5.00s",
                   "0 (0.0/s) apply=1 (0.2/s) sent=0 lost=0 (0.0%) ooo=0 bad=0 maxDrain=0 backlog=0 blend=0.00 "
                   "stale=10.00s"}},
        // One burst of two every second, and the counters start again after each report.
        StatsCase{"every five seconds of frames, counters reset",
                  [](StatsTest &t) {
                    uint32_t seq = 0;
                    for (int f = 0; f < 60 * 11; ++f) {
                      t.Send(++seq);
                      if (f % 60 == 0) t.Send(++seq);
                      t.Frame();
                    }
                  },
                  std::vector<std::string>(2, "305 (61.0/s) apply=300 (60.0/s) sent=305 lost=0 (0.0%) ooo=0 bad=0 "
                                              "maxDrain=2 backlog=5 blend=1.00 stale=0.00s")}));

TEST_F(StatsTest, MissingViewTypeIsReportedAsMinusOne) {
  Stop();
  ASSERT_TRUE(plugin_.Unload());
  simxp::Omit(simxp::kViewTypeRef);
  ASSERT_TRUE(plugin_.Load(simxp::DefaultPluginPath()));
  ASSERT_EQ(Start(), 1);
  phone().Send(PoseBytes(1));
  Frame(5.0f);
  EXPECT_EQ(LinesStartingWith("link ").back(), "CVHT: link peer=yes proto=ok view=-1 bonjour=off");
  auto st = OfMagic(phone().Take(), "CVHS");
  ASSERT_FALSE(st.empty());
  EXPECT_EQ(As<cvht::StatusPacket>(st[0]).viewType, 0) << "the status packet sends 0 for a missing view type";
}
