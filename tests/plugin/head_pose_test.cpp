// The head pose in the cockpit: blend, mirror, gains, limits and the frame interval.
#include "plugin_fixture.h"

using namespace cvhttest;

namespace {

constexpr float kEyeX = 0.1f, kEyeY = 0.8f, kEyeZ = -0.4f;

class HeadPoseTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    ASSERT_EQ(Start(), 1);
  }
  // Streams the same pose with the tracking bit for n frames at 60 Hz.
  void Stream(const Pose &p, int n) {
    for (int i = 0; i < n; ++i) {
      phone().Send(PoseBytes(++seq_, p));
      Frame();
    }
  }
  uint32_t seq_ = 0;
};

}  // namespace

// The status packet carries the blend the previous frame wrote, and the pose this frame read.
TEST_F(HeadPoseTest, BlendEasesInOverEighteenFrames) {
  const float first = 1.0f / 60.0f / 0.3f;
  EXPECT_NEAR(first, 0.0556f, 1e-4f);
  for (int frame = 1; frame <= 2; ++frame) {
    Stream({0, 0, 0, 40, 0, 0}, 1);
    EXPECT_FLOAT_EQ(Head(3), 80.0f * first * frame);
    auto st = OfMagic(phone().Take(), "CVHS");
    ASSERT_EQ(st.size(), 1u);
    EXPECT_FLOAT_EQ(As<cvht::StatusPacket>(st[0]).blend, first * (frame - 1));
    EXPECT_EQ(As<cvht::StatusPacket>(st[0]).seq, static_cast<uint32_t>(frame));
  }
  Stream({0, 0, 0, 40, 0, 0}, 15);
  EXPECT_LT(Head(3), 80.0f);
  Stream({0, 0, 0, 40, 0, 0}, 1);
  EXPECT_FLOAT_EQ(Head(3), 80.0f) << "full weight after 18 frames";
}

struct AxisCase {
  const char *what;
  Pose pose;
  float head[6];  // at full weight: x, y, z from the eye point, then yaw, pitch, roll
};

void PrintTo(const AxisCase &c, std::ostream *os) { *os << c.what; }

class AxisMapping : public HeadPoseTest, public ::testing::WithParamInterface<AxisCase> {};

TEST_P(AxisMapping, AtFullWeight) {
  const AxisCase c = GetParam();
  Stream(c.pose, 20);
  const float eye[6] = {kEyeX, kEyeY, kEyeZ, 0, 0, 0};
  for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(Head(i), eye[i] + c.head[i]) << c.what << ", " << simxp::kHeadRefs[i];
  auto st = OfMagic(phone().Take(), "CVHS");
  ASSERT_FALSE(st.empty());
  EXPECT_EQ(As<cvht::StatusPacket>(st.back()).seq, 20u) << "the packet is accepted";
}

const float kNan = std::nanf(""), kInf = INFINITY;

INSTANTIATE_TEST_SUITE_P(
    HeadPose, AxisMapping,
    ::testing::Values(AxisCase{"yaw 40 doubles and a half to the limit", {0, 0, 0, 40, 0, 0}, {0, 0, 0, 80, 0, 0}},
                      AxisCase{"yaw 50 is limited", {0, 0, 0, 50, 0, 0}, {0, 0, 0, 80, 0, 0}},
                      AxisCase{"yaw -10", {0, 0, 0, -10, 0, 0}, {0, 0, 0, -25, 0, 0}},
                      AxisCase{"yaw -1000 is limited", {0, 0, 0, -1000, 0, 0}, {0, 0, 0, -80, 0, 0}},
                      AxisCase{"y 0.2 doubles past the limit", {0, 0.2f, 0, 0, 0, 0}, {0, 0.35f, 0, 0, 0, 0}},
                      AxisCase{"y -0.1 doubles", {0, -0.1f, 0, 0, 0, 0}, {0, -0.2f, 0, 0, 0, 0}},
                      AxisCase{"z is mirrored", {0, 0, 0.1f, 0, 0, 0}, {0, 0, -0.1f, 0, 0, 0}},
                      AxisCase{"x passes through", {0.12f, 0, 0, 0, 0, 0}, {0.12f, 0, 0, 0, 0, 0}},
                      AxisCase{"x is limited", {1.0f, 0, 0, 0, 0, 0}, {0.35f, 0, 0, 0, 0, 0}},
                      AxisCase{"x is limited below", {-1.0f, 0, 0, 0, 0, 0}, {-0.35f, 0, 0, 0, 0, 0}},
                      AxisCase{"pitch is mirrored and doubled", {0, 0, 0, 0, 10, 0}, {0, 0, 0, 0, -20, 0}},
                      AxisCase{"pitch -50 is limited", {0, 0, 0, 0, -50, 0}, {0, 0, 0, 0, 80, 0}},
                      AxisCase{"roll is mirrored", {0, 0, 0, 0, 0, 10}, {0, 0, 0, 0, 0, -10}},
                      AxisCase{"roll 90 is limited", {0, 0, 0, 0, 0, 90}, {0, 0, 0, 0, 0, -80}},
                      AxisCase{"huge finite values are limited",
                               {3e38f, -3e38f, 3e38f, 3e38f, -3e38f, 3e38f},
                               {0.35f, -0.35f, -0.35f, 80, 80, -80}},
                      AxisCase{"non-finite axes stay neutral while the others move",
                               {kInf, kNan, -kInf, kNan, 10, 10},
                               {0, 0, 0, 0, -20, -10}}));

