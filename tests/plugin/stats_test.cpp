// The link report every five seconds of tracking: both lines, their figures and the reset.
#include "plugin_fixture.h"

using namespace cvhttest;

namespace {

class StatsTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    ASSERT_EQ(Start(), 1);
  }
  std::vector<std::string> Reports() { return LinesStartingWith("recv="); }
  std::vector<std::string> Links() { return LinesStartingWith("link "); }
};

}  // namespace

TEST_F(StatsTest, OneFrameOfFiveSecondsGivesTheWholeReport) {
  phone().Send(PoseBytes(42));
  Frame(5.0f);
  EXPECT_EQ(Reports(), std::vector<std::string>{"CVHT: recv=1 (0.2/s) apply=1 (0.2/s) sent=1 lost=0 (0.0%) ooo=0 "
                                                "bad=0 maxDrain=1 backlog=0 blend=1.00 stale=0.00s"});
  EXPECT_EQ(Links(), std::vector<std::string>{"CVHT: link peer=yes proto=ok view=1026 bonjour=off"});
  EXPECT_EQ(LastLine(), "CVHT: link peer=yes proto=ok view=1026 bonjour=off") << "the link line follows the counts";
}

TEST_F(StatsTest, LossIsCountedOverTheSequenceWindow) {
  // 1000 to 1299 sent, ten of them lost on the way.
  int sentFrames = 0;
  for (uint32_t s = 1000; s <= 1299; ++s) {
    if (s % 30 == 7) continue;
    phone().Send(PoseBytes(s));
    Frame(0.01f);
    ++sentFrames;
  }
  ASSERT_EQ(sentFrames, 290);
  ASSERT_TRUE(Reports().empty());
  Frame(2.2f);
  auto r = Reports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_NE(r[0].find("recv=290 ("), std::string::npos) << r[0];
  EXPECT_NE(r[0].find(" apply=291 ("), std::string::npos) << r[0];
  EXPECT_NE(r[0].find(" sent=300 lost=10 (3.3%) ooo=0 bad=0 maxDrain=1 backlog=0 "), std::string::npos) << r[0];
}

TEST_F(StatsTest, ADuplicateMakesLossNegative) {
  for (uint32_t s : {1u, 2u, 3u, 3u, 4u}) {
    phone().Send(PoseBytes(s));
    Frame();
  }
  Frame(5.0f);
  auto r = Reports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_NE(r[0].find(" sent=4 lost=-1 (-25.0%) ooo=1 "), std::string::npos) << r[0];
}

TEST_F(StatsTest, ASilentPeriodReportsZeroAndStaleKeepsGrowing) {
  phone().Send(PoseBytes(1));
  Frame(5.0f);
  Frame(5.0f);
  Frame(5.0f);
  auto r = Reports();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[1], "CVHT: recv=0 (0.0/s) apply=1 (0.2/s) sent=0 lost=0 (0.0%) ooo=0 bad=0 maxDrain=0 backlog=0 "
                  "blend=0.00 stale=5.00s");
  EXPECT_NE(r[2].find(" stale=10.00s"), std::string::npos) << r[2];
}

TEST_F(StatsTest, ReportsComeEveryFiveSecondsOfFramesAndResetTheCounters) {
  uint32_t seq = 0;
  for (int f = 0; f < 60 * 11; ++f) {
    phone().Send(PoseBytes(++seq));
    if (f % 60 == 0) phone().Send(PoseBytes(++seq));  // one burst of two per second
    Frame();
  }
  auto r = Reports();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_NE(r[0].find(" maxDrain=2 backlog=5 "), std::string::npos) << r[0];
  EXPECT_NE(r[1].find(" maxDrain=2 backlog=5 "), std::string::npos) << r[1];
  EXPECT_NE(r[1].find("recv=305 (61.0/s) apply=300 (60.0/s) sent=305 lost=0 (0.0%)"), std::string::npos) << r[1];
  EXPECT_EQ(Links().size(), 2u);
}

TEST_F(StatsTest, MissingViewTypeIsReportedAsMinusOne) {
  Stop();
  ASSERT_TRUE(plugin_.Unload());
  simxp::Omit(simxp::kViewTypeRef);
  ASSERT_TRUE(plugin_.Load(simxp::DefaultPluginPath()));
  ASSERT_EQ(Start(), 1);
  phone().Send(PoseBytes(1));
  Frame(5.0f);
  EXPECT_EQ(Links().back(), "CVHT: link peer=yes proto=ok view=-1 bonjour=off");
  auto st = OfMagic(phone().Take(), "CVHS");
  ASSERT_FALSE(st.empty());
  EXPECT_EQ(As<cvht::StatusPacket>(st[0]).viewType, 0) << "the status packet sends 0 for a missing view type";
}
