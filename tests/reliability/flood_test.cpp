// A flood of mixed datagrams at the real plug-in while the simulated X-Plane runs at 60 Hz: every
// datagram that reached the socket is accounted for, no frame sees a torn pose, it keeps answering,
// and nothing a peer sends writes more than a couple of lines a second into X-Plane's log.
#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "../plugin/plugin_fixture.h"

using namespace cvhttest;

namespace {

// Datagrams the kernel dropped at the plug-in's socket because its queue was full.
long KernelDrops(uint16_t port) {
  std::ifstream in("/proc/net/udp");
  std::string line;
  std::getline(in, line);
  char want[8];
  std::snprintf(want, sizeof want, ":%04X", port);
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string sl, local;
    f >> sl >> local;
    if (local.size() < 5 || local.substr(local.size() - 5) != want) continue;
    std::vector<std::string> cols;
    std::string c;
    while (f >> c) cols.push_back(c);
    return cols.empty() ? -1 : std::stol(cols.back());
  }
  return -1;
}

long SumField(const std::vector<std::string> &reports, const std::string &key) {
  long sum = 0;
  std::regex re("(^|[ (])" + key + "=(-?[0-9]+)");
  for (const auto &r : reports) {
    std::smatch m;
    if (std::regex_search(r, m, re)) sum += std::stol(m[2]);
  }
  return sum;
}

}  // namespace

TEST_F(PluginTest, FloodIsAccountedForExactly) {
  WriteApt("I\n1200 Generated\n1 1416 0 0 LSZH Zurich\n"
           "100 60.00 1 0 0.25 1 3 0 10 47.45 8.53 0 0 3 2 1 0 28 47.47 8.57 0 0 3 2 1 0\n"
           "1302 datum_lat 47.464722\n1302 datum_lon 8.549167\n99\n");
  StartAndAwaitScan();
  ASSERT_FALSE(LinesStartingWith("apt.dat indexed").empty());

  // The flooding phone: one socket that sends and, on a thread of its own, reads everything back.
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&self), sizeof self), 0);
  int big = 32 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
  timeval tv{0, 100000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(cvht::kPort);
  auto send = [&](const std::string &d) {
    sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  };

  std::atomic<long> replies{0}, torn{0};
  std::atomic<uint32_t> lastStatusSeq{0};
  std::atomic<bool> reading{true};
  std::thread reader([&] {
    std::vector<char> buf(65536);
    while (reading.load()) {
      const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
      if (n == 80 && std::memcmp(buf.data(), "CVHS", 4) == 0) {
        auto s = As<cvht::StatusPacket>(std::string(buf.data(), 80));
        // An echo that does not belong to its sequence number shows a pose read half old, half new.
        if (s.seq != 0 && std::memcmp(As<cvht::PosePacket>(PoseBytes(s.seq)).echo, s.echo, 8) != 0) ++torn;
        lastStatusSeq = s.seq;
      } else if (n >= 8 && std::memcmp(buf.data(), "CVHA", 4) == 0 && (buf[6] & 4)) {
        ++replies;
      }
    }
  });

  // What is sent: in-order poses, late poses, every bad length, other magics and airport questions.
  const long kTotal = 200000;
  std::atomic<long> sent{0};
  std::atomic<uint32_t> topSeq{0};
  std::atomic<bool> flooding{true};
  std::thread sender([&] {
    std::mt19937 rng(7);
    uint32_t seq = 1000;
    const auto t0 = std::chrono::steady_clock::now();
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
      send(d);
      ++sent;
      // 200,000 in ten seconds: keep to the schedule rather than bursting.
      if (i % 200 == 0) std::this_thread::sleep_until(t0 + std::chrono::microseconds(i * 50));
    }
    topSeq = seq;
    flooding = false;
  });

  int frames = 0;
  const auto period = std::chrono::microseconds(16667);
  auto next = std::chrono::steady_clock::now();
  while (flooding.load()) {
    simxp::RunFrame(1.0f / 60.0f);
    ++frames;
    next += period;
    std::this_thread::sleep_until(next);
  }
  sender.join();
  for (int i = 0; i < 10; ++i) simxp::RunFrame(1.0f / 60.0f);  // drain what is left
  const long drops = KernelDrops(cvht::kPort);
  ASSERT_GE(drops, 0) << "no drop counter for port 49707";

  // The newest in-order pose wins even with a late one behind it in the same frame.
  const uint32_t last = topSeq + 100;
  send(PoseBytes(last, {0, 0, 0, 20, 0, 0}));
  send(PoseBytes(last - 3, {0, 0, 0, -20, 0, 0}));
  simxp::RunFrame(1.0f / 60.0f);
  const float psi = simxp::GetFloat(simxp::kHeadRefs[3]);
  simxp::RunFrame(5.0f);  // closes the statistics period
  send(QueryBytes("LSZH"));
  simxp::RunFrame(1.0f / 60.0f);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  reading = false;
  reader.join();
  close(fd);

  EXPECT_GE(frames, 550) << "the host kept its 60 Hz";
  EXPECT_EQ(sent.load(), kTotal);
  EXPECT_EQ(torn.load(), 0) << "a status packet carried a pose read half old, half new";
  EXPECT_EQ(lastStatusSeq.load(), last);
  EXPECT_FLOAT_EQ(psi, 50.0f) << "the newest in-order pose is the one applied, at the full weight the flood kept";

  auto reports = LinesStartingWith("recv=");
  ASSERT_FALSE(reports.empty());
  const long recv = SumField(reports, "recv"), bad = SumField(reports, "bad");
  // Every datagram that reached the socket is a counted pose, a counted bad one, or an answered question.
  const long arrived = kTotal + 2 + 1 - drops;
  EXPECT_EQ(recv + bad + replies.load(), arrived)
      << "recv=" << recv << " bad=" << bad << " replies=" << replies.load() << " drops=" << drops;
  std::printf("flood: %ld sent in %d frames, %ld dropped by the kernel, %ld poses, %ld bad, %ld answered\n", kTotal,
              frames, drops, recv, bad, replies.load());
}

