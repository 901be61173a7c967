// Checks shared by the fuzz targets and the replay of their corpus: each runs one input through the real
// reader or the real plug-in and returns what went wrong, or an empty string.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
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

inline std::string Fmt(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
inline std::string Fmt(const char *fmt, ...) {
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  return line;
}

using cvhtsupport::TempDir;

// ---- apt.dat reader: the bytes as a file, then the index's invariants and a nearest query.

// A text field of size bytes: NUL-terminated within it, not empty, zero after the terminator.
inline bool WellFormedText(const char *field, size_t size) {
  const char *end = static_cast<const char *>(std::memchr(field, '\0', size));
  if (!end || end == field) return false;
  for (const char *p = end; p < field + size; ++p)
    if (*p != '\0') return false;
  return true;
}

// Nearest airports to (lat, lon); atAirport says the point is an airport's own position.
inline std::string CheckNearest(const apt::Index &index, double lat, double lon, bool atAirport) {
  constexpr int kCount = 44;
  constexpr double kRadiusNm = 150.0;
  const std::vector<apt::Nearby> near = index.nearest(lat, lon, kCount, kRadiusNm);
  if (near.size() > static_cast<size_t>(kCount)) return Fmt("nearest gave %zu results for %d", near.size(), kCount);
  for (size_t i = 0; i < near.size(); ++i) {
    const apt::Nearby &n = near[i];
    if (n.airport < 0 || static_cast<size_t>(n.airport) >= index.airports.size())
      return Fmt("nearest result %zu names airport %d of %zu", i, n.airport, index.airports.size());
    if (!std::isfinite(n.distanceNm) || n.distanceNm < 0.0f || n.distanceNm > kRadiusNm * 1.0001)
      return Fmt("nearest result %zu at %g nm", i, double(n.distanceNm));
    if (i > 0 && n.distanceNm < near[i - 1].distanceNm) return Fmt("nearest result %zu is nearer than the one before", i);
  }
  // From a point that is an airport's own finite position, that airport lies at distance 0.
  if (atAirport && std::isfinite(lat) && std::isfinite(lon)) {
    if (near.empty()) return Fmt("nearest found nothing at an airport's own position %g, %g", lat, lon);
    if (near[0].distanceNm != 0.0f) return Fmt("nearest airport to %g, %g is %g nm away, not 0", lat, lon, double(near[0].distanceNm));
  }
  if (!index.nearest(lat, lon, 0, kRadiusNm).empty() || !index.nearest(lat, lon, -3, kRadiusNm).empty())
    return "nearest with no room for results still gave some";
  return "";
}

inline std::string CheckIndex(const apt::Index &index) {
  for (size_t i = 0; i < index.airports.size(); ++i) {
    const apt::Airport &a = index.airports[i];
    if (a.lat == 0.0f && a.lon == 0.0f) return Fmt("airport %zu lies at 0, 0", i);
    if (!WellFormedText(a.ident, sizeof a.ident)) return Fmt("airport %zu has a malformed identifier", i);
  }
  for (size_t i = 0; i < index.runways.size(); ++i) {
    const apt::Runway &r = index.runways[i];
    if (r.airport < 0 || static_cast<size_t>(r.airport) >= index.airports.size())
      return Fmt("runway %zu names airport %d of %zu", i, r.airport, index.airports.size());
    if (i > 0 && r.airport < index.runways[i - 1].airport)
      return Fmt("runway %zu (airport %d) after one of airport %d", i, r.airport, index.runways[i - 1].airport);
    if (!WellFormedText(r.end1, sizeof r.end1) || !WellFormedText(r.end2, sizeof r.end2))
      return Fmt("runway %zu has a malformed designator", i);
  }
  return "";
}

// Lines of the file that can open an airport or add a runway: the index cannot hold more than these.
inline void CountRowStarts(const uint8_t *data, size_t size, size_t &headers, size_t &runways) {
  headers = runways = 0;
  for (size_t at = 0; at < size;) {
    const uint8_t *nl = static_cast<const uint8_t *>(std::memchr(data + at, '\n', size - at));
    const size_t end = nl ? static_cast<size_t>(nl - data) : size;
    const std::string_view line(reinterpret_cast<const char *>(data + at), end - at);
    auto opens = [&](std::string_view code) {
      return line.size() > code.size() && line.substr(0, code.size()) == code &&
             (line[code.size()] == ' ' || line[code.size()] == '\t');
    };
    if (opens("1")) ++headers;
    if (opens("100")) ++runways;
    at = end + 1;
  }
}

class AptChecker {
 public:
  std::string Run(const uint8_t *data, size_t size) {
    const std::string path = dir_.Write("apt.dat", std::string(reinterpret_cast<const char *>(data), size));
    if (path.empty()) return "cannot write the scratch apt.dat";
    apt::Index index;
    if (!index.read(path.c_str())) return "read refused a file that exists";
    std::string err = CheckIndex(index);
    if (!err.empty()) return err;
    size_t headers, runways;
    CountRowStarts(data, size, headers, runways);
    if (index.airports.size() > headers || index.runways.size() > runways)
      return Fmt("index holds %zu airports and %zu runways from %zu headers and %zu runway rows", index.airports.size(),
                 index.runways.size(), headers, runways);
    if (index.airports.empty()) {
      if (!index.runways.empty()) return Fmt("%zu runways without an airport", index.runways.size());
      return index.nearest(47.0, 8.0, 44, 150.0).empty() ? "" : "nearest found airports in an empty index";
    }
    // A point from the data: the airport the last byte picks.
    const apt::Airport &a = index.airports[size ? data[size - 1] % index.airports.size() : 0];
    return CheckNearest(index, a.lat, a.lon, true);
  }

 private:
  TempDir dir_;
};

// ---- The small airport index the plug-in answers queries from, and the replies it must give.

struct TableRunway {
  double widthM;
  std::string end1, end2;
  double lat1, lon1, lat2, lon2;
};
struct TableAirport {
  const char *code;  // "1" land airport; "16" seaplane base, never indexed
  int elevationFt;
  std::string ident;  // as written in the file
  bool datum;
  double lat, lon;
  std::vector<TableRunway> runways;
};

inline std::vector<TableAirport> MakeAirports() {
  std::vector<TableRunway> many;
  for (int i = 0; i < 30; ++i)
    many.push_back({30.0 + i, Fmt("%02d", i % 36 + 1), Fmt("%02dX", (i + 18) % 36 + 1), 46.9 + 0.001 * i, 8.1,
                    46.91 + 0.001 * i, 8.11});
  return {
      {"1", 1416, "LSZH", true, 47.458056, 8.548056,
       {{60, "10", "28", 47.4574, 8.5269, 47.4569, 8.5693},
        {60, "16", "34", 47.4739, 8.5361, 47.4488, 8.5625},
        {60, "14", "32", 47.4821, 8.5352, 47.4610, 8.5700}}},
      {"1", 433, "KSEA7CH", true, 47.45, 8.55, {{45, "16L", "34R", 47.44, 8.55, 47.46, 8.55}}},
      {"1", 500, "LONGIDENT", true, 47.4, 8.6, {{30, "09LX", "27RX", 47.4, 8.59, 47.4, 8.61}}},
      {"1", 100, "DUPE", true, 47.3, 8.3, {{20, "01", "19", 47.29, 8.3, 47.31, 8.3}}},
      {"1", 200, "DUPE", true, 47.31, 8.31, {{25, "02", "20", 47.30, 8.31, 47.32, 8.31}, {26, "03", "21", 1, 2, 3, 4}}},
      {"1", 30000, "HIGH", true, 46.1, 7.1, {}},
      {"1", 30001, "HIGHER", true, 46.2, 7.2, {}},
      {"1", -2001, "LOW", true, 31.5, 35.5, {}},
      {"1", -2000, "LOWEST", true, 31.6, 35.6, {}},
      {"1", 1000, "MANY", true, 46.9, 8.1, many},
      {"1", 12, "NONE", true, 47.6, 8.6, {}},
      {"1", 50, "WIDE", true, 47.7, 8.7,
       {{5000, "01", "19", 1, 1, 2, 2},
        {-1e9, "02", "20", 1, 1, 2, 2},
        {NAN, "03", "21", 1, 1, 2, 2},
        {3276.75, "04", "22", 1, 1, 2, 2},
        {-0.07, "05", "23", 1, 1, 2, 2}}},
      {"1", 0, "GONE", false, 0, 0, {}},
      {"1", 70, "AFTER", false, 0, 0, {{40, "07", "25", 47.5, 8.25, 47.75, 8.75}}},
      {"16", 5, "SEAP", true, 47.2, 8.2, {{10, "N", "S", 47.2, 8.2, 47.21, 8.2}}},
      {"1", 9, "\xC3\xA9T1", true, 47.1, 8.9, {{15, "\xC3\xA9", "Z", 47.1, 8.9, 47.11, 8.9}}},
  };
}

inline const std::vector<TableAirport> &Airports() {
  static const std::vector<TableAirport> table = MakeAirports();
  return table;
}

inline std::string Num(double v) { return Fmt("%.9g", v); }

// X-Plane's rows for the table: header, runways, datum; numbers written so that reading them back is exact.
inline std::string AptText() {
  std::string t = "I\n1200 Fixed index for the query checks\n\n";
  for (const TableAirport &a : Airports()) {
    t += std::string(a.code) + " " + std::to_string(a.elevationFt) + " 0 0 " + a.ident + " Field " + a.ident + "\r\n";
    for (const TableRunway &r : a.runways)
      t += "100\t" + Num(r.widthM) + " 1 0 0.25 1 3 0 " + r.end1 + " " + Num(r.lat1) + " " + Num(r.lon1) +
           " 0 0 3 2 1 0 " + r.end2 + " " + Num(r.lat2) + " " + Num(r.lon2) + " 0 0 3 2 1 0\n";
    if (a.datum) t += "1302 datum_lat " + Num(a.lat) + "\n1302 datum_lon " + Num(a.lon) + "\n";
    t += "1302 city Somewhere\n";
  }
  return t + "99\n";
}

inline float Parsed(double v) { return static_cast<float>(std::strtod(Num(v).c_str(), nullptr)); }

inline void CopyCut(char *field, size_t size, const std::string &text) {
  std::memset(field, 0, size);
  std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}

// The reply the plug-in owes a query for this identifier, or nothing when it owes none.
inline std::optional<std::string> ExpectedReply(const std::string &ident) {
  for (const TableAirport &a : Airports()) {
    if (std::string(a.code) != "1" || a.ident.substr(0, 7) != ident) continue;
    float lat = Parsed(a.lat), lon = Parsed(a.lon);
    if (!a.datum) {
      // Placed at the mean of its runway ends, each pair added in single precision.
      double latSum = 0, lonSum = 0;
      for (const TableRunway &r : a.runways) {
        latSum += static_cast<double>(Parsed(r.lat1) + Parsed(r.lat2));
        lonSum += static_cast<double>(Parsed(r.lon1) + Parsed(r.lon2));
      }
      if (a.runways.empty()) continue;  // unplaceable, so not in the index
      lat = static_cast<float>(latSum / (2.0 * a.runways.size()));
      lon = static_cast<float>(lonSum / (2.0 * a.runways.size()));
    }
    const size_t k = std::min<size_t>(a.runways.size(), cvht::kMaxRunwayEntries);
    cvht::AirportPacketHeader h{};
    std::memcpy(h.magic, "CVHA", 4);
    h.version = cvht::kAirportVersion;
    h.flags = 7;
    h.lat = lat;
    h.lon = lon;
    h.airportCount = 1;
    h.runwayCount = static_cast<uint16_t>(k);
    cvht::AirportEntry e{};
    CopyCut(e.ident, sizeof e.ident, a.ident);
    e.lat = lat;
    e.lon = lon;
    std::string out(reinterpret_cast<const char *>(&h), sizeof h);
    out.append(reinterpret_cast<const char *>(&e), sizeof e);
    for (size_t i = 0; i < k; ++i) {
      const TableRunway &r = a.runways[i];
      cvht::RunwayEntry w{};
      // Single precision, truncated toward zero, held at the field's ends; a width that is not finite is 0.
      const float m = Parsed(r.widthM), dm = m * 10.0f;
      w.widthDm = !std::isfinite(m) ? 0 : dm >= 32767.0f ? 32767 : dm <= -32768.0f ? -32768 : static_cast<int16_t>(dm);
      CopyCut(w.end1, sizeof w.end1, r.end1);
      CopyCut(w.end2, sizeof w.end2, r.end2);
      w.lat1 = Parsed(r.lat1);
      w.lon1 = Parsed(r.lon1);
      w.lat2 = Parsed(r.lat2);
      w.lon2 = Parsed(r.lon2);
      out.append(reinterpret_cast<const char *>(&w), sizeof w);
    }
    const int16_t elevation = a.elevationFt >= -2000 && a.elevationFt <= 30000 ? static_cast<int16_t>(a.elevationFt)
                                                                               : cvht::kNoElevation;
    out.append(reinterpret_cast<const char *>(&elevation), sizeof elevation);
    return out;
  }
  return std::nullopt;
}

// The identifier a 14-byte query asks for: bytes 6 to 12, up to the first NUL.
inline std::string QueryIdent(const std::string &query) {
  std::string id = query.substr(6, 7);
  return id.substr(0, id.find('\0'));
}

using cvhtphone::QueryBytes;

// ---- The real plug-in in the simulated host, and phones on loopback.

using cvhtphone::Phone;

inline bool IsQueryReply(const std::string &p) {
  if (p.size() < 8 || std::memcmp(p.data(), "CVHA", 4) != 0) return false;
  uint16_t flags;
  std::memcpy(&flags, p.data() + 6, 2);
  return (flags & cvht::kAirportQueryReply) != 0;
}

// Every packet the plug-in sends has a known magic, its version and its size.
inline std::string CheckPacket(const std::string &p) {
  if (p.size() < 8) return Fmt("a %zu-byte packet from the plug-in", p.size());
  const std::string magic = p.substr(0, 4);
  uint16_t version;
  std::memcpy(&version, p.data() + 4, 2);
  auto want = [&](size_t size, uint16_t v) {
    return p.size() == size && version == v ? std::string() : Fmt("%s packet of %zu bytes, version %u", magic.c_str(), p.size(), version);
  };
  if (magic == "CVHS") return want(sizeof(cvht::StatusPacket), cvht::kStatusVersion);
  if (magic == "CVHF") return want(sizeof(cvht::FlightStatePacket), cvht::kFlightStateVersion);
  if (magic == "CVHW") return want(sizeof(cvht::WeatherPacket), cvht::kWeatherVersion);
  if (magic == "CVHI") return want(sizeof(cvht::IdentityPacket), cvht::kIdentityVersion);
  if (magic != "CVHA") return Fmt("a packet with magic %s", magic.c_str());
  if (p.size() < sizeof(cvht::AirportPacketHeader) || version != cvht::kAirportVersion)
    return Fmt("CVHA packet of %zu bytes, version %u", p.size(), version);
  cvht::AirportPacketHeader h;
  std::memcpy(&h, p.data(), sizeof h);
  const size_t body = sizeof h + 16u * h.airportCount + 28u * h.runwayCount;
  if (h.flags & cvht::kAirportQueryReply) {
    if (h.flags != 7 || h.airportCount != 1 || h.runwayCount > cvht::kMaxRunwayEntries || p.size() != body + 2)
      return Fmt("query reply of %zu bytes, flags %u, %u airports, %u runways", p.size(), h.flags, h.airportCount, h.runwayCount);
  } else if (h.flags != 3 || h.airportCount > cvht::kMaxAirportEntries || h.runwayCount > cvht::kMaxRunwayEntries ||
             p.size() != body) {
    return Fmt("airport packet of %zu bytes, flags %u, %u airports, %u runways", p.size(), h.flags, h.airportCount, h.runwayCount);
  }
  return "";
}

constexpr float kFrameDt = 1.0f / 60.0f;

// What the pose link must hold after each frame, worked out from the datagrams sent: the newest in-order pose,
// the peer, the mismatch flag and the freshness clock, as the status packet reports them.
struct LinkModel {
  bool havePeer = false;
  int peer = 0;
  bool haveLatest = false;
  uint32_t lastSeq = 0;
  uint8_t echo[8] = {};
  bool mismatch = false;
  float since = 999.0f;

  // One frame's receive step over these datagrams; returns the count of valid pose packets.
  uint32_t Receive(float dt, const std::vector<std::pair<int, std::string>> &datagrams) {
    since += (dt > 0.0f && std::isfinite(dt)) ? dt : kFrameDt;
    uint32_t valid = 0;
    for (const auto &[sender, whole] : datagrams) {
      const std::string d = whole.substr(0, sizeof(cvht::PosePacket));  // the rest is cut off by the socket
      if (d.size() == sizeof(cvht::AirportQuery) && d.compare(0, 4, "CVHQ") == 0) {
        havePeer = true;
        peer = sender;
        continue;
      }
      if (d.size() < 4 || d.compare(0, 4, "CVHT") != 0) continue;
      havePeer = true;
      peer = sender;
      cvht::PosePacket p;
      std::memcpy(&p, d.data(), std::min(d.size(), sizeof p));
      if (d.size() != sizeof p || p.version != cvht::kPoseVersion) {
        mismatch = true;
        continue;
      }
      mismatch = false;
      ++valid;
      if (haveLatest && p.seq <= lastSeq && lastSeq - p.seq <= 1000 && since <= 1.0f) continue;  // out of order
      haveLatest = true;
      lastSeq = p.seq;
      std::memcpy(echo, p.echo, sizeof echo);
      if (p.flags & cvht::kPoseTracking) since = 0.0f;
    }
    return valid;
  }

  std::string CheckStatus(const std::string &bytes, uint32_t drained) const {
    cvht::StatusPacket s;
    std::memcpy(&s, bytes.data(), sizeof s);
    const uint8_t noEcho[8] = {};
    if (s.seq != (haveLatest ? lastSeq : 0u) || std::memcmp(s.echo, haveLatest ? echo : noEcho, sizeof echo) != 0)
      return Fmt("status carries seq %u, the newest in-order pose is %u", s.seq, lastSeq);
    if (s.drained != drained) return Fmt("status says %u poses drained, %u were sent", s.drained, drained);
    if (((s.flags & cvht::kStatusMismatch) != 0) != mismatch) return Fmt("status mismatch flag is %d", !mismatch);
    if (((s.flags & cvht::kStatusFresh) != 0) != (since < 1.0f)) return Fmt("status fresh flag wrong at %g s", double(since));
    return "";
  }
};

class HostedPlugin {
 public:
  // Starts the plug-in with the fixed index and waits until the index is published; Error() says why not.
  HostedPlugin() {
    setenv("AVAHI_COMPAT_NOWARN", "1", 0);  // no daemon in the namespace; its one-line warning is noise
    if (system_.Path().empty()) {
      error_ = "no scratch folder";
      return;
    }
    const std::string nav = "Global Scenery/Global Airports/Earth nav data";
    std::error_code ec;
    std::filesystem::create_directories(system_.Path() + "/" + nav, ec);
    if (system_.Write(nav + "/apt.dat", AptText()).empty()) {
      error_ = "cannot write apt.dat";
      return;
    }
    if (!plugin_.Load(simxp::DefaultPluginPath())) {
      error_ = "cannot load " + simxp::DefaultPluginPath() + ": " + plugin_.Error();
      return;
    }
    error_ = Start();
  }
  ~HostedPlugin() {
    if (started_) plugin_.Stop();
    plugin_.Unload();
  }
  HostedPlugin(const HostedPlugin &) = delete;
  HostedPlugin &operator=(const HostedPlugin &) = delete;

  const std::string &Error() const { return error_; }
  const std::string &SystemPath() const { return system_.Path(); }
  // Stops the plug-in, as X-Plane does before it quits; it stays loaded.
  void Stop() {
    if (started_) plugin_.Stop();
    started_ = false;
  }

  // Bytes of the input: each operation a selector byte and its operands, then two frames and a question
  // the plug-in must still answer.
  std::string RunDatagrams(const uint8_t *data, size_t size) {
    if (std::string err = Refresh(); !err.empty()) return err;
    asked_[0].clear();
    asked_[1].clear();
    static const float kIntervals[] = {kFrameDt, 0.0f, -1.0f, NAN, INFINITY, 0.001f, 0.1f, 0.99f, 1.01f, 2.5f, 5.5f, 3600.0f};
    FuzzedDataProvider in(data, size);
    while (in.remaining_bytes() > 0) {
      const uint8_t op = in.ConsumeIntegral<uint8_t>();
      const int sender = op >> 7;
      switch (op & 7) {
        case 0: case 1: case 2: case 3: {  // any bytes as one datagram
          const auto bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 64));
          if (std::string err = Send(sender, std::string(bytes.begin(), bytes.end())); !err.empty()) return err;
          if (bytes.size() == sizeof(cvht::AirportQuery) && std::memcmp(bytes.data(), "CVHQ", 4) == 0)
            asked_[sender].emplace_back(bytes.begin(), bytes.end());
          break;
        }
        case 4: {  // a pose packet whose fields come from the input
          cvht::PosePacket p{};
          std::memcpy(p.magic, "CVHT", 4);
          p.version = (op & 0x40) ? in.ConsumeIntegral<uint16_t>() : cvht::kPoseVersion;
          p.flags = in.ConsumeIntegral<uint16_t>();
          p.seq = in.ConsumeIntegral<uint32_t>();
          const auto rest = in.ConsumeBytes<uint8_t>(sizeof p - 12);
          if (!rest.empty()) std::memcpy(reinterpret_cast<uint8_t *>(&p) + 12, rest.data(), rest.size());
          if (std::string err = Send(sender, std::string(reinterpret_cast<const char *>(&p), sizeof p)); !err.empty())
            return err;
          break;
        }
        case 5: {  // a query from the input
          const uint16_t version = (op & 0x40) ? in.ConsumeIntegral<uint16_t>() : cvht::kQueryVersion;
          const std::string q = QueryBytes(in.ConsumeBytesAsString(8), version);
          if (std::string err = Send(sender, q); !err.empty()) return err;
          asked_[sender].push_back(q);
          break;
        }
        default:  // a frame
          if (std::string err = Frame(kIntervals[(op >> 3) % std::size(kIntervals)]); !err.empty()) return err;
      }
    }
    for (int i = 0; i < 2; ++i)
      if (std::string err = Frame(kFrameDt); !err.empty()) return err;
    return StillAnswers();
  }

  // Bytes of the input: queries, each answered (or not) before the next is sent.
  std::string RunQueries(const uint8_t *data, size_t size) {
    if (std::string err = Refresh(); !err.empty()) return err;
    const std::vector<TableAirport> &table = Airports();
    FuzzedDataProvider in(data, size);
    while (in.remaining_bytes() > 0) {
      const uint8_t ctl = in.ConsumeIntegral<uint8_t>();
      std::string ident;
      if (ctl & 1) {  // a known identifier, with a few of its bytes replaced
        ident = table[in.ConsumeIntegral<uint8_t>() % table.size()].ident;
        ident.resize(8, '\0');
        for (int n = (ctl >> 4) & 3; n > 0; --n) {
          const size_t at = in.ConsumeIntegral<uint8_t>() % 8;
          ident[at] = in.ConsumeIntegral<char>();
        }
      } else {
        ident = in.ConsumeBytesAsString(8);
      }
      const uint16_t version = (ctl & 2) ? in.ConsumeIntegral<uint16_t>() : cvht::kQueryVersion;
      const std::string q = QueryBytes(ident, version);
      std::optional<std::string> want = version == cvht::kQueryVersion ? ExpectedReply(QueryIdent(q)) : std::nullopt;
      if (std::string err = Send(0, q); !err.empty()) return err;
      std::vector<std::string> replies;
      // A reply is sent from within the frame; a second and third frame only cover a late delivery.
      for (int i = 0; i < (want ? 3 : 1) && replies.empty(); ++i) {
        if (std::string err = Frame(kFrameDt, &replies); !err.empty()) return err;
      }
      if (!want && !replies.empty()) return "a reply to a query that has no answer: " + Printable(q);
      if (want && replies.size() != 1) return Fmt("%zu replies to query ", replies.size()) + Printable(q);
      if (want && replies[0] != *want)
        return Fmt("reply of %zu bytes to query ", replies[0].size()) + Printable(q) + Fmt(" differs from the %zu expected", want->size());
    }
    return "";
  }

 private:
  std::string Start() {
    simxp::Reset();
    simxp::PublishStandardAircraft();
    simxp::SetSystemPath(system_.Path() + "/");
    if (plugin_.Start() != 1) {
      const auto lines = simxp::LogLines();
      return "the plug-in did not start (port 49707 taken? run inside tests/netns-run.sh): " +
             (lines.empty() ? std::string() : lines.back());
    }
    started_ = true;
    for (int i = 0; i < 5000; ++i) {
      simxp::RunFrame(kFrameDt);
      link_.since += kFrameDt;
      for (const auto &line : simxp::LogLines())
        if (line.rfind("CVHT: apt.dat ", 0) == 0)
          return line.find("indexed") != std::string::npos ? "" : "the fixed index was not read: " + line;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return "the airport scan did not finish";
  }

  // The host keeps every log line and METAR request; restart now and then so a long run stays small.
  std::string Refresh() {
    if (!error_.empty()) return error_;
    if (simxp::DebugStringCalls() < 30000 && simxp::FramesRun() < 100000) return "";
    plugin_.Stop();
    started_ = false;
    if (std::string err = Start(); !err.empty()) return error_ = err;
    a_.Take();
    b_.Take();
    return "";
  }

  static std::string Printable(const std::string &bytes) {
    std::string out;
    for (unsigned char c : bytes) out += Fmt("%02x", c);
    return out;
  }

  std::string CheckHead() const {
    if (simxp::WriteCount(simxp::kHeadRefs[0]) == 0) return "";  // the view is still the sim's own
    for (int i = 0; i < 6; ++i) {
      const float v = simxp::GetFloat(simxp::kHeadRefs[i]);
      const float neutral = i < 3 ? simxp::GetFloat(simxp::kEyeRefs[i]) : 0.0f;
      const float limit = i < 3 ? 0.35f : 80.0f;
      if (!std::isfinite(v) || std::fabs(v - neutral) > limit * 1.000001f)
        return Fmt("%s = %g, neutral %g, limit %g", simxp::kHeadRefs[i].c_str(), double(v), double(neutral), double(limit));
    }
    return "";
  }

  // One frame; every packet that came back is checked, query replies against the queries asked.
  std::string Frame(float dt, std::vector<std::string> *replies = nullptr) {
    simxp::RunFrame(dt);
    const uint32_t drained = link_.Receive(dt, pending_);
    pending_.clear();
    if (const auto faults = simxp::Faults(); !faults.empty()) return "host fault: " + faults.front();
    if (std::string err = CheckHead(); !err.empty()) return err;
    for (int sender = 0; sender < 2; ++sender) {
      std::vector<std::string> &asked = asked_[sender];
      int statusPackets = 0;
      for (const std::string &p : (sender ? b_ : a_).Take()) {
        if (std::string err = CheckPacket(p); !err.empty()) return err;
        if (p.substr(0, 4) == "CVHS") {
          ++statusPackets;
          if (std::string err = link_.CheckStatus(p, drained); !err.empty()) return err;
        }
        if (!IsQueryReply(p)) continue;
        if (replies) {
          replies->push_back(p);
          continue;
        }
        // Replies come in the order of the queries; a dropped or unanswerable query has none.
        bool matched = false;
        while (!asked.empty() && !matched) {
          const std::optional<std::string> want = ExpectedReply(QueryIdent(asked.front()));
          uint16_t version;
          std::memcpy(&version, asked.front().data() + 4, 2);
          matched = version == cvht::kQueryVersion && want && *want == p;
          asked.erase(asked.begin());
        }
        if (!matched) return Fmt("a %zu-byte query reply that answers no query asked", p.size());
      }
      const int owed = link_.havePeer && link_.peer == sender ? 1 : 0;
      if (statusPackets != owed) return Fmt("phone %d got %d status packets in a frame, not %d", sender, statusPackets, owed);
    }
    return "";
  }

  std::string StillAnswers() {
    asked_[0].clear();
    asked_[1].clear();
    const std::string q = QueryBytes("LSZH");
    if (std::string err = Send(0, q); !err.empty()) return err;
    std::vector<std::string> replies;
    for (int i = 0; i < 3 && replies.empty(); ++i)
      if (std::string err = Frame(kFrameDt, &replies); !err.empty()) return err;
    if (replies.size() != 1 || replies[0] != *ExpectedReply("LSZH"))
      return Fmt("the plug-in no longer answers a query correctly (%zu replies)", replies.size());
    return "";
  }

  TempDir system_;
  simxp::Plugin plugin_;
  bool started_ = false;
  std::string error_;
  // Sends from phone 0 or 1; a frame runs first when the plug-in's small receive buffer could overflow, so
  // every datagram arrives and the link model stays exact.
  std::string Send(int sender, const std::string &bytes) {
    if (pending_.size() >= kMaxPending)
      if (std::string err = Frame(kFrameDt); !err.empty()) return err;
    if (!(sender ? b_ : a_).SendBytes(bytes)) return Fmt("a %zu-byte datagram did not leave whole", bytes.size());
    pending_.emplace_back(sender, bytes);
    return "";
  }
  static constexpr size_t kMaxPending = 12;

  Phone a_, b_;
  std::vector<std::pair<int, std::string>> pending_;  // sent since the last frame, in order
  LinkModel link_;
  std::vector<std::string> asked_[2];  // queries per phone whose replies have not come yet
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
