// The head pose in the cockpit: blend, mirror, gains, limits and the frame interval.
#include "plugin_fixture.h"

using namespace cvhttest;

namespace {

class HeadPoseTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    ASSERT_EQ(Start(), 1);
  }
  // Streams the same pose for n frames at 60 Hz.
  void Stream(const Pose &p, int n, bool tracking = true) {
    for (int i = 0; i < n; ++i) {
      phone().Send(PoseBytes(++seq_, p, tracking));
      Frame();
    }
  }
  uint32_t seq_ = 0;
};

// After 20 frames of one pose, what each head dataref holds: x, y, z from the eye point, yaw, pitch, roll.
TEST_F(HeadPoseTest, AxesAtFullWeight) {
  const float kNan = std::nanf(""), kInf = INFINITY;
  const struct {
    const char *what;
    Pose pose;
    float head[6];
    bool tracking = true;
  } cases[] = {
      {"gains and mirrors", {0.12f, -0.1f, 0.1f, -10, 10, 10}, {0.12f, -0.2f, -0.1f, -25, -20, -10}},
      {"upper limits", {1.0f, 0.2f, -1.0f, 40, -50, -90}, {0.35f, 0.35f, 0.35f, 80, 80, 80}},
      {"lower limits", {-1.0f, -1.0f, 1.0f, -1000, 50, 90}, {-0.35f, -0.35f, -0.35f, -80, -80, -80}},
      {"huge values are limited", {3e38f, -3e38f, 3e38f, 3e38f, -3e38f, 3e38f}, {0.35f, -0.35f, -0.35f, 80, 80, -80}},
      {"non-finite axes stay neutral while the others move", {kInf, kNan, -kInf, kNan, 10, 10}, {0, 0, 0, 0, -20, -10}},
      {"poses without tracking are written but never leave neutral", {0.3f, 0.1f, 0.1f, 30, 10, 10}, {}, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    ASSERT_EQ(Start(), 1);
    Stream(c.pose, 20, c.tracking);
    const float eye[6] = {0.1f, 0.8f, -0.4f, 0, 0, 0};
    for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(Head(i), eye[i] + c.head[i]) << simxp::kHeadRefs[i];
    EXPECT_EQ(simxp::WriteCount(simxp::kHeadRefs[5]), 20u);
    auto st = Statuses();
    ASSERT_FALSE(st.empty());
    EXPECT_EQ(st.back().seq, seq_) << "the packet is accepted";
  }
}

// The blend eases in over 18 frames, holds for 0.15 s of silence, then falls towards a target that reaches
// zero at 0.65 s. The status packet carries the blend the previous frame wrote, and the pose this frame read.
// A frame interval that is not a positive number counts as 1/60 s.
TEST_F(HeadPoseTest, BlendEasesInHoldsThenFadesToNeutral) {
  const float first = 1.0f / 60.0f / 0.3f;
  const float unusable[] = {0.0f, -0.5f, std::nanf(""), INFINITY, -INFINITY};
  for (int frame = 1; frame <= 5; ++frame) {
    phone().Send(PoseBytes(++seq_, {0, 0, 0, 20, 0, 0}));
    Frame(unusable[frame - 1]);
    EXPECT_FLOAT_EQ(Head(3), 50.0f * first * frame);
    auto st = Statuses();
    ASSERT_EQ(st.size(), 1u);
    EXPECT_FLOAT_EQ(st[0].blend, first * (frame - 1));
    EXPECT_EQ(st[0].seq, static_cast<uint32_t>(frame));
  }
  Stream({0, 0, 0, 20, 0, 0}, 12);
  EXPECT_LT(Head(3), 50.0f);
  Stream({0, 0, 0, 20, 0, 0}, 1);
  EXPECT_FLOAT_EQ(Head(3), 50.0f) << "full weight after 18 frames";
  Frames(2, 0.05f);
  EXPECT_FLOAT_EQ(Head(3), 50.0f) << "0.1 s after the last fresh packet: still full weight";
  Frames(6, 0.05f);
  EXPECT_NEAR(Head(3), 25.0f, 0.05f) << "at 0.4 s the target is 0.5, and the blend has fallen to it at 2/s";
  Frames(5, 0.05f);
  EXPECT_NEAR(Head(3), 0.0f, 1e-4f) << "at 0.65 s and after, neutral";
  Frames(3, 0.05f);
  EXPECT_EQ(Head(3), 0.0f);
  EXPECT_FLOAT_EQ(Head(0), 0.1f);
  Stream({0, 0, 0, 20, 0, 0}, 1);
  EXPECT_FLOAT_EQ(Head(3), 50.0f * first) << "fresh packets bring it back at 1/0.3 per second";
}

}  // namespace
