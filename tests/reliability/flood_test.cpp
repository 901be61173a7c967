// A flood of datagrams at the real plug-in while the simulated X-Plane runs at 60 Hz in real time: every
// datagram that reached the socket is accounted for, no status packet echoes a torn pose, the newest
// in-order pose wins, and it keeps answering.
#include <random>

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
  // The sender floods from a thread of its own while this one runs the frames at 60 Hz.
  std::atomic<bool> flooding{true};
  std::thread sender([&] {
    for (long i = 0; i < kTotal; ++i) {
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
      sent += ph.Link::Send(d);
      if (i % 200 == 0) std::this_thread::sleep_until(t0 + std::chrono::microseconds(i * 50));
    }
    flooding = false;
  });
  int frames = 0;
  for (auto next = t0; flooding; ++frames) {
    simxp::RunFrame(1.0f / 60.0f);
    read();
    std::this_thread::sleep_until(next += std::chrono::microseconds(16667));
  }
  sender.join();
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
