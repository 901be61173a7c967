// Checks shared by the fuzz targets and the replay of their corpus: each runs one input through the real
// reader or the real plug-in and returns what went wrong, or an empty string. They hold the invariants that
// matter: a well-formed index, well-formed packets, a view within its limits, status packets that echo a
// pose that was sent, and to each query exactly the reply the index owes.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// clang finds it in its own headers; the gcc build points at that one folder only.
#if __has_include(<fuzzer/FuzzedDataProvider.h>)
#include <fuzzer/FuzzedDataProvider.h>
#else
#include <FuzzedDataProvider.h>
#endif

#include "../tests/support/loopback_phone.h"
#include "../tests/support/temp_dir.h"
#include "apt/apt_index.h"
#include "cvht_wire.h"
#include "xplm_sim.h"

namespace cvhtfuzz {

// A text field: NUL-terminated within its size, not empty, zero after the terminator.
inline bool WellFormedText(const char *field, size_t size) {
  const char *end = static_cast<const char *>(std::memchr(field, '\0', size));
  return end && end != field && std::all_of(end, field + size, [](char c) { return c == '\0'; });
}

// Placed airports with well-formed idents, runways grouped by a valid owner, and from the position of the
// airport pick the nearest list: in range, nearest first, that airport itself at 0 nm.
inline std::string CheckIndex(const apt::Index &index, size_t pick) {
  const size_t n = index.airports.size();
  for (const apt::Airport &a : index.airports)
    if ((a.lat == 0.0f && a.lon == 0.0f) || !WellFormedText(a.ident, sizeof a.ident))
      return "an unplaced airport or a malformed identifier";
  for (size_t i = 0; i < index.runways.size(); ++i) {
    const apt::Runway &r = index.runways[i];
    if (r.airport < 0 || size_t(r.airport) >= n || (i > 0 && r.airport < index.runways[i - 1].airport) ||
        !WellFormedText(r.end1, sizeof r.end1) || !WellFormedText(r.end2, sizeof r.end2))
      return "runway " + std::to_string(i) + ": a bad owner or a malformed designator";
  }
  if (n == 0) return index.runways.empty() ? "" : "runways without an airport";
  const apt::Airport &a = index.airports[pick % n];
  const std::vector<apt::Nearby> near = index.nearest(a.lat, a.lon, 44, 150.0);
  for (size_t i = 0; i < near.size(); ++i)
    if (i >= 44 || near[i].airport < 0 || size_t(near[i].airport) >= n ||
        !(near[i].distanceNm >= 0.0f && near[i].distanceNm <= 150.0f) ||
        (i > 0 && near[i].distanceNm < near[i - 1].distanceNm))
      return "nearest result " + std::to_string(i) + " out of range or order";
  if (std::isfinite(a.lat) && std::isfinite(a.lon) && (near.empty() || near[0].distanceNm != 0.0f))
    return "nearest to an airport's own position is not that airport at 0 nm";
  return "";
}

// Any bytes as an apt.dat file; the last byte picks the airport whose nearest list is checked.
inline std::string CheckAptFile(const uint8_t *data, size_t size) {
  static const cvhtsupport::TempDir dir;
  const std::string path = dir.Write("apt.dat", std::string(reinterpret_cast<const char *>(data), size));
  apt::Index index;
  if (path.empty() || !index.read(path.c_str())) return "cannot write or read the scratch apt.dat";
  return CheckIndex(index, size ? data[size - 1] : 0);
}

// The index the hosted plug-in answers from: two airports of one name, identifiers that share a prefix or
// are cut to seven characters, 30 runways and none, widths and elevations at and beyond their fields' ends,
// an airport placed by its runways and one without a place, a seaplane base, UTF-8, tabs and CRLF.
inline std::string AptText() {
  auto runway = [](const std::string &width, const std::string &end1, const std::string &end2) {
    return "100\t" + width + " 1 0 0.25 1 3 0 " + end1 + " 0 0 3 2 1 0 " + end2 + " 0 0 3 2 1 0\n";
  };
  auto airport = [](int elevation, const std::string &ident, const std::string &lat, const std::string &lon) {
    return "1 " + std::to_string(elevation) + " 0 0 " + ident + " Field\r\n1302 datum_lat " + lat +
           "\n1302 datum_lon " + lon + "\n1302 city Somewhere\n";
  };
  std::string many;
  for (int i = 0; i < 30; ++i)
    many += runway(std::to_string(30 + i), std::to_string(10 + i) + " 46.9 8.1", std::to_string(i) + "X 46.91 8.11");
  return "I\n1200 Fixed index for the query checks\n\n" + airport(1416, "LSZH", "47.458056", "8.548056") +
         runway("60", "10 47.4574 8.5269", "28 47.4569 8.5693") + runway("60", "16 47.4739 8.5361", "34 47.4488 8.5625") +
         runway("60", "14 47.4821 8.5352", "32 47.4610 8.5700") + airport(433, "KSEA7CH", "47.45", "8.55") +
         runway("45", "16L 47.44 8.55", "34R 47.46 8.55") + airport(500, "LONGIDENT", "47.4", "8.6") +
         runway("30", "09LX 47.4 8.59", "27RX 47.4 8.61") + airport(100, "DUPE", "47.3", "8.3") +
         runway("20", "01 47.29 8.3", "19 47.31 8.3") + airport(200, "DUPE", "47.31", "8.31") +
         runway("25", "02 47.30 8.31", "20 47.32 8.31") + airport(30000, "HIGH", "46.1", "7.1") +
         airport(30001, "HIGHER", "46.2", "7.2") + airport(-2001, "LOW", "31.5", "35.5") +
         airport(-2000, "LOWEST", "31.6", "35.6") + airport(1000, "MANY", "46.9", "8.1") + many +
         airport(12, "NONE", "47.6", "8.6") + airport(50, "WIDE", "47.7", "8.7") + runway("5000", "01 1 1", "19 2 2") +
         runway("-1e9", "02 1 1", "20 2 2") + runway("nan", "03 1 1", "21 2 2") + runway("3276.75", "04 1 1", "22 2 2") +
         runway("-0.07", "05 1 1", "23 2 2") + "1 0 0 0 GONE Field\n1 70 0 0 AFTER Field\n" +
         runway("40", "07 47.5 8.25", "25 47.75 8.75") + "16 5 0 0 SEAP Seaplane base\n" +
         runway("10", "N 47.2 8.2", "S 47.21 8.2") + airport(9, "\xC3\xA9T1", "47.1", "8.9") +
         runway("15", "\xC3\xA9 47.1 8.9", "Z 47.11 8.9") + "99\n";
}

template <typename T>
std::string Bytes(const T &v) {
  return std::string(reinterpret_cast<const char *>(&v), sizeof v);
}

// The reply owed to a query: to version 1 whose identifier (bytes 6 to 12, up to a NUL) names an airport of
// the index, the first of that name with its first 24 runways and its elevation; to any other, none.
inline std::optional<std::string> Owed(const apt::Index &index, const std::string &query) {
  const auto q = cvhtphone::As<cvht::AirportQuery>(query);
  const std::string id(q.ident, strnlen(q.ident, 7));
  const auto a = std::find_if(index.airports.begin(), index.airports.end(), [&](auto &x) { return id == x.ident; });
  if (q.version != cvht::kQueryVersion || a == index.airports.end()) return std::nullopt;
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

// Every packet the plug-in sends has a known magic, its version and its size; only the query reply (flags
// 7, one airport) carries the trailing elevation.
inline std::string CheckPacket(const std::string &p) {
  static const struct {
    const char *magic;
    size_t size;
    uint16_t version;
  } kFixed[] = {{"CVHS", sizeof(cvht::StatusPacket), cvht::kStatusVersion},
                {"CVHF", sizeof(cvht::FlightStatePacket), cvht::kFlightStateVersion},
                {"CVHW", sizeof(cvht::WeatherPacket), cvht::kWeatherVersion},
                {"CVHI", sizeof(cvht::IdentityPacket), cvht::kIdentityVersion}};
  const auto h = cvhtphone::As<cvht::AirportPacketHeader>(p);
  const std::string bad = "a " + std::to_string(p.size()) + "-byte packet " + p.substr(0, 4);
  if (p.size() < sizeof h) return bad;
  for (const auto &f : kFixed)
    if (p.compare(0, 4, f.magic) == 0) return p.size() == f.size && h.version == f.version ? "" : bad;
  const size_t body = sizeof h + 16u * h.airportCount + 28u * h.runwayCount;
  const bool ok = h.flags == 7 ? h.airportCount == 1 && p.size() == body + 2
                               : h.flags == 3 && h.airportCount <= cvht::kMaxAirportEntries && p.size() == body;
  return p.compare(0, 4, "CVHA") == 0 && h.version == cvht::kAirportVersion && ok &&
                 h.runwayCount <= cvht::kMaxRunwayEntries
             ? ""
             : bad;
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
        !index_.read(system_.Write(nav + "/apt.dat", AptText()).c_str()) ||
        !Owed(index_, cvhtphone::QueryBytes("LSZH")))  // the question every datagram input ends with
      error_ = "cannot write or read apt.dat";
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

  // Each operation a selector byte and its operands: any bytes as a datagram, a pose or a query whose fields
  // come from the input, or a frame; then two frames and a question the plug-in must still answer.
  std::string RunDatagrams(const uint8_t *data, size_t size) {
    static const float kIntervals[] = {kFrameDt, 0.0f, -1.0f, NAN, INFINITY, 0.001f, 0.1f, 0.99f, 1.01f, 2.5f, 5.5f, 3600.0f};
    FuzzedDataProvider in(data, size);
    std::string err = Refresh();
    while (err.empty() && in.remaining_bytes() > 0) {
      const uint8_t op = in.ConsumeIntegral<uint8_t>();
      const int sender = op >> 7;
      if ((op & 7) < 4) {
        err = Send(sender, in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 64)));
      } else if ((op & 7) == 4) {
        auto p = cvhtphone::As<cvht::PosePacket>("CVHT");
        p.version = (op & 0x40) ? in.ConsumeIntegral<uint16_t>() : cvht::kPoseVersion;
        p.flags = in.ConsumeIntegral<uint16_t>();
        p.seq = in.ConsumeIntegral<uint32_t>();
        const auto rest = in.ConsumeBytes<uint8_t>(sizeof p - 12);
        if (!rest.empty()) std::memcpy(reinterpret_cast<uint8_t *>(&p) + 12, rest.data(), rest.size());
        err = Send(sender, Bytes(p));
      } else if ((op & 7) == 5) {
        const uint16_t version = (op & 0x40) ? in.ConsumeIntegral<uint16_t>() : cvht::kQueryVersion;
        err = Send(sender, cvhtphone::QueryBytes(in.ConsumeBytesAsString(8), version));
      } else {
        err = Frame(kIntervals[(op >> 3) % std::size(kIntervals)]);
      }
    }
    for (int i = 0; i < 2 && err.empty(); ++i) err = Frame(kFrameDt);
    return err.empty() ? Ask(cvhtphone::QueryBytes("LSZH")) : err;
  }

  // Queries, each answered (or not) before the next: an identifier of the index with a few bytes replaced,
  // or any eight bytes; version 1 or any.
  std::string RunQueries(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::string err = Refresh();
    while (err.empty() && in.remaining_bytes() > 0) {
      const uint8_t ctl = in.ConsumeIntegral<uint8_t>();
      std::string ident;
      if (ctl & 1) {
        ident = index_.airports[in.ConsumeIntegral<uint8_t>() % index_.airports.size()].ident;
        ident.resize(8, '\0');
        for (int n = (ctl >> 4) & 3; n > 0; --n) ident[in.ConsumeIntegral<uint8_t>() % 8] = in.ConsumeIntegral<char>();
      } else {
        ident = in.ConsumeBytesAsString(8);
      }
      err = Ask(cvhtphone::QueryBytes(ident, (ctl & 2) ? in.ConsumeIntegral<uint16_t>() : cvht::kQueryVersion));
    }
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
    for (auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60); std::chrono::steady_clock::now() < giveUp;) {
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
    sent_.clear();
    if (!error_.empty() || (simxp::DebugStringCalls() < 30000 && simxp::FramesRun() < 100000)) return error_;
    Stop();
    if (!(error_ = Start()).empty()) return error_;
    for (auto &phone : phones_) phone.Take();
    return "";
  }

  // Sends from phone 0 or 1, noting the reply a query is owed and the pose a status packet may echo. A frame
  // runs first when the plug-in's small receive buffer could overflow, so that every datagram arrives.
  std::string Send(int sender, const std::string &bytes) {
    if (pending_ == 12)
      if (std::string err = Frame(kFrameDt); !err.empty()) return err;
    if (!phones_[sender].SendBytes(bytes)) return "a " + std::to_string(bytes.size()) + "-byte datagram did not leave";
    ++pending_;
    if (bytes.size() == sizeof(cvht::AirportQuery) && bytes.compare(0, 4, "CVHQ") == 0)
      if (auto reply = Owed(index_, bytes)) owed_[sender].push_back(*reply);
    const auto p = cvhtphone::As<cvht::PosePacket>(bytes);
    if (bytes.size() >= sizeof p && bytes.compare(0, 4, "CVHT") == 0 && p.version == cvht::kPoseVersion)
      sent_.push_back(p);
    return "";
  }

  // A query, then the frame that answers it: exactly the reply owed, or none.
  std::string Ask(const std::string &query) {
    std::string err = Send(0, query);
    return err.empty() ? Frame(kFrameDt) : err;
  }

  // One frame: no host fault, a view within its limits, every packet well formed, a status packet that echoes
  // a pose sent (in this input, or the one echoed last) or none, and each phone's replies exactly those owed
  // to its queries, in order.
  std::string Frame(float dt) {
    simxp::RunFrame(dt);
    pending_ = 0;
    if (const auto faults = simxp::Faults(); !faults.empty()) return "host fault: " + faults.front();
    for (int i = 0; i < 6 && simxp::WriteCount(simxp::kHeadRefs[0]) > 0; ++i) {
      const float v = simxp::GetFloat(simxp::kHeadRefs[i]), limit = i < 3 ? 0.35f : 80.0f;
      const float neutral = i < 3 ? simxp::GetFloat(simxp::kEyeRefs[i]) : 0.0f;
      if (!std::isfinite(v) || std::fabs(v - neutral) > limit * 1.000001f)
        return simxp::kHeadRefs[i] + " = " + std::to_string(v) + " beyond its limit";
    }
    for (int sender = 0; sender < 2; ++sender) {
      // A reply goes out within the frame; the wait only covers a late delivery on a loaded machine.
      for (int wait = 0; wait <= 200; ++wait) {
        for (const std::string &p : phones_[sender].Take()) {
          if (std::string err = CheckPacket(p); !err.empty()) return err;
          if (p.compare(0, 4, "CVHS") == 0) {
            const auto s = cvhtphone::As<cvht::StatusPacket>(p);
            auto echoes = [&](const cvht::PosePacket &e) { return e.seq == s.seq && !std::memcmp(e.echo, s.echo, 8); };
            if (!echoes({}) && !echoes(lastEcho_) && std::none_of(sent_.begin(), sent_.end(), echoes))
              return "status echoes seq " + std::to_string(s.seq) + ", which no pose sent carried";
            lastEcho_.seq = s.seq;
            std::memcpy(lastEcho_.echo, s.echo, sizeof s.echo);
          } else if (p.compare(0, 4, "CVHA") == 0 && p[6] == 7) {
            if (owed_[sender].empty() || owed_[sender].front() != p) return "a query reply that is not the one owed";
            owed_[sender].erase(owed_[sender].begin());
          }
        }
        if (owed_[sender].empty()) break;
        if (wait == 200) return "a query went unanswered";
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    return "";
  }

  cvhtsupport::TempDir system_;
  apt::Index index_;  // the same file read by the same reader, whose own checks are CheckIndex's
  simxp::Plugin plugin_;
  bool started_ = false;
  std::string error_;
  cvhtphone::Phone phones_[2];
  int pending_ = 0;                          // datagrams sent since the last frame
  std::vector<std::string> owed_[2];         // per phone, the replies owed to its queries, in order
  std::vector<cvht::PosePacket> sent_;       // every pose of this input a status packet may echo
  cvht::PosePacket lastEcho_{};              // the seq and echo of the last status packet
};

// The one hosted plug-in of a fuzz process: started once, never stopped between inputs. At exit it is
// stopped, so its scan thread is joined, and stays loaded until the process ends.
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

// Ends the run as a finding when a check failed.
inline void AbortOnFinding(const char *target, const std::string &err) {
  if (err.empty()) return;
  std::fprintf(stderr, "%s: %s\n", target, err.c_str());
  std::abort();
}

}  // namespace cvhtfuzz
