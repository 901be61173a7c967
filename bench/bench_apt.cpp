// Airport index on the full-size generated apt.dat: scan speed against a raw read, heap size, query speed.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "apt/apt_index.h"

// Live heap bytes behind operator new, as malloc sizes them: the index's arrays are its only users during a read.
namespace {
std::atomic<long long> gLiveBytes{0};
}  // namespace

void *operator new(size_t size) {
  void *p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  gLiveBytes.fetch_add(static_cast<long long>(malloc_usable_size(p)), std::memory_order_relaxed);
  return p;
}
// GCC cannot see that these deletes pair with the operator new above.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void *p) noexcept {
  if (!p) return;
  gLiveBytes.fetch_sub(static_cast<long long>(malloc_usable_size(p)), std::memory_order_relaxed);
  std::free(p);
}
void operator delete(void *p, size_t) noexcept { operator delete(p); }
#pragma GCC diagnostic pop

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

// The baseline: the same file in 1 MiB read calls, counting line feeds. Returns the bytes read.
size_t RawRead(const char *path, size_t &lines) {
  static std::vector<char> buf(1 << 20);
  const int fd = open(path, O_RDONLY);
  if (fd < 0) return 0;
  size_t total = 0;
  lines = 0;
  for (ssize_t n; (n = read(fd, buf.data(), buf.size())) > 0;) {
    lines += static_cast<size_t>(std::count(buf.data(), buf.data() + n, '\n'));
    total += static_cast<size_t>(n);
  }
  close(fd);
  return total;
}

const char *FullFile() { return CVHT_APT_FULL_DAT; }

void CheckFile(benchmark::State &state, size_t bytes) {
  if (bytes == 0) state.SkipWithError("full-size apt.dat missing: build the apt_full_dat target");
}

// Each iteration reads the file both ways, so both figures come from the same page-cache state.
void BM_ScanVersusRawRead(benchmark::State &state) {
  size_t lines = 0;
  const size_t bytes = RawRead(FullFile(), lines);  // brings the file into the page cache
  CheckFile(state, bytes);
  double raw = 0, scan = 0;
  size_t airports = 0, runways = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    size_t l = 0;
    benchmark::DoNotOptimize(RawRead(FullFile(), l));
    raw += Seconds(t0);
    t0 = Clock::now();
    apt::Index index;
    if (!index.read(FullFile())) state.SkipWithError("read failed");
    const double s = Seconds(t0);
    scan += s;
    state.SetIterationTime(s);
    airports = index.airports.size();
    runways = index.runways.size();
  }
  const double n = static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(bytes * state.iterations()));
  state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
  state.counters["lines"] = static_cast<double>(lines);
  state.counters["airports"] = static_cast<double>(airports);
  state.counters["runways"] = static_cast<double>(runways);
  state.counters["raw_MBps"] = bytes * n / raw / 1e6;
  state.counters["scan_MBps"] = bytes * n / scan / 1e6;
  state.counters["scan_vs_raw"] = raw / scan;  // goal: at least 0.35
}
BENCHMARK(BM_ScanVersusRawRead)->UseManualTime()->Iterations(8)->Unit(benchmark::kMillisecond);

void BM_IndexHeapBytes(benchmark::State &state) {
  size_t lines = 0;
  CheckFile(state, RawRead(FullFile(), lines));
  long long heap = 0;
  double ideal = 0, capacity = 0;
  for (auto _ : state) {
    const long long before = gLiveBytes.load();
    auto *index = new apt::Index;
    index->read(FullFile());
    heap = gLiveBytes.load() - before;
    ideal = 20.0 * index->airports.size() + 32.0 * index->runways.size();
    capacity = 20.0 * index->airports.capacity() + 32.0 * index->runways.capacity() + sizeof(apt::Index);
    delete index;
  }
  state.counters["heap_bytes"] = static_cast<double>(heap);
  state.counters["record_bytes"] = ideal;
  state.counters["heap_vs_records"] = heap / ideal;  // goal: at most 1.1
  state.counters["capacity_vs_records"] = capacity / ideal;
}
BENCHMARK(BM_IndexHeapBytes)->Iterations(1)->Unit(benchmark::kMillisecond);

// Queries at airports spread over the index, as an aircraft flying between them would ask.
void BM_NearestVersusLoop(benchmark::State &state) {
  apt::Index index;
  if (!index.read(FullFile()) || index.airports.empty()) {
    state.SkipWithError("full-size apt.dat missing: build the apt_full_dat target");
    return;
  }
  std::vector<std::pair<double, double>> points;
  for (size_t i = 0; i < index.airports.size(); i += index.airports.size() / 64 + 1)
    points.emplace_back(index.airports[i].lat + 0.05, index.airports[i].lon - 0.05);
  const double radiusNm = 150.0;
  double loop = 0, query = 0;
  size_t found = 0, inside = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    for (const auto &[lat, lon] : points) {
      const double k = std::cos(lat * 3.141592653589793 / 180.0);
      const double r2 = (radiusNm / 60.0) * (radiusNm / 60.0);
      double sum = 0;
      size_t n = 0;
      for (const apt::Airport &a : index.airports) {
        const double dLat = static_cast<double>(a.lat) - lat;
        const double dLon = k * (static_cast<double>(a.lon) - lon);
        const double d2 = dLat * dLat + dLon * dLon;
        if (d2 <= r2) {
          sum += std::sqrt(d2) * 60.0;
          ++n;
        }
      }
      benchmark::DoNotOptimize(sum);
      inside += n;
    }
    loop += Seconds(t0);
    t0 = Clock::now();
    for (const auto &[lat, lon] : points) {
      std::vector<apt::Nearby> near = index.nearest(lat, lon, 44, radiusNm);
      found += near.size();
      benchmark::DoNotOptimize(near.data());
    }
    const double q = Seconds(t0);
    query += q;
    state.SetIterationTime(q / points.size());
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["airports"] = static_cast<double>(index.airports.size());
  state.counters["inside_radius"] = inside / n / points.size();
  state.counters["returned"] = found / n / points.size();
  state.counters["nearest_vs_loop"] = query / loop;  // goal: at most 1.5
}
BENCHMARK(BM_NearestVersusLoop)->UseManualTime()->Iterations(200)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
