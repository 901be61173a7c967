// Floods of datagrams at the real plug-in while the simulated X-Plane runs at 60 Hz in real time: every
// datagram that reached the socket is accounted for, no status packet echoes a torn pose, the newest
// in-order pose wins, it keeps answering, and a peer that restarts on every datagram fills no log.
#include <random>
#include <regex>

#include "../plugin/plugin_fixture.h"

using namespace cvhttest;

namespace {

// Datagrams the kernel dropped at this port's socket because its queue was full (the last column of
// /proc/net/udp), or -1 if none is listed.
long KernelDrops(uint16_t port) {
  std::ifstream in("/proc/net/udp");
  unsigned local = 0;
  long drops = -1;
  for (std::string line; std::getline(in, line);)
    if (std::sscanf(line.c_str(), " %*s %*x:%x %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %ld", &local, &drops) == 2 &&
        local == port)
      return drops;
  return -1;
}

// Runs frames at 60 Hz in real time, each followed by afterFrame, while send(i) floods from a thread of its
// own; until send returns false or maxFrames have run. Returns the frames run.
template <typename Send, typename After>
int FloodAt60Hz(Send send, int maxFrames, After afterFrame) {
  std::atomic<bool> flooding{true};
  std::thread sender([&] {
    for (long i = 0; flooding && send(i); ++i) {
    }
    flooding = false;
  });
  int frames = 0;
  for (auto next = std::chrono::steady_clock::now(); flooding && frames < maxFrames; ++frames) {
    simxp::RunFrame(1.0f / 60.0f);
    afterFrame();
    std::this_thread::sleep_until(next += std::chrono::microseconds(16667));
  }
  flooding = false;
  sender.join();
  return frames;
}

}  // namespace

TEST_F(PluginTest, FloodIsAccountedForExactly) {
  WriteApt(AptText().Airport("LSZH", 1416, 47.464722, 8.549167, 1).Text());
  StartAndAwaitScan();
  ASSERT_FALSE(LinesStartingWith("apt.dat indexed").empty());
  Phone &ph = phone();
  // What comes back: query replies, and status packets whose echo must belong to their sequence number (a
  // pose read half old, half new would not).
  long replies = 0, torn = 0;
  uint32_t lastStatusSeq = 0;
  auto read = [&] {
    for (const std::string &p : ph.Take()) {
      const auto s = As<cvht::StatusPacket>(p);
      if (p.size() == sizeof s && p.compare(0, 4, "CVHS") == 0) {
        torn += s.seq != 0 && std::memcmp(As<cvht::PosePacket>(PoseBytes(s.seq)).echo, s.echo, 8) != 0;
        lastStatusSeq = s.seq;
      }
      replies += p.size() >= 8 && p.compare(0, 4, "CVHA") == 0 && (p[6] & 4);
    }
  };

  // In-order poses, late poses, every bad length, another version, other bytes and airport questions:
  // 200,000 in ten seconds, kept to the schedule rather than bursting.
  const long kTotal = 200000;
  long sent = 0;
  uint32_t seq = 1000;
  std::mt19937 rng(7);
  const auto t0 = std::chrono::steady_clock::now();
  const int frames = FloodAt60Hz(
      [&](long i) {
        std::string d;
        switch (rng() % 8) {
          case 0:
          case 1:
          case 2: d = PoseBytes(++seq, {0.01f, 0, 0, 10, 0, 0}); break;
          case 3: d = PoseBytes(seq - 1 - rng() % 50, {0, 0, 0, -10, 0, 0}); break;
          case 4: d = std::string(rng() % 48, 'x'); if (d.size() >= 4) std::memcpy(d.data(), "CVHT", 4); break;
          case 5: d = PoseBytes(seq + 1, {}, true, 3); break;
          case 6: d = QueryBytes("LSZH"); break;
          default: d = std::string(rng() % 200, static_cast<char>(rng())); break;
        }
        sent += ph.SendBytes(d);
        if (i % 200 == 0) std::this_thread::sleep_until(t0 + std::chrono::microseconds(i * 50));
        return i + 1 < kTotal;
      },
      1 << 30, read);
  for (int i = 0; i < 10; ++i) {  // what is left
    simxp::RunFrame(1.0f / 60.0f);
    read();
  }
  const long drops = KernelDrops(cvht::kPort);
  ASSERT_GE(drops, 0) << "no drop counter for port 49707";

  // The newest in-order pose wins even with a late one behind it in the same frame.
  const uint32_t last = seq + 100;
  ph.Send(PoseBytes(last, {0, 0, 0, 20, 0, 0}));
  ph.Send(PoseBytes(last - 3, {0, 0, 0, -20, 0, 0}));
  Frame();
  const float psi = Head(3);
  Frame(5.0f);  // closes the statistics period
  ph.Send(QueryBytes("LSZH"));
  Frame();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  read();

  EXPECT_GE(frames, 550) << "the host kept its 60 Hz";
  EXPECT_EQ(sent, kTotal);
  EXPECT_EQ(torn, 0) << "a status packet carried a pose read half old, half new";
  EXPECT_EQ(lastStatusSeq, last);
  EXPECT_FLOAT_EQ(psi, 50.0f) << "the newest in-order pose is the one applied, at the full weight the flood kept";
  const auto reports = LinesStartingWith("recv=");
  ASSERT_FALSE(reports.empty());
  long recv = 0, bad = 0;
  for (const std::string &r : reports) {
    recv += std::stol(r.substr(r.find("recv=") + 5));
    bad += std::stol(r.substr(r.find(" bad=") + 5));
  }
  // Every datagram that reached the socket is a counted pose, a counted bad one, or an answered question.
  EXPECT_EQ(recv + bad + replies, kTotal + 3 - drops)
      << "recv=" << recv << " bad=" << bad << " replies=" << replies << " drops=" << drops;
}

