// The pose link: classification of every datagram, the peer, the sequence window and the drain.
#include <random>

#include "plugin_fixture.h"

using namespace cvhttest;

namespace {

// The value of key=... in the latest link report, as printed.
std::string ReportField(const std::string &key) {
  auto lines = simxp::LogLines();
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (it->rfind("CVHT: recv=", 0) != 0 && it->rfind("CVHT: link ", 0) != 0) continue;
    auto at = it->find(" " + key + "=");
    if (at == std::string::npos && it->find("CVHT: " + key + "=") == 0) at = 5;
    if (at == std::string::npos) continue;
    auto start = at + key.size() + 2;
    return it->substr(start, it->find(' ', start) - start);
  }
  return "<no report>";
}

class PoseLinkTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    ASSERT_EQ(Start(), 1);
  }
  // Ends the statistics period at once, so its report shows the counters.
  void Report() { Frame(5.0f); }
  std::vector<cvht::StatusPacket> Statuses() {
    std::vector<cvht::StatusPacket> out;
    for (const auto &p : OfMagic(phone().Take(), "CVHS")) out.push_back(As<cvht::StatusPacket>(p));
    return out;
  }
};

}  // namespace

TEST_F(PoseLinkTest, GarbageIsCountedAndDoesNotMakeAPeer) {
  phone().Send("");
  phone().Send("CVH");
  std::string other = PoseBytes(1);
  std::memcpy(other.data(), "XPLN", 4);
  phone().Send(other);
  phone().Send(QueryBytes("LSZH").substr(0, 13));
  phone().Send(QueryBytes("LSZH") + "x");
  Frames(3);
  EXPECT_TRUE(phone().Take().empty()) << "telemetry went to a sender that never became the peer";

  phone().Send(PoseBytes(7));
  Report();
  EXPECT_EQ(ReportField("bad"), "5");
  EXPECT_EQ(ReportField("recv"), "1");
  EXPECT_EQ(ReportField("peer"), "yes");
}

TEST_F(PoseLinkTest, WrongVersionMakesThePeerAndIsReportedAsMismatch) {
  phone().Send(PoseBytes(1, {}, true, 3));
  Frame();
  auto st = Statuses();
  ASSERT_EQ(st.size(), 1u) << "a sender with the pose magic becomes the peer";
  EXPECT_EQ(st[0].flags & cvht::kStatusMismatch, cvht::kStatusMismatch);
  EXPECT_EQ(st[0].flags & cvht::kStatusFresh, 0);
  EXPECT_EQ(st[0].seq, 0u);

  // A valid packet clears the mismatch in the same frame's status.
  phone().Send(PoseBytes(2));
  Frame();
  st = Statuses();
  ASSERT_EQ(st.size(), 1u);
  EXPECT_EQ(st[0].flags & cvht::kStatusMismatch, 0);
  EXPECT_EQ(st[0].flags & cvht::kStatusFresh, cvht::kStatusFresh);
  EXPECT_EQ(st[0].seq, 2u);

  phone().Send(PoseBytes(3, {}, true, 5));
  Report();
  EXPECT_EQ(ReportField("proto"), "MISMATCH");
  EXPECT_EQ(ReportField("bad"), "2");
  phone().Send(PoseBytes(4));
  Report();
  EXPECT_EQ(ReportField("proto"), "ok");
}

TEST_F(PoseLinkTest, LengthDecidesBetweenMismatchAndAPose) {
  const std::string pose = PoseBytes(10, {0, 0, 0, 20, 0, 0});
  phone().Send(pose.substr(0, 20));
  phone().Send(pose.substr(0, 47));
  phone().Send("CVHT");
  Frame();
  auto st = Statuses();
  ASSERT_EQ(st.size(), 1u);
  EXPECT_TRUE(st[0].flags & cvht::kStatusMismatch);
  EXPECT_EQ(Head(3), 0.0f) << "no pose accepted yet, so the view is left alone";
  EXPECT_EQ(simxp::TotalWrites(), 0u);

  // A longer datagram is read as its first 48 bytes.
  phone().Send(pose + std::string(100, '\xee'));
  Frame();
  st = Statuses();
  ASSERT_EQ(st.size(), 1u);
  EXPECT_EQ(st[0].seq, 10u);
  EXPECT_FALSE(st[0].flags & cvht::kStatusMismatch);
  EXPECT_GT(Head(3), 0.0f);
  Report();
  EXPECT_EQ(ReportField("bad"), "3");
  EXPECT_EQ(ReportField("recv"), "1");
}

// After the first pose, a pause of `silence` seconds (with a pose without the tracking bit half a second
// in, when `untracked`), then `seq`: accepted or out of order, and a restart or not.
struct SeqCase {
  uint32_t first, seq;
  float silence;
  bool untracked, accepted, restart;
  const char *sent;  // the report's window after it
};

void PrintTo(const SeqCase &c, std::ostream *os) {
  *os << c.first << " then " << c.seq << " after " << c.silence << " s" << (c.untracked ? " untracked" : "");
}

class Sequence : public PoseLinkTest, public ::testing::WithParamInterface<SeqCase> {};

