// Worst and 99th-percentile frame time of the real TAVRO.xpl while 20,000 mixed datagrams a second
// hit its socket, as ratios to its idle frame measured in the same run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "cvht_wire.h"
#include "bench_plugin.h"
#include "xplm_sim.h"

namespace {

using Clock = std::chrono::steady_clock;

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * (v.size() - 1))];
}

void BM_FrameUnderFlood(benchmark::State &state) {
  simxp::Plugin plugin;
  if (!cvhtbench::StartPlugin(plugin, state)) return;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(cvht::kPort);
  std::string hello = cvhtbench::StreamPose(1);
  sendto(fd, hello.data(), hello.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);

  // Baseline: the same plug-in's frame with its phone known and nothing waiting.
  std::vector<double> idle;
  for (int i = 0; i < 600; ++i) {
    auto a = Clock::now();
    simxp::RunFrame(1.0f / 60.0f);
    idle.push_back(Micros(Clock::now() - a));
  }
  std::vector<double> flood;
  for (auto _ : state) {
    std::atomic<bool> go{true};
    std::thread sender([&] {
      std::mt19937 rng(3);
      uint32_t seq = 10;
      auto t0 = Clock::now();
      for (long i = 0; go.load(); ++i) {
        std::string d = (i % 3) ? cvhtbench::StreamPose(++seq) : std::string(rng() % 60, 'z');
        sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        if (i % 100 == 0) std::this_thread::sleep_until(t0 + std::chrono::microseconds(i * 50));
      }
    });
    auto next = Clock::now();
    for (int f = 0; f < 180; ++f) {
      auto a = Clock::now();
      simxp::RunFrame(1.0f / 60.0f);
      flood.push_back(Micros(Clock::now() - a));
      next += std::chrono::microseconds(16667);
      std::this_thread::sleep_until(next);
    }
    go = false;
    sender.join();
    state.SetIterationTime(0.001);
  }
  const double idleMedian = Percentile(idle, 0.5);
  const double worst = *std::max_element(flood.begin(), flood.end());
  state.counters["idle_median_us"] = idleMedian;
  state.counters["flood_p99_us"] = Percentile(flood, 0.99);
  state.counters["flood_worst_us"] = worst;
  state.counters["worst_over_idle"] = worst / idleMedian;
  state.counters["worst_frame_budget_pct"] = worst / 16667.0 * 100.0;
  plugin.Stop();
  plugin.Unload();
  close(fd);
}
BENCHMARK(BM_FrameUnderFlood)->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
