// Motion quality of the real TAVRO.xpl: a known head motion sent by a jittery phone over loopback UDP and
// drawn by a host at uneven frame rates, all on simulated time; the view's judder, lag, worst error and
// glance overshoot with the smoothing off and on, as a Markdown table and an SVG plot of one glance.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "hosted_session.h"
#include "phone_link.h"

namespace {

constexpr uint32_t kSeed = 20240611;
constexpr double kSettleSec = 1.0;  // the blend's rise, left out of every figure
constexpr double kRunSec = 20.0;
constexpr double kGain = 2.5, kViewLimitDeg = 80.0;  // the plug-in's yaw gain and limit
constexpr double kHeadRoomDeg = 30.0;                // the head stays inside, so the view is never limited
constexpr double kGlanceSec = 0.3, kGlanceHeadDeg = 24.0;  // 60 degrees of view
constexpr double kMaxLagMs = 150.0;
constexpr double kBurstSec = 0.040, kFirstBurstAt = kSettleSec + 0.6;  // every 2 s, from mid-glance on
const char *const kSmoothingRef = "corvane/head_tracker/smoothing";

double Uniform(std::mt19937 &rng, double lo, double hi) { return lo + (hi - lo) * (rng() / 4294967296.0); }

// ---- The head: eased moves between yaw targets, every one followed in time by the next, plus tremor.

struct Segment {
  double t0, t1, from, to;  // head yaw in degrees
  bool glance;
};

struct Motion {
  std::vector<Segment> segs;
  double tremorDeg[3], tremorHz[3], tremorPhase[3];
};

void Move(Motion &m, double seconds, double to, bool glance = false) {
  const double t0 = m.segs.empty() ? 0.0 : m.segs.back().t1;
  const double from = m.segs.empty() ? 0.0 : m.segs.back().to;
  m.segs.push_back({t0, t0 + seconds, from, to, glance});
}

// A glance out and back, each followed by a hold, so its overshoot is measured against a still target.
void Glance(Motion &m, double to, double holdSec, double backHoldSec) {
  const double from = m.segs.back().to;
  Move(m, kGlanceSec, to, true);
  Move(m, holdSec, to);
  Move(m, kGlanceSec, from, true);
  Move(m, backHoldSec, from);
}

// Still through the settling, the known glance of the plot, then slow scans, glances and holds at random.
Motion MakeMotion(double seconds, std::mt19937 &rng) {
  Motion m;
  Move(m, kSettleSec + 0.5, 0.0);
  Glance(m, kGlanceHeadDeg, 1.0, 0.5);
  while (m.segs.back().t1 < seconds) {
    const double c = m.segs.back().to, pick = Uniform(rng, 0, 1);
    if (pick < 0.45) {
      Move(m, Uniform(rng, 2.0, 4.0), Uniform(rng, -kHeadRoomDeg + 2, kHeadRoomDeg - 2));
    } else if (pick < 0.8) {
      // Either way at random (about half the glances each) where there is room for both.
      const bool right = c + kGlanceHeadDeg <= kHeadRoomDeg && (c - kGlanceHeadDeg < -kHeadRoomDeg || pick < 0.62);
      Glance(m, c + (right ? kGlanceHeadDeg : -kGlanceHeadDeg), Uniform(rng, 0.4, 1.2), Uniform(rng, 0.3, 0.8));
    } else {
      Move(m, Uniform(rng, 0.3, 1.0), c);
    }
  }
  for (int i = 0; i < 3; ++i) {
    m.tremorDeg[i] = Uniform(rng, 0.03, 0.06);
    m.tremorHz[i] = Uniform(rng, 4.0, 9.0);
    m.tremorPhase[i] = Uniform(rng, 0, 2 * M_PI);
  }
  return m;
}

double HeadYaw(const Motion &m, double t) {
  auto s = std::upper_bound(m.segs.begin(), m.segs.end(), t, [](double v, const Segment &g) { return v < g.t1; });
  double yaw = m.segs.back().to;
  if (s != m.segs.end()) {
    const double u = std::clamp((t - s->t0) / (s->t1 - s->t0), 0.0, 1.0);
    yaw = s->from + (s->to - s->from) * (0.5 - 0.5 * std::cos(M_PI * u));  // no speed at either end
  }
  for (int i = 0; i < 3; ++i) yaw += m.tremorDeg[i] * std::sin(2 * M_PI * m.tremorHz[i] * t + m.tremorPhase[i]);
  return yaw;
}

double TruePsi(const Motion &m, double t) { return std::clamp(kGain * HeadYaw(m, t), -kViewLimitDeg, kViewLimitDeg); }

// ---- The phone: one pose per sample, delivered late by the network.

enum Jitter { kNoJitter, kSmallJitter, kBurstJitter };
const char *const kJitterNames[] = {"none", "0-5 ms", "0-15 ms + bursts"};

struct Packet {
  double sentAt, arrivesAt;
  uint32_t seq;
  float yaw;
};

// In the bursty network what is sent during a burst arrives at its end.
std::vector<Packet> PhoneSchedule(const Motion &m, double rateHz, Jitter jitter, double seconds, std::mt19937 &rng) {
  std::vector<Packet> out;
  for (uint32_t k = 0; k / rateHz < seconds; ++k) {
    const double sent = k / rateHz;
    double arrives = sent + (jitter == kNoJitter ? 0.0 : Uniform(rng, 0, jitter == kSmallJitter ? 0.005 : 0.015));
    const double intoBurst = std::fmod(sent + 2.0 - kFirstBurstAt, 2.0);
    if (jitter == kBurstJitter && intoBurst < kBurstSec) arrives = sent - intoBurst + kBurstSec;
    out.push_back({sent, arrives, k + 1, static_cast<float>(HeadYaw(m, sent))});
  }
  std::stable_sort(out.begin(), out.end(), [](const Packet &a, const Packet &b) { return a.arrivesAt < b.arrivesAt; });
  return out;
}

// ---- The host: the real plug-in, frames of uneven length on a simulated clock.

struct Frame {
  double t, psi;
};

std::vector<double> FrameLengths(double fps, double seconds, std::mt19937 &rng) {
  std::vector<double> dts;
  for (double t = 0; t < seconds;) t += dts.emplace_back(Uniform(rng, 0.9, 1.1) / fps);
  return dts;
}

bool gSmoothingPublished = false;

// Before each frame every packet that has arrived by its time is sent and in the plug-in's socket, so the
// run is the same however slow the machine is. Empty when the plug-in does not start.
std::vector<Frame> Run(const std::vector<Packet> &packets, const std::vector<double> &dts, bool smoothing) {
  simxp::Session session;
  if (!session.Open("/nonexistent/") || session.Start() != 1 || session.AwaitScan().empty()) return {};
  if (smoothing) {
    gSmoothingPublished = simxp::Has(kSmoothingRef);
    simxp::SetInt(kSmoothingRef, 1);
  }
  phone::Link phone;
  std::vector<Frame> frames;
  double t = 0;
  size_t next = 0;
  for (double dt : dts) {
    t += dt;
    for (; next < packets.size() && packets[next].arrivesAt <= t; ++next) {
      const Packet &p = packets[next];
      if (!phone.SendDelivered(phone::PoseBytes(p.seq, p.seq, {0, 0, 0, p.yaw, 0, 0}), 1000)) return {};
    }
    simxp::RunFrame(static_cast<float>(dt));
    phone.Take();
    if (t >= kSettleSec) frames.push_back({t, simxp::GetFloat(simxp::kHeadRefs[3])});
  }
  return frames;
}

// ---- The figures of one run against the true view.

struct Figures {
  double judder = 0, lagMs = 0, worstDeg = 0, overshootDeg = 0;
};

double RmsError(const Motion &m, const std::vector<Frame> &frames, double lagSec) {
  double sum = 0;
  for (const Frame &f : frames) sum += std::pow(f.psi - TruePsi(m, f.t - lagSec), 2);
  return std::sqrt(sum / frames.size());
}

Figures Measure(const Motion &m, const std::vector<Frame> &frames) {
  Figures r;
  double best = INFINITY;
  for (double ms = 0; ms <= kMaxLagMs; ms += 1) {
    const double e = RmsError(m, frames, ms / 1000);
    if (e < best) best = e, r.lagMs = ms;
  }
  // Judder is the unevenness of the steps: each is compared with the true step a lag earlier, so that a
  // steady delay counts as lag and not again as judder.
  const double lag = r.lagMs / 1000;
  double judder = 0, motion = 0;
  for (size_t i = 1; i < frames.size(); ++i) {
    const double truth = TruePsi(m, frames[i].t - lag) - TruePsi(m, frames[i - 1].t - lag);
    judder += std::pow(frames[i].psi - frames[i - 1].psi - truth, 2);
    motion += truth * truth;
  }
  r.judder = motion > 0 ? std::sqrt(judder / motion) : 0;
  for (const Frame &f : frames) r.worstDeg = std::max(r.worstDeg, std::abs(f.psi - TruePsi(m, f.t)));
  // A glance's overshoot is sought until the end of the hold that follows it.
  for (size_t g = 0; g + 1 < m.segs.size(); ++g) {
    const Segment &s = m.segs[g];
    if (!s.glance) continue;
    const double dir = s.to > s.from ? 1.0 : -1.0, end = kGain * s.to;
    for (const Frame &f : frames)
      if (f.t >= s.t0 && f.t <= m.segs[g + 1].t1) r.overshootDeg = std::max(r.overshootDeg, dir * (f.psi - end));
  }
  return r;
}

// ---- Output: the table and the plot.

std::string Fixed(double v, int decimals) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

std::string Row(double rateHz, Jitter jitter, double fps, const Figures &off, const Figures &on) {
  const bool pass =
      on.judder <= off.judder / 3 && on.lagMs - off.lagMs <= 1000 / rateHz && on.overshootDeg <= 1.0;
  std::ostringstream row;
  row << "| " << rateHz << " Hz | " << kJitterNames[jitter] << " | " << fps << " | " << Fixed(off.judder, 2) << " | "
      << Fixed(on.judder, 2) << " | " << Fixed(off.lagMs, 0) << " | " << Fixed(on.lagMs, 0) << " | "
      << Fixed(off.worstDeg, 1) << " | " << Fixed(on.worstDeg, 1) << " | " << Fixed(off.overshootDeg, 2) << " | "
      << Fixed(on.overshootDeg, 2) << " | " << (pass ? "pass" : "fail") << " |\n";
  return row.str();
}

const char *const kTableHead =
    "| phone | jitter | fps | judder off | judder on | lag off (ms) | lag on (ms) | worst error off (°) | "
    "worst error on (°) | overshoot off (°) | overshoot on (°) | goal |\n"
    "|---|---|---|---|---|---|---|---|---|---|---|---|\n";

// The view's yaw as the host shows it (held from frame to frame) against the true one, over the known glance.
std::string Plot(const Motion &m, const std::vector<Packet> &packets, const std::vector<Frame> &off,
                 const std::vector<Frame> &on, const std::string &title) {
  const Segment &glance = m.segs[1];
  const double t0 = glance.t0 - 0.1, t1 = glance.t1 + 0.5, lo = -10, hi = 70;
  const double left = 60, top = 40, width = 640, height = 320;
  auto x = [&](double t) { return left + (t - t0) / (t1 - t0) * width; };
  auto y = [&](double psi) { return top + (hi - std::clamp(psi, lo, hi)) / (hi - lo) * height; };
  std::ostringstream svg;
  svg << "<svg xmlns='http://www.w3.org/2000/svg' width='760' height='430' font-family='sans-serif' font-size='12'>\n"
      << "<rect width='100%' height='100%' fill='white'/>\n<text x='" << left << "' y='22' font-size='14'>" << title
      << "</text>\n";
  for (double v = lo; v <= hi; v += 10)
    svg << "<line x1='" << left << "' x2='" << left + width << "' y1='" << y(v) << "' y2='" << y(v)
        << "' stroke='#ddd'/><text x='" << left - 8 << "' y='" << y(v) + 4 << "' text-anchor='end'>" << v << "</text>\n";
  for (int ms = -100; glance.t0 + ms / 1000.0 <= t1; ms += 100)
    svg << "<line x1='" << x(glance.t0 + ms / 1000.0) << "' x2='" << x(glance.t0 + ms / 1000.0) << "' y1='" << top
        << "' y2='" << top + height << "' stroke='#eee'/><text x='" << x(glance.t0 + ms / 1000.0) << "' y='"
        << top + height + 16 << "' text-anchor='middle'>" << ms << "</text>\n";
  svg << "<rect x='" << x(kFirstBurstAt) << "' y='" << top << "' width='" << x(kFirstBurstAt + kBurstSec) - x(kFirstBurstAt)
      << "' height='" << height << "' fill='#fc6' fill-opacity='0.3'/><text x='" << x(kFirstBurstAt) + 4 << "' y='"
      << top + 14 << "' fill='#a60'>network burst</text>\n<text x='" << left + width / 2 << "' y='" << top + height + 34
      << "' text-anchor='middle'>ms after the glance starts; ticks at the bottom: pose packets arriving</text>\n"
      << "<text x='16' y='"
      << top + height / 2 << "' transform='rotate(-90 16 " << top + height / 2
      << ")' text-anchor='middle'>view yaw psi (°)</text>\n";
  for (const Packet &p : packets)
    if (p.arrivesAt >= t0 && p.arrivesAt <= t1)
      svg << "<line x1='" << x(p.arrivesAt) << "' x2='" << x(p.arrivesAt) << "' y1='" << top + height - 8 << "' y2='"
          << top + height << "' stroke='#888'/>\n";
  svg << "<polyline fill='none' stroke='#222' stroke-width='2' points='";
  for (double t = t0; t <= t1; t += 0.002) svg << x(t) << ',' << y(TruePsi(m, t)) << ' ';
  svg << "'/>\n";
  auto steps = [&](const std::vector<Frame> &frames, const char *style) {
    svg << "<polyline fill='none' " << style << " points='";
    for (size_t i = 0; i + 1 < frames.size(); ++i)
      if (frames[i + 1].t >= t0 && frames[i].t <= t1)
        svg << x(std::max(frames[i].t, t0)) << ',' << y(frames[i].psi) << ' ' << x(std::min(frames[i + 1].t, t1)) << ','
            << y(frames[i].psi) << ' ';
    svg << "'/>\n";
  };
  steps(off, "stroke='#d62728' stroke-width='1.5'");
  steps(on, "stroke='#1f77b4' stroke-width='1.5' stroke-dasharray='5 3'");
  const char *legend[][2] = {{"#222", "true view (2.5 × head yaw)"},
                             {"#d62728", "written, smoothing off"},
                             {"#1f77b4", "written, smoothing on (dashed)"}};
  for (int i = 0; i < 3; ++i)
    svg << "<line x1='" << left + 400 << "' x2='" << left + 425 << "' y1='" << y(5) + 20 * i << "' y2='"
        << y(5) + 20 * i << "' stroke='" << legend[i][0] << "' stroke-width='2'/><text x='" << left + 432 << "' y='"
        << y(5) + 20 * i + 4 << "'>" << legend[i][1] << "</text>\n";
  svg << "</svg>\n";
  return svg.str();
}

bool Write(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

}  // namespace

// Runs the 24 cells (phone rate x network jitter x frame rate), each with the smoothing off and on.
int main(int argc, char **argv) {
  std::string tablePath = std::string(CVHT_BUILD_DIR) + "/bench_motion.md";
  std::string svgPath = std::string(CVHT_BUILD_DIR) + "/bench_motion.svg";
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 < argc && std::strcmp(argv[i], "--table") == 0) {
      tablePath = argv[i + 1];
    } else if (i + 1 < argc && std::strcmp(argv[i], "--svg") == 0) {
      svgPath = argv[i + 1];
    } else {
      std::fprintf(stderr, "usage: %s [--table out.md] [--svg out.svg]\n", argv[0]);
      return 2;
    }
  }
  const auto start = std::chrono::steady_clock::now();
  const double seconds = kSettleSec + kRunSec;
  std::mt19937 motionRng(kSeed);
  const Motion motion = MakeMotion(seconds, motionRng);
  std::string table = kTableHead, svg;
  for (double rate : {30.0, 60.0}) {
    for (Jitter jitter : {kNoJitter, kSmallJitter, kBurstJitter}) {
      std::mt19937 netRng(kSeed + static_cast<uint32_t>(rate) * 10 + jitter);
      const std::vector<Packet> packets = PhoneSchedule(motion, rate, jitter, seconds, netRng);
      for (double fps : {30.0, 45.0, 60.0, 90.0}) {
        std::mt19937 frameRng(kSeed + static_cast<uint32_t>(fps));
        const std::vector<double> dts = FrameLengths(fps, seconds, frameRng);
        const std::vector<Frame> off = Run(packets, dts, false), on = Run(packets, dts, true);
        if (off.empty() || on.empty()) {
          std::fprintf(stderr, "bench_motion: the plug-in did not start or a pose was not delivered (UDP 49707 busy?)\n");
          return 1;
        }
        table += Row(rate, jitter, fps, Measure(motion, off), Measure(motion, on));
        if (rate == 60 && jitter == kBurstJitter && fps == 45)
          svg = Plot(motion, packets, off, on, "60 Hz phone, 0-15 ms jitter with a 40 ms burst, 45 fps: one 60° glance");
      }
    }
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::cout << table << '\n';
  if (!gSmoothingPublished)
    std::cout << "note: " << kSmoothingRef << " is not published by this plug-in; both columns are the baseline.\n";
  std::printf("24 cells x 2 runs of %.0f s simulated in %.1f s; table %s, plot %s\n", seconds, wall, tablePath.c_str(),
              svgPath.c_str());
  if (!Write(tablePath, table) || !Write(svgPath, svg)) {
    std::fprintf(stderr, "bench_motion: cannot write %s or %s\n", tablePath.c_str(), svgPath.c_str());
    return 1;
  }
  return 0;
}
