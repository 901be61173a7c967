// Checks shared by the fuzz targets and the replay of their corpus: each runs one input through the real
// reader or the real plug-in and returns what went wrong, or an empty string. They hold the few invariants
// that matter: a well-formed index, a view within its limits, and to each query exactly the reply the index
// owes, at the phone that asked.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

// clang finds it in its own headers; the gcc build points at that one folder only.
#if __has_include(<fuzzer/FuzzedDataProvider.h>)
#include <fuzzer/FuzzedDataProvider.h>
#else
#include <FuzzedDataProvider.h>
#endif

#include "../tests/apt/apt_test_util.h"
#include "../tests/support/loopback_phone.h"
#include "cvht_wire.h"
#include "xplm_sim.h"

namespace cvhtfuzz {

// Any bytes as apt.dat, read into the index; the last byte picks the airport whose nearest list is checked.
inline std::string CheckAptFile(const uint8_t *data, size_t size) {
  static const cvhtsupport::TempDir dir;
  const std::string path = dir.Write("apt.dat", std::string(reinterpret_cast<const char *>(data), size));
  apt::Index index;
  if (path.empty() || !index.read(path.c_str())) return "cannot write or read the scratch apt.dat";
  return apttest::CheckIndex(index, size ? data[size - 1] : 0);
}

// The index the hosted plug-in answers from: two airports of one name, identifiers that share a prefix or
// are cut to seven characters, 30 runways and none, widths and elevations at and beyond their fields' ends.
inline std::string AptText() {
  const struct {
    int elevation;
    const char *ident;
    int runways;
  } airports[] = {{1416, "LSZH", 3}, {433, "KSEA7CH", 1}, {500, "LONGIDENT", 1}, {100, "DUPE", 1},
                  {200, "DUPE", 2},  {30000, "HIGH", 0},  {30001, "HIGHER", 0},  {-2001, "LOW", 0},
                  {-2000, "LOWEST", 0}, {1000, "MANY", 30}, {12, "NONE", 0},     {50, "WIDE", 6}, {9, "\xC3\xA9T1", 1}};
  const char *wide[] = {"5000", "-1e9", "nan", "inf", "3276.75", "-0.07"};
  std::string t = "I\n1200 Fixed index for the query checks\n";
  for (const auto &a : airports) {
    const std::string at = std::to_string(46.0 + 0.1 * (&a - airports)), name = a.ident;
    t += "1 " + std::to_string(a.elevation) + " 0 0 " + name + " Field\r\n";
    for (int r = 0; r < a.runways; ++r)
      t += "100\t" + (name == "WIDE" ? wide[r] : std::to_string(30 + r) + ".75") + " 1 0 0.25 1 3 0 " +
           std::to_string(r + 1) + "L " + at + " 8.1 0 0 3 2 1 0 " + std::to_string(r + 1) + "R " + at + " 8.2\n";
    t += "1302 datum_lat " + at + "\n1302 datum_lon 8.15\n";
  }
  return t + "99\n";
}

template <typename T>
std::string Bytes(const T &v) {
  return std::string(reinterpret_cast<const char *>(&v), sizeof v);
}

// The reply owed to a query: to version 1 whose identifier (bytes 6 to 12, up to a NUL) names an airport of
// the index, the first of that name with its first 24 runways and its elevation; to any other, none ("").
inline std::string Owed(const apt::Index &index, const std::string &query) {
  const auto q = cvhtphone::As<cvht::AirportQuery>(query);
  const std::string id(q.ident, strnlen(q.ident, 7));
  const auto a = std::find_if(index.airports.begin(), index.airports.end(), [&](auto &x) { return id == x.ident; });
  if (q.version != cvht::kQueryVersion || a == index.airports.end()) return "";
  std::string runways;
  uint16_t k = 0;
  for (const apt::Runway &r : index.runways) {
    if (r.airport != a - index.airports.begin() || k == cvht::kMaxRunwayEntries) continue;
    // Truncated toward zero and held at the field's ends; a width that is not finite is 0.
    const float dm = std::isfinite(r.widthM) ? std::clamp(r.widthM * 10.0f, -32768.0f, 32767.0f) : 0.0f;
    cvht::RunwayEntry w{0, 0, static_cast<int16_t>(dm), {}, {}, r.lat1, r.lon1, r.lat2, r.lon2};
    std::memcpy(w.end1, r.end1, 3);
    std::memcpy(w.end2, r.end2, 3);
    runways += Bytes(w);
    ++k;
  }
  cvht::AirportEntry e{{}, a->lat, a->lon};
  std::memcpy(e.ident, a->ident, 7);
  const bool known = a->elevationFt >= -2000 && a->elevationFt <= 30000;
  return Bytes(cvht::AirportPacketHeader{{'C', 'V', 'H', 'A'}, cvht::kAirportVersion, 7, a->lat, a->lon, 1, k}) +
         Bytes(e) + runways + Bytes(known ? static_cast<int16_t>(a->elevationFt) : cvht::kNoElevation);
}

constexpr float kFrameDt = 1.0f / 60.0f;

// The real plug-in in the simulated host with the fixed index, and two phones on loopback.
class HostedPlugin {
 public:
  HostedPlugin() {
    setenv("AVAHI_COMPAT_NOWARN", "1", 0);  // no daemon in the namespace; its one-line warning is noise
    const std::string nav = "Global Scenery/Global Airports/Earth nav data";
    std::error_code ec;
    if (system_.Path().empty() || !std::filesystem::create_directories(system_.Path() + "/" + nav, ec) ||
        !index_.read(system_.Write(nav + "/apt.dat", AptText()).c_str()))
      error_ = "cannot write or read apt.dat";
    else if (!apttest::CheckIndex(index_, 0).empty() || index_.airports.size() != 13 || index_.runways.size() != 45 ||
             index_.airports[0].elevationFt != 1416 || Owed(index_, cvhtphone::QueryBytes("LSZH")).empty())
      error_ = "the reader lost rows or fields of the fixed index";  // it answers for both sides below
    else if (!plugin_.Load(simxp::DefaultPluginPath()))
      error_ = "cannot load " + simxp::DefaultPluginPath() + ": " + plugin_.Error();
    else
      error_ = Start();
  }
  ~HostedPlugin() {
    Stop();
    plugin_.Unload();
  }
  const std::string &Error() const { return error_; }
  const std::string &SystemPath() const { return system_.Path(); }
  // Stops the plug-in, as X-Plane does before it quits; it stays loaded.
  void Stop() {
    if (started_) plugin_.Stop();
    started_ = false;
  }