TEST_F(PluginTest, FloodOfRestartsOutOfOrderAndMismatchesKeepsTheLogQuiet) {
  ASSERT_EQ(Start(), 1);
  // The one-off lines first: the scan's result and the eye point the first pose captures.
  phone().Send(PoseBytes(1));
  ASSERT_FALSE(AwaitScan().empty());
  ASSERT_EQ(LinesStartingWith("eye reference captured").size(), 1u);
  const size_t before = Lines().size();
  int fd = socket(AF_INET, SOCK_DGRAM, 0);  // blocking, so no datagram of the pattern is skipped
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(cvht::kPort);
  std::atomic<bool> flooding{true};
  std::atomic<long> sent{0};
  std::thread sender([&] {
    // Restarts from 5000 and from 4990 down to 0, and another protocol version. Which restart a line names
    // depends on where a frame's drain begins, so either exact line may stand.
    const std::string kinds[] = {PoseBytes(5000), PoseBytes(0), PoseBytes(4990), PoseBytes(0), PoseBytes(6000, {}, true, 3)};
    for (long i = 0; flooding.load(); ++i) {
      const std::string &d = kinds[i % 5];
      sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
      ++sent;
      if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  const auto period = std::chrono::microseconds(16667);
  auto next = std::chrono::steady_clock::now();
  const int kSeconds = 4;
  for (int frame = 0; frame < kSeconds * 60; ++frame) {
    simxp::RunFrame(1.0f / 60.0f);
    next += period;
    std::this_thread::sleep_until(next);
  }
  flooding = false;
  sender.join();
  close(fd);

  std::vector<std::string> fromPeer;
  const auto lines = Lines();
  for (size_t i = before; i < lines.size(); ++i)
    if (lines[i].rfind("CVHT: recv=", 0) != 0 && lines[i].rfind("CVHT: link ", 0) != 0) fromPeer.push_back(lines[i]);
  std::printf("log flood: %ld datagrams in %d s gave %zu lines besides the link report\n", sent.load(), kSeconds,
              fromPeer.size());
  EXPECT_GT(sent.load(), 10000);
  EXPECT_LE(fromPeer.size(), static_cast<size_t>(2 * kSeconds + 1));
  std::regex held("CVHT: sender restart detected [0-9]+ more times in the last second — lines suppressed");
  EXPECT_TRUE(std::any_of(fromPeer.begin(), fromPeer.end(), [&](const std::string &l) { return std::regex_match(l, held); }))
      << "the flood provoked no held-back restarts";
  for (const auto &l : fromPeer)
    EXPECT_TRUE(std::regex_match(l, held) || l == "CVHT: sender restart detected (seq 5000 -> 0), resyncing" ||
                l == "CVHT: sender restart detected (seq 4990 -> 0), resyncing")
        << l;
}
