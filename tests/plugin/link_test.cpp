// The pose link: what each datagram is taken for, the peer, the sequence window, the drain and the report;
// and the head pose it moves: blend, mirror, gains, limits and the frame interval.
#include "plugin_fixture.h"

using namespace cvhttest;

namespace {

class LinkTest : public PluginTest {
 public:
  void SetUp() override {
    PluginTest::SetUp();
    ASSERT_EQ(Start(), 1);
  }
  void Send(uint32_t seq) { phone().Send(PoseBytes(seq)); }
  // Ends the statistics period at once, so its report shows the counters.
  void Report() { Frame(5.0f); }
};

std::string Renamed(std::string bytes, const char *magic) { return bytes.replace(0, 4, magic); }

// One datagram on a fresh link: the status it draws (seq -1: none, as the sender is not the peer). A valid
// pose then clears a mismatch in the same frame's status, and the datagram once more shows in the report.
TEST_F(LinkTest, DatagramsAreClassifiedByMagicVersionAndLength) {
  const std::string pose = PoseBytes(10, {0, 0, 0, 20, 0, 0});
  const struct {
    const char *what;
    std::string bytes;
    int seq;
    bool mismatch;
    int bad, recv;
  } cases[] = {
      {"empty", "", -1, false, 1, 0},
      {"three bytes", "CVH", -1, false, 1, 0},
      {"another magic", Renamed(pose, "XPLN"), -1, false, 1, 0},
      {"query of 13 bytes", QueryBytes("LSZH").substr(0, 13), -1, false, 1, 0},
      {"query of 15 bytes", QueryBytes("LSZH") + "x", -1, false, 1, 0},
      {"query magic on a pose", Renamed(pose, "CVHQ"), -1, false, 1, 0},
      {"query", QueryBytes("NONE"), 0, false, 0, 0},
      {"query of version 2", QueryBytes("NONE", 2), 0, false, 0, 0},
      {"pose of version 3", PoseBytes(10, {}, true, 3), 0, true, 1, 0},
      {"magic alone", "CVHT", 0, true, 1, 0},
      {"pose of 20 bytes", pose.substr(0, 20), 0, true, 1, 0},
      {"pose of 47 bytes", pose.substr(0, 47), 0, true, 1, 0},
      {"pose of 148 bytes", pose + std::string(100, '\xee'), 10, false, 0, 1},
      {"pose of 65507 bytes", pose + std::string(65507 - 48, '\x7f'), 10, false, 0, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    ASSERT_EQ(Start(), 1);
    phone().Send(c.bytes);
    Frame();
    auto st = Statuses();
    ASSERT_EQ(st.size(), c.seq < 0 ? 0u : 1u) << "a status goes to the peer alone";
    if (c.seq >= 0) {
      EXPECT_EQ(st[0].seq, static_cast<uint32_t>(c.seq));
      EXPECT_EQ(st[0].flags, cvht::kStatusAlways | (c.mismatch ? cvht::kStatusMismatch : 0) |
                                 (c.seq > 0 ? cvht::kStatusFresh : 0));
    }
    EXPECT_EQ(simxp::TotalWrites() != 0, c.seq > 0) << "the view moves only for an accepted pose";
    phone().Send(PoseBytes(30));
    Frame();
    st = Statuses();
    ASSERT_EQ(st.size(), 1u);
    EXPECT_EQ(st[0].flags, cvht::kStatusAlways | cvht::kStatusFresh);
    phone().Send(c.bytes);
    Report();
    EXPECT_EQ(ReportField("bad") + " " + ReportField("recv") + " " + ReportField("proto"),
              std::to_string(2 * c.bad) + " " + std::to_string(1 + 2 * c.recv) + (c.mismatch ? " MISMATCH" : " ok"));
  }
}

// After the first pose, `silence` seconds (with a pose without the tracking bit 0.5 s in, when `untracked`):
// the link is fresh below one second; then `seq`: accepted or out of order, and a restart or not.
TEST_F(LinkTest, SequenceOrderAndRestart) {
  const struct {
    uint32_t first, seq;
    float silence;
    bool untracked, accepted, restart;
    const char *sent;  // the report's window after it
  } cases[] = {
      {5000, 4500, 0.5f, false, false, false, "1"},     {5000, 4000, 0.5f, false, false, false, "1"},
      {5000, 3999, 0.5f, false, true, true, "1"},       {5000, 5000, 0.5f, false, false, false, "1"},
      {5000, 5001, 0.5f, false, true, false, "2"},      {5000, 90000, 0.5f, false, true, false, "85001"},
      {5000, 4999, 1.0f, false, true, true, "1"},       {5000, 4999, 0.6f, true, true, true, "1"},
      {4294967295u, 0, 0.0f, false, true, true, "1"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.first) + " then " + std::to_string(c.seq) + " after " + std::to_string(c.silence) +
                 (c.untracked ? " s untracked" : " s"));
    Fresh();
    ASSERT_EQ(Start(), 1);
    phone().Send(PoseBytes(c.first));
    Frame();
    if (c.untracked) {
      Frame(0.5f);
      phone().Send(PoseBytes(c.first + 1, {}, false));
    }
    Frame(c.silence);
    EXPECT_EQ(Statuses().back().flags & cvht::kStatusFresh, c.silence < 1.0f && !c.untracked ? cvht::kStatusFresh : 0);
    phone().Send(PoseBytes(c.seq));
    Frame();
    auto st = Statuses();
    ASSERT_EQ(st.size(), 1u);
    EXPECT_EQ(st[0].seq, c.accepted ? c.seq : c.first);
    EXPECT_EQ(st[0].drained, 1u) << "out-of-order packets are valid and count as drained";
    const std::string line = "CVHT: sender restart detected (seq " +
                             std::to_string(c.untracked ? c.first + 1 : c.first) + " -> " + std::to_string(c.seq) +
                             "), resyncing";
    EXPECT_EQ(LinesStartingWith("sender restart detected"), std::vector<std::string>(c.restart ? 1 : 0, line));
    Report();
    EXPECT_EQ(ReportField("ooo") + " " + ReportField("recv") + " " + ReportField("sent"),
              std::string(c.accepted ? "0" : "1") + (c.untracked ? " 3 " : " 2 ") + c.sent);
  }
}

// 5000, a late 4999, a pose of another version and 0 in every frame of 1/64 s: each 0 is a restart, handled
// in full, and 256 of them come in four seconds. X-Plane's log gets one restart line per second and the count
// of the held ones, and nothing for the late or foreign poses.
TEST_F(LinkTest, AlternatingSequencesRestartEveryFrameButLogOncePerSecond) {
  ASSERT_EQ(AwaitScan().size(), 1u);  // the missing apt.dat's line first, so what follows is the peer's doing
  const size_t before = Lines().size();
  for (int frame = 0; frame < 256; ++frame) {
    phone().Send(PoseBytes(5000));
    phone().Send(PoseBytes(4999));               // late
    phone().Send(PoseBytes(6000, {}, true, 3));  // another protocol version
    phone().Send(PoseBytes(0));
    phone().Take();
    Frame(1.0f / 64.0f);
    auto st = Statuses();
    ASSERT_EQ(st.size(), 1u);
    ASSERT_EQ(st[0].seq, 0u) << "frame " << frame << ": the restart packet was accepted";
  }
  Frame(1.0f / 64.0f);  // the second after the last line is over
  const std::string line = "CVHT: sender restart detected (seq 5000 -> 0), resyncing";
  const std::string held = "CVHT: sender restart detected 63 more times in the last second — lines suppressed";
  // Nothing else a peer sends writes to X-Plane's log: besides the first pose's eye point, only these.
  const auto lines = Lines();
  EXPECT_EQ(std::vector<std::string>(lines.begin() + before, lines.end()),
            (std::vector<std::string>{line, "CVHT: eye reference captured: x=0.100 y=0.800 z=-0.400", held, line, held,
                                      line, held, line, held}));
  Report();
  EXPECT_EQ(ReportField("recv") + " " + ReportField("ooo") + " " + ReportField("sent"), "768 256 1")
      << "the window restarted at the last 0";
}

// Report after report: each counts its own five seconds of frames and starts the counters again. First a
// burst, drained in one frame, where the newest pose in order wins.
TEST_F(LinkTest, ReportsAndLinkLines) {
  Send(1);
  Frame();
  for (uint32_t s : {5u, 3u, 9u, 2u, 4u, 8u, 6u, 7u, 10u, 11u}) phone().Send(PoseBytes(s, {0, 0, 0, float(s), 0, 0}));
  Frame();
  Frame();
  auto st = Statuses();
  ASSERT_EQ(st.size(), 3u);
  EXPECT_EQ(st[1].drained, 10u);
  EXPECT_EQ(st[1].seq, 11u);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(st[1].echo), 8), PoseBytes(11).substr(16, 8));
  EXPECT_EQ(st[2].drained, 0u) << "a frame that finds nothing reports zero drained";
  Frame(5.0f);  // 3, 2, 4, 8, 6 and 7 came after a higher number
  Send(42);
  Frame(5.0f);  // one frame of five seconds
  for (int i = 0; i < 2; ++i) Frame(5.0f);  // silent periods report zero, and stale keeps growing
  for (uint32_t s = 1000; s <= 1299; ++s) {  // 1000 to 1299 sent, ten of them lost on the way
    if (s % 30 == 7) continue;
    Send(s);
    Frame(0.01f);
  }
  Frame(2.2f);
  for (uint32_t s : {2001u, 2002u, 2003u, 2003u, 2004u}) {  // a duplicate makes loss negative
    Send(s);
    Frame();
  }
  Frame(5.0f);
  uint32_t seq = 3000;
  for (int f = 0; f < 60 * 11; ++f) {  // one burst of two every second
    Send(++seq);
    if (f % 60 == 0) Send(++seq);
    Frame();
  }
  const std::string steady = "CVHT: recv=305 (61.0/s) apply=300 (60.0/s) sent=305 lost=0 (0.0%) ooo=0 bad=0 maxDrain=2 "
                             "backlog=5 blend=1.00 stale=0.00s";
  EXPECT_EQ(LinesStartingWith("recv="),
            (std::vector<std::string>{
                "CVHT: recv=11 (2.2/s) apply=4 (0.8/s) sent=11 lost=0 (0.0%) ooo=6 bad=0 maxDrain=10 backlog=1 "
                "blend=0.00 stale=5.02s",
                "CVHT: recv=1 (0.2/s) apply=1 (0.2/s) sent=1 lost=0 (0.0%) ooo=0 bad=0 maxDrain=1 backlog=0 blend=1.00 "
                "stale=0.00s",
                "CVHT: recv=0 (0.0/s) apply=1 (0.2/s) sent=0 lost=0 (0.0%) ooo=0 bad=0 maxDrain=0 backlog=0 blend=0.00 "
                "stale=5.00s",
                "CVHT: recv=0 (0.0/s) apply=1 (0.2/s) sent=0 lost=0 (0.0%) ooo=0 bad=0 maxDrain=0 backlog=0 blend=0.00 "
                "stale=10.00s",
                "CVHT: recv=290 (56.9/s) apply=291 (57.1/s) sent=300 lost=10 (3.3%) ooo=0 bad=0 maxDrain=1 backlog=0 "
                "blend=0.00 stale=2.20s",
                "CVHT: recv=5 (1.0/s) apply=6 (1.2/s) sent=4 lost=-1 (-25.0%) ooo=1 bad=0 maxDrain=1 backlog=0 "
                "blend=0.00 stale=5.00s",
                steady, steady}));
  // The link line follows each report.
  EXPECT_EQ(LinesStartingWith("link "),
            std::vector<std::string>(8, "CVHT: link peer=yes proto=ok view=1026 bonjour=off"));
  EXPECT_EQ(LastLine(), "CVHT: link peer=yes proto=ok view=1026 bonjour=off");
}

// After 20 frames of one pose, what each head dataref holds: x, y, z from the eye point, yaw, pitch, roll.
TEST_F(LinkTest, AxesAtFullWeight) {
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
TEST_F(LinkTest, BlendEasesInHoldsThenFadesToNeutral) {
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