TEST_P(Sequence, OrderAndRestart) {
  const SeqCase c = GetParam();
  phone().Send(PoseBytes(c.first));
  Frame();
  if (c.untracked) {
    Frame(0.5f);
    phone().Send(PoseBytes(c.first + 1, {}, false));
  }
  Frame(c.silence);
  phone().Take();
  phone().Send(PoseBytes(c.seq));
  Frame();
  auto st = Statuses();
  ASSERT_EQ(st.size(), 1u);
  EXPECT_EQ(st[0].seq, c.accepted ? c.seq : c.first);
  EXPECT_EQ(st[0].drained, 1u) << "out-of-order packets are valid and count as drained";
  auto restarts = LinesStartingWith("sender restart detected");
  if (c.restart) {
    ASSERT_EQ(restarts.size(), 1u);
    EXPECT_EQ(restarts[0], "CVHT: sender restart detected (seq " + std::to_string(c.untracked ? c.first + 1 : c.first) +
                               " -> " + std::to_string(c.seq) + "), resyncing");
  } else {
    EXPECT_TRUE(restarts.empty());
  }
  Report();
  EXPECT_EQ(ReportField("ooo"), c.accepted ? "0" : "1");
  EXPECT_EQ(ReportField("recv"), c.untracked ? "3" : "2");
  EXPECT_EQ(ReportField("sent"), c.sent);
}

INSTANTIATE_TEST_SUITE_P(PoseLink, Sequence,
                         ::testing::Values(SeqCase{5000, 4500, 0.5f, false, false, false, "1"},
                                           SeqCase{5000, 4000, 0.5f, false, false, false, "1"},
                                           SeqCase{5000, 3999, 0.5f, false, true, true, "1"},
                                           SeqCase{5000, 5000, 0.5f, false, false, false, "1"},
                                           SeqCase{5000, 5001, 0.5f, false, true, false, "2"},
                                           SeqCase{5000, 90000, 0.5f, false, true, false, "85001"},
                                           SeqCase{5000, 4999, 1.01f, false, true, true, "1"},
                                           SeqCase{5000, 4999, 0.6f, true, true, true, "1"},
                                           SeqCase{4294967295u, 0, 0.0f, false, true, true, "1"}));

TEST_F(PoseLinkTest, AlternatingSequencesRestartEveryFrameButLogOncePerSecond) {
  // 5000 then 0 in every frame of 1/64 s: each 0 is a restart, handled in full, and 256 of them come
  // in four seconds. X-Plane's log gets one restart line per second and the count of the held ones.
  for (int frame = 0; frame < 256; ++frame) {
    phone().Send(PoseBytes(5000));
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
  EXPECT_EQ(LinesStartingWith("sender restart detected"),
            (std::vector<std::string>{line, held, line, held, line, held, line, held}));
  Report();
  EXPECT_EQ(ReportField("recv"), "512");
  EXPECT_EQ(ReportField("ooo"), "0");
  EXPECT_EQ(ReportField("sent"), "1") << "the window restarted at the last 0";
}

TEST_F(PoseLinkTest, ABurstIsDrainedInOneFrameAndTheNewestInOrderPoseWins) {
  phone().Send(PoseBytes(1));
  Frame();
  for (uint32_t s : {5u, 3u, 9u, 2u, 4u, 8u, 6u, 7u, 10u, 11u}) phone().Send(PoseBytes(s, {0, 0, 0, float(s), 0, 0}));
  Frame();
  auto st = Statuses();
  ASSERT_EQ(st.size(), 2u);
  EXPECT_EQ(st[1].drained, 10u);
  EXPECT_EQ(st[1].seq, 11u);
  uint8_t echo[8];
  for (int i = 0; i < 8; ++i) echo[i] = static_cast<uint8_t>(11 * 7 + i);
  EXPECT_EQ(std::memcmp(st[1].echo, echo, 8), 0);
  Frame();
  st = Statuses();
  ASSERT_EQ(st.size(), 1u);
  EXPECT_EQ(st[0].drained, 0u) << "a frame that finds nothing reports zero drained";
  Report();
  EXPECT_EQ(ReportField("maxDrain"), "10");
  EXPECT_EQ(ReportField("backlog"), "1");
  EXPECT_EQ(ReportField("ooo"), "6");  // 3, 2, 4, 8, 6 and 7 came after a higher number
  EXPECT_EQ(ReportField("recv"), "11");
}

TEST_F(PoseLinkTest, EveryLengthAndContentIsClassifiedWithoutHarm) {
  std::mt19937 rng(49707);
  const std::vector<size_t> lengths = {0, 1, 3, 4, 5, 13, 14, 15, 47, 48, 49, 1400, 16384, 65507};
  int bad = 0;
  int valid = 0;
  for (size_t len : lengths) {
    for (const char *magic : {"CVHT", "CVHQ", "ZZZZ"}) {
      std::string d(len, '\0');
      for (auto &ch : d) ch = static_cast<char>(rng());
      std::memcpy(d.data(), magic, std::min<size_t>(4, len));
      if (len >= 6 && std::string(magic) == "CVHT") {
        d[4] = 4;
        d[5] = 0;
      }
      bool isQuery = len == 14 && std::string(magic) == "CVHQ";
      bool isPose = len >= 48 && std::string(magic) == "CVHT";
      if (isPose) {
        // Keep the sequence rising so every valid one is accepted in order.
        uint32_t seq = 100 + valid;
        std::memcpy(d.data() + 8, &seq, 4);
        ++valid;
      } else if (!isQuery) {
        ++bad;
      }
      phone().Send(d);
      Frame();
    }
  }
  Report();
  EXPECT_EQ(ReportField("bad"), std::to_string(bad));
  EXPECT_EQ(ReportField("recv"), std::to_string(valid));
  for (int i = 0; i < 6; ++i) EXPECT_TRUE(std::isfinite(Head(i))) << "head dataref " << i;
}