TEST_F(HeadPoseTest, SilenceHoldsThenFadesToNeutral) {
  Stream({0, 0, 0, 20, 0, 0}, 20);
  ASSERT_FLOAT_EQ(Head(3), 50.0f);
  // 0.1 s after the last fresh packet: still full weight.
  Frames(2, 0.05f);
  EXPECT_FLOAT_EQ(Head(3), 50.0f);
  // At 0.4 s the target is 0.5, and the blend has fallen to it at 2 per second.
  Frames(6, 0.05f);
  EXPECT_NEAR(Head(3), 25.0f, 0.05f);
  // At 0.65 s and after, neutral.
  Frames(5, 0.05f);
  EXPECT_NEAR(Head(3), 0.0f, 1e-4f);
  Frames(3, 0.05f);
  EXPECT_EQ(Head(3), 0.0f);
  EXPECT_FLOAT_EQ(Head(0), kEyeX);
  // Fresh packets bring it back at 1/0.3 per second.
  Stream({0, 0, 0, 20, 0, 0}, 1);
  EXPECT_FLOAT_EQ(Head(3), 50.0f * (1.0f / 60.0f / 0.3f));
}

TEST_F(HeadPoseTest, PosesWithoutTrackingNeverLeaveNeutralButAreWritten) {
  for (uint32_t s = 1; s <= 30; ++s) {
    phone().Send(PoseBytes(s, {0.3f, 0.1f, 0.1f, 30, 10, 10}, false));
    Frame();
  }
  EXPECT_EQ(simxp::WriteCount(simxp::kHeadRefs[3]), 30u);
  EXPECT_FLOAT_EQ(Head(0), kEyeX);
  EXPECT_FLOAT_EQ(Head(1), kEyeY);
  EXPECT_FLOAT_EQ(Head(2), kEyeZ);
  EXPECT_EQ(Head(3), 0.0f);
  EXPECT_EQ(Head(4), 0.0f);
  EXPECT_EQ(Head(5), 0.0f);
}

class UnusableElapsed : public HeadPoseTest, public ::testing::WithParamInterface<float> {};

TEST_P(UnusableElapsed, CountsAsOneSixtiethOfASecond) {
  phone().Send(PoseBytes(1, {0, 0, 0, 40, 0, 0}));
  Frame(GetParam());
  EXPECT_FLOAT_EQ(Head(3), 80.0f * (0.016666668f / 0.3f));
}

INSTANTIATE_TEST_SUITE_P(HeadPose, UnusableElapsed,
                         ::testing::Values(0.0f, -0.5f, std::nanf(""), INFINITY, -INFINITY));

TEST_F(HeadPoseTest, NothingIsWrittenOrSentOrLoggedBeforeThePhoneSpeaks) {
  const size_t lines = Lines().size();
  Frames(120);
  EXPECT_EQ(simxp::TotalWrites(), 0u);
  // Only the airport scan's result may appear meanwhile.
  EXPECT_EQ(Lines().size() - LinesStartingWith("apt.dat ").size(), lines);
}