TEST_F(PluginTest, FloodOfRestartsOutOfOrderAndMismatchesKeepsTheLogQuiet) {
  ASSERT_EQ(Start(), 1);
  // The one-off lines first: the scan's result and the eye point the first pose captures.
  Phone &ph = phone();
  ph.Send(PoseBytes(1));
  ASSERT_FALSE(AwaitScan().empty());
  ASSERT_EQ(LinesStartingWith("eye reference captured").size(), 1u);
  const size_t before = Lines().size();
  // Restarts from 5000 and from 4990 down to 0, and another protocol version. Which restart a line names
  // depends on where a frame's drain begins, so either exact line may stand.
  const std::string kinds[] = {PoseBytes(5000), PoseBytes(0), PoseBytes(4990), PoseBytes(0), PoseBytes(6000, {}, true, 3)};
  long sent = 0;
  const int kSeconds = 4;
  FloodAt60Hz(
      [&](long i) {
        sent += ph.SendBytes(kinds[i % 5]);
        if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return true;
      },
      kSeconds * 60, [&] { ph.Drain(); });

  std::vector<std::string> fromPeer;
  const auto lines = Lines();
  for (size_t i = before; i < lines.size(); ++i)
    if (lines[i].rfind("CVHT: recv=", 0) != 0 && lines[i].rfind("CVHT: link ", 0) != 0) fromPeer.push_back(lines[i]);
  EXPECT_GT(sent, 10000);
  EXPECT_LE(fromPeer.size(), static_cast<size_t>(2 * kSeconds + 1));
  const std::regex held("CVHT: sender restart detected [0-9]+ more times in the last second — lines suppressed");
  EXPECT_TRUE(std::any_of(fromPeer.begin(), fromPeer.end(), [&](const std::string &l) { return std::regex_match(l, held); }))
      << "the flood provoked no held-back restarts";
  for (const auto &l : fromPeer)
    EXPECT_TRUE(std::regex_match(l, held) || l == "CVHT: sender restart detected (seq 5000 -> 0), resyncing" ||
                l == "CVHT: sender restart detected (seq 4990 -> 0), resyncing")
        << l;
}