  // Each operation a selector byte (its top bit picks the phone) and its operands: any bytes as a datagram,
  // a pose or a query whose fields come from the input, or a frame of one of the intervals; then two frames
  // and a question the plug-in must still answer.
  std::string RunDatagrams(const uint8_t *data, size_t size) {
    static const float kDt[] = {kFrameDt, 0.0f, -1.0f, NAN, INFINITY, 0.001f, 0.1f, 0.99f, 1.01f, 2.5f, 5.5f, 3600.0f};
    FuzzedDataProvider in(data, size);
    std::string err = Refresh();
    while (err.empty() && in.remaining_bytes() > 0) {
      const uint8_t op = in.ConsumeIntegral<uint8_t>();
      if ((op & 7) < 4) {
        err = Send(op >> 7, in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 64)));
      } else if ((op & 7) == 4) {
        auto p = cvhtphone::As<cvht::PosePacket>("CVHT");
        p.version = (op & 0x40) ? in.ConsumeIntegral<uint16_t>() : cvht::kPoseVersion;
        p.flags = in.ConsumeIntegral<uint16_t>();
        p.seq = in.ConsumeIntegral<uint32_t>();
        const std::string rest = in.ConsumeBytesAsString(sizeof p - 12);
        std::memcpy(reinterpret_cast<char *>(&p) + 12, rest.data(), rest.size());
        err = Send(op >> 7, Bytes(p));
      } else if ((op & 7) == 5) {
        const uint16_t version = (op & 0x40) ? in.ConsumeIntegral<uint16_t>() : cvht::kQueryVersion;
        err = Send(op >> 7, cvhtphone::QueryBytes(in.ConsumeBytesAsString(8), version));
      } else {
        err = Frame(kDt[(op >> 3) % std::size(kDt)]);
      }
    }
    for (int i = 0; i < 2 && err.empty(); ++i) err = Frame(kFrameDt);
    return err.empty() ? Ask(cvhtphone::QueryBytes("LSZH")) : err;
  }

  // Queries of ten bytes each, version and identifier, each answered (or not) before the next.
  std::string RunQueries(const uint8_t *data, size_t size) {
    std::string err = Refresh();
    for (size_t at = 0; err.empty() && at + 10 <= size; at += 10)
      err = Ask("CVHQ" + std::string(reinterpret_cast<const char *>(data) + at, 10));
    return err;
  }

 private:
  std::string Start() {
    simxp::Reset();
    simxp::PublishStandardAircraft();
    simxp::SetSystemPath(system_.Path() + "/");
    if (plugin_.Start() != 1) return "the plug-in did not start (port 49707 taken? run inside tests/netns-run.sh)";
    started_ = true;
    // A loaded machine (sanitizers, parallel tests) may take seconds over the small index.
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60); std::chrono::steady_clock::now() < end;) {
      simxp::RunFrame(kFrameDt);
      for (const auto &line : simxp::LogLines())
        if (line.rfind("CVHT: apt.dat ", 0) == 0)
          return line.find("indexed") != std::string::npos ? "" : "the fixed index was not read: " + line;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return "the airport scan did not finish";
  }

  // The host keeps every log line and METAR request; a restart now and then keeps a long run small.
  std::string Refresh() {
    if (!error_.empty() || (simxp::DebugStringCalls() < 30000 && simxp::FramesRun() < 100000)) return error_;
    Stop();
    error_ = Start();
    for (auto &phone : phones_) phone.Take();
    return error_;
  }

  // Sends from phone 0 or 1, noting the reply a query is owed. A frame runs first when the plug-in's small
  // receive buffer could overflow, so that every datagram arrives.
  std::string Send(int phone, const std::string &bytes) {
    if (std::string err = pending_ == 12 ? Frame(kFrameDt) : ""; !err.empty()) return err;
    if (!phones_[phone].SendBytes(bytes)) return "a " + std::to_string(bytes.size()) + "-byte datagram did not leave";
    ++pending_;
    const bool query = bytes.size() == sizeof(cvht::AirportQuery) && bytes.compare(0, 4, "CVHQ") == 0;
    if (const std::string reply = query ? Owed(index_, bytes) : ""; !reply.empty()) owed_[phone].push_back(reply);
    return "";
  }

  std::string Ask(const std::string &query) {
    const std::string err = Send(0, query);
    return err.empty() ? Frame(kFrameDt) : err;
  }

  // One frame: no host fault, a view within its limits around the eye point, and each phone's query replies
  // those owed, in order.
  std::string Frame(float dt) {
    if (pending_ > 0) cvhtphone::AwaitDelivery();
    simxp::RunFrame(dt);
    pending_ = 0;
    if (const auto faults = simxp::Faults(); !faults.empty()) return "host fault: " + faults.front();
    for (int i = 0; i < 6 && simxp::WriteCount(simxp::kHeadRefs[0]) > 0; ++i) {
      const float v = simxp::GetFloat(simxp::kHeadRefs[i]), neutral = i < 3 ? simxp::GetFloat(simxp::kEyeRefs[i]) : 0;
      if (!std::isfinite(v) || std::fabs(v - neutral) > (i < 3 ? 0.35f : 80.0f) * 1.000001f)
        return simxp::kHeadRefs[i] + " = " + std::to_string(v) + " is beyond its limit";
    }
    for (int phone = 0; phone < 2; ++phone) {
      std::vector<std::string> &owed = owed_[phone];
      // A reply goes out within the frame; the wait only covers a late delivery on a loaded machine.
      for (int wait = 0; wait <= 200; ++wait) {
        for (const std::string &p : phones_[phone].Take()) {
          if (p.size() < 8 || p.compare(0, 4, "CVHA") != 0 || p[6] != 7) continue;
          if (owed.empty() || owed.front() != p) return "a query reply that is not the one owed";
          owed.erase(owed.begin());
        }
        if (owed.empty()) break;
        if (wait == 200) return "a query went unanswered";
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    return "";
  }

  cvhtsupport::TempDir system_;
  apt::Index index_;  // the same file, read by the same reader, that the plug-in answers from
  simxp::Plugin plugin_;
  bool started_ = false;
  std::string error_;
  cvhtphone::Phone phones_[2];
  int pending_ = 0;                   // datagrams sent since the last frame
  std::vector<std::string> owed_[2];  // per phone, the replies owed to its queries, in order
};

// The one hosted plug-in of a fuzz process, started once and kept between inputs. At exit it is stopped, so
// its scan thread is joined, and stays loaded until the process ends.
inline HostedPlugin *StartHostOrExit(const char *target) {
  static HostedPlugin *host = new HostedPlugin;
  if (!host->Error().empty()) {
    std::fprintf(stderr, "%s: %s\n", target, host->Error().c_str());
    std::exit(2);
  }
  std::atexit([] {
    host->Stop();
    std::error_code ec;
    std::filesystem::remove_all(host->SystemPath(), ec);
  });
  return host;
}

// One input of a kind ("apt", "datagram" or "query") through its check; the last two need the host.
inline std::string CheckInput(const std::string &kind, HostedPlugin *host, const uint8_t *data, size_t size) {
  if (kind == "apt") return CheckAptFile(data, size);
  return kind == "query" ? host->RunQueries(data, size) : host->RunDatagrams(data, size);
}

// Ends the run as a finding when a check failed.
inline void AbortOnFinding(const char *target, const std::string &err) {
  if (err.empty()) return;
  std::fprintf(stderr, "%s: %s\n", target, err.c_str());
  std::abort();
}

}  // namespace cvhtfuzz
