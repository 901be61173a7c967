// Checks shared by the fuzz targets and the replay of their corpus: each runs one input through the real
// reader or the real plug-in and returns what went wrong, or an empty string. They check invariants, not a
// second implementation: the index's shape, well-formed packets, status packets that echo a pose that was
// sent, and for each query exactly the reply the fixed index owes.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdint>
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

inline std::string Fmt(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
inline std::string Fmt(const char *fmt, ...) {
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  return line;
}

// ---- apt.dat reader: the bytes as a file, then the index's invariants and a nearest query.

// A text field of size bytes: NUL-terminated within it, not empty, zero after the terminator.
inline bool WellFormedText(const char *field, size_t size) {
  const char *end = static_cast<const char *>(std::memchr(field, '\0', size));
  if (!end || end == field) return false;
  return std::all_of(end, field + size, [](char c) { return c == '\0'; });
}

// Placed airports with well-formed idents, runways grouped by a valid owner, and from the position of the
// airport pick the nearest list: in range, nearest first, that airport itself at 0 nm.
inline std::string CheckIndex(const apt::Index &index, size_t pick) {
  for (size_t i = 0; i < index.airports.size(); ++i) {
    const apt::Airport &a = index.airports[i];
    if ((a.lat == 0.0f && a.lon == 0.0f) || !WellFormedText(a.ident, sizeof a.ident))
      return Fmt("airport %zu at %g, %g is unplaced or has a malformed identifier", i, double(a.lat), double(a.lon));
  }
  for (size_t i = 0; i < index.runways.size(); ++i) {
    const apt::Runway &r = index.runways[i];
    if (r.airport < 0 || static_cast<size_t>(r.airport) >= index.airports.size() ||
        (i > 0 && r.airport < index.runways[i - 1].airport))
      return Fmt("runway %zu names airport %d of %zu, after one of another", i, r.airport, index.airports.size());
    if (!WellFormedText(r.end1, sizeof r.end1) || !WellFormedText(r.end2, sizeof r.end2))
      return Fmt("runway %zu has a malformed designator", i);
  }
  if (index.airports.empty()) return index.runways.empty() ? "" : "runways without an airport";
  const apt::Airport &a = index.airports[pick % index.airports.size()];
  const std::vector<apt::Nearby> near = index.nearest(a.lat, a.lon, 44, 150.0);
  for (size_t i = 0; i < near.size(); ++i) {
    const apt::Nearby &n = near[i];
    if (i >= 44 || n.airport < 0 || static_cast<size_t>(n.airport) >= index.airports.size() ||
        !(n.distanceNm >= 0.0f && n.distanceNm <= 150.0f) || (i > 0 && n.distanceNm < near[i - 1].distanceNm))
      return Fmt("nearest result %zu: airport %d at %g nm", i, n.airport, double(n.distanceNm));
  }
  if (std::isfinite(a.lat) && std::isfinite(a.lon) && (near.empty() || near[0].distanceNm != 0.0f))
    return Fmt("nearest to airport %s's own position is not at 0 nm", a.ident);
  return "";
}

class AptChecker {
 public:
  std::string Run(const uint8_t *data, size_t size) {
    const std::string path = dir_.Write("apt.dat", std::string(reinterpret_cast<const char *>(data), size));
    if (path.empty()) return "cannot write the scratch apt.dat";
    apt::Index index;
    if (!index.read(path.c_str())) return "read refused a file that exists";
    return CheckIndex(index, size ? data[size - 1] : 0);  // the last byte picks the airport
  }

 private:
  cvhtsupport::TempDir dir_;
};

// ---- The small airport index the plug-in answers queries from, and the replies it owes.

struct TableRunway {
  double widthM;
  std::string end1, end2;
  double lat1, lon1, lat2, lon2;
};
struct TableAirport {
  const char *code;  // "1" land airport; "16" seaplane base, never indexed
  int elevationFt;
  std::string ident;  // as written in the file
  bool datum;         // without one the reader places it at the mean of its runway ends, which lat, lon are
  double lat, lon;
  std::vector<TableRunway> runways;
};

inline std::vector<TableAirport> MakeAirports() {
  std::vector<TableRunway> many;
  for (int i = 0; i < 30; ++i)
    many.push_back({30.0 + i, Fmt("%02d", i % 36 + 1), Fmt("%02dX", (i + 18) % 36 + 1), 46.9 + 0.001 * i, 8.1,
                    46.91 + 0.001 * i, 8.11});
  return {
      {"1",
       1416,
       "LSZH",
       true,
       47.458056,
       8.548056,
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
      {"1",
       50,
       "WIDE",
       true,
       47.7,
       8.7,
       {{5000, "01", "19", 1, 1, 2, 2},
        {-1e9, "02", "20", 1, 1, 2, 2},
        {NAN, "03", "21", 1, 1, 2, 2},
        {3276.75, "04", "22", 1, 1, 2, 2},
        {-0.07, "05", "23", 1, 1, 2, 2}}},
      {"1", 0, "GONE", false, 0, 0, {}},
      {"1", 70, "AFTER", false, 47.625, 8.5, {{40, "07", "25", 47.5, 8.25, 47.75, 8.75}}},
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

template <typename T>
void Append(std::string &out, const T &v) {
  out.append(reinterpret_cast<const char *>(&v), sizeof v);
}

// The reply the plug-in owes a query for this identifier, or nothing when it owes none.
inline std::optional<std::string> ExpectedReply(const std::string &ident) {
  for (const TableAirport &a : Airports()) {
    if (std::string(a.code) != "1" || a.ident.substr(0, 7) != ident) continue;
    if (!a.datum && a.runways.empty()) continue;  // unplaceable, so not in the index
    const size_t k = std::min<size_t>(a.runways.size(), cvht::kMaxRunwayEntries);
    cvht::AirportPacketHeader h{{'C', 'V', 'H', 'A'},    cvht::kAirportVersion, 7, Parsed(a.lat), Parsed(a.lon), 1,
                                static_cast<uint16_t>(k)};
    cvht::AirportEntry e{};
    CopyCut(e.ident, sizeof e.ident, a.ident);
    e.lat = h.lat;
    e.lon = h.lon;
    std::string out;
    Append(out, h);
    Append(out, e);
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
      Append(out, w);
    }
    const bool known = a.elevationFt >= -2000 && a.elevationFt <= 30000;
    Append(out, known ? static_cast<int16_t>(a.elevationFt) : cvht::kNoElevation);
    return out;
  }
  return std::nullopt;
}

// The reply owed to these 14 query bytes: the identifier is bytes 6 to 12, up to the first NUL.
inline std::optional<std::string> OwedReply(const std::string &query) {
  uint16_t version;
  std::memcpy(&version, query.data() + 4, 2);
  const std::string id = query.substr(6, 7);
  return version == cvht::kQueryVersion ? ExpectedReply(id.substr(0, id.find('\0'))) : std::nullopt;
}

// ---- The real plug-in in the simulated host, and phones on loopback.

// Every packet the plug-in sends has a known magic, its version and its size.
inline std::string CheckPacket(const std::string &p) {
  static const struct {
    const char *magic;
    size_t size;
    uint16_t version;
  } kFixed[] = {{"CVHS", sizeof(cvht::StatusPacket), cvht::kStatusVersion},
                {"CVHF", sizeof(cvht::FlightStatePacket), cvht::kFlightStateVersion},
                {"CVHW", sizeof(cvht::WeatherPacket), cvht::kWeatherVersion},
                {"CVHI", sizeof(cvht::IdentityPacket), cvht::kIdentityVersion}};
  if (p.size() < sizeof(cvht::AirportPacketHeader)) return Fmt("a %zu-byte packet from the plug-in", p.size());
  cvht::AirportPacketHeader h;
  std::memcpy(&h, p.data(), sizeof h);
  const std::string magic = p.substr(0, 4);
  for (const auto &f : kFixed)
    if (magic == f.magic)
      return p.size() == f.size && h.version == f.version
                 ? ""
                 : Fmt("%s packet of %zu bytes, version %u", f.magic, p.size(), h.version);
  if (magic != "CVHA" || h.version != cvht::kAirportVersion) return Fmt("a packet with magic %s", magic.c_str());
  const size_t body = sizeof h + 16u * h.airportCount + 28u * h.runwayCount;
  const bool reply = h.flags & cvht::kAirportQueryReply;
  if (reply ? h.flags != 7 || h.airportCount != 1 || p.size() != body + 2
            : h.flags != 3 || h.airportCount > cvht::kMaxAirportEntries || p.size() != body)
    return Fmt("airport packet of %zu bytes, flags %u, %u airports, %u runways", p.size(), h.flags, h.airportCount,
               h.runwayCount);
  return h.runwayCount <= cvht::kMaxRunwayEntries ? "" : Fmt("airport packet with %u runways", h.runwayCount);
}

constexpr float kFrameDt = 1.0f / 60.0f;

class HostedPlugin {
 public:
  // Starts the plug-in with the fixed index and waits until the index is published; Error() says why not.
  HostedPlugin() {
    setenv("AVAHI_COMPAT_NOWARN", "1", 0);  // no daemon in the namespace; its one-line warning is noise
    const std::string nav = "Global Scenery/Global Airports/Earth nav data";
    std::error_code ec;
    if (system_.Path().empty() || !std::filesystem::create_directories(system_.Path() + "/" + nav, ec) ||
        system_.Write(nav + "/apt.dat", AptText()).empty())
      error_ = "cannot write apt.dat";
    else if (!plugin_.Load(simxp::DefaultPluginPath()))
      error_ = "cannot load " + simxp::DefaultPluginPath() + ": " + plugin_.Error();
    else
      error_ = Start();
  }
  ~HostedPlugin() {
    Stop();
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
    static const float kIntervals[] = {kFrameDt, 0.0f,  -1.0f, NAN,  INFINITY, 0.001f,
                                       0.1f,     0.99f, 1.01f, 2.5f, 5.5f,     3600.0f};
    FuzzedDataProvider in(data, size);
    std::string err;
    while (err.empty() && in.remaining_bytes() > 0) {
      const uint8_t op = in.ConsumeIntegral<uint8_t>();
      const int sender = op >> 7;
      if ((op & 7) < 4) {  // any bytes as one datagram
        err = Send(sender, in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 64)));
      } else if ((op & 7) == 4) {  // a pose packet whose fields come from the input
        cvht::PosePacket p{};
        std::memcpy(p.magic, "CVHT", 4);
        p.version = (op & 0x40) ? in.ConsumeIntegral<uint16_t>() : cvht::kPoseVersion;
        p.flags = in.ConsumeIntegral<uint16_t>();
        p.seq = in.ConsumeIntegral<uint32_t>();
        const auto rest = in.ConsumeBytes<uint8_t>(sizeof p - 12);
        if (!rest.empty()) std::memcpy(reinterpret_cast<uint8_t *>(&p) + 12, rest.data(), rest.size());
        err = Send(sender, std::string(reinterpret_cast<const char *>(&p), sizeof p));
      } else if ((op & 7) == 5) {  // a query from the input
        const uint16_t version = (op & 0x40) ? in.ConsumeIntegral<uint16_t>() : cvht::kQueryVersion;
        err = Send(sender, cvhtphone::QueryBytes(in.ConsumeBytesAsString(8), version));
      } else {  // a frame
        err = Frame(kIntervals[(op >> 3) % std::size(kIntervals)]);
      }
    }
    for (int i = 0; i < 2 && err.empty(); ++i) err = Frame(kFrameDt);
    if (!err.empty()) return err;
    // The plug-in still answers a question correctly.
    std::vector<std::string> replies;
    if (!(err = Ask(cvhtphone::QueryBytes("LSZH"), replies)).empty()) return err;
    return replies.size() == 1 && replies[0] == *ExpectedReply("LSZH")
               ? ""
               : Fmt("the plug-in no longer answers a query correctly (%zu replies)", replies.size());
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
      const std::string q = cvhtphone::QueryBytes(ident, version);
      const std::optional<std::string> want = OwedReply(q);
      std::vector<std::string> replies;
      if (std::string err = Ask(q, replies, want ? 3 : 1); !err.empty()) return err;
      if (replies.size() != (want ? 1u : 0u) || (want && replies[0] != *want))
        return Fmt("%zu replies, not the one owed, to query ", replies.size()) + Hex(q);
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
    // A loaded machine (sanitizers, parallel tests) may take seconds over the small index.
    for (const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         std::chrono::steady_clock::now() < giveUp;) {
      simxp::RunFrame(kFrameDt);
      for (const auto &line : simxp::LogLines())
        if (line.rfind("CVHT: apt.dat ", 0) == 0)
          return line.find("indexed") != std::string::npos ? "" : "the fixed index was not read: " + line;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return "the airport scan did not finish";
  }

  // The host keeps every log line and METAR request; restart now and then so a long run stays small.
  std::string Refresh() {
    asked_[0].clear();
    asked_[1].clear();
    sentPoses_.clear();
    if (!error_.empty()) return error_;
    if (simxp::DebugStringCalls() < 30000 && simxp::FramesRun() < 100000) return "";
    Stop();
    if (std::string err = Start(); !err.empty()) return error_ = err;
    a_.Take();
    b_.Take();
    return "";
  }

  static std::string Hex(const std::string &bytes) {
    std::string out;
    for (unsigned char c : bytes) out += Fmt("%02x", c);
    return out;
  }

  // Sends from phone 0 or 1, noting the queries and the poses a status packet may echo. A frame runs first
  // when the plug-in's small receive buffer could overflow, so that every datagram arrives.
  std::string Send(int sender, const std::string &bytes) {
    if (pending_ == 12)
      if (std::string err = Frame(kFrameDt); !err.empty()) return err;
    if (!(sender ? b_ : a_).SendBytes(bytes)) return Fmt("a %zu-byte datagram did not leave whole", bytes.size());
    ++pending_;
    cvht::PosePacket p{};
    std::memcpy(&p, bytes.data(), std::min(bytes.size(), sizeof p));
    if (bytes.size() == sizeof(cvht::AirportQuery) && bytes.compare(0, 4, "CVHQ") == 0) asked_[sender].push_back(bytes);
    if (bytes.size() >= sizeof p && bytes.compare(0, 4, "CVHT") == 0 && p.version == cvht::kPoseVersion)
      sentPoses_.push_back(p);
    return "";
  }

  // Sends a query and runs frames until a reply came (the reply is sent within the frame; the later ones
  // only cover a late delivery); the replies are not matched against the queries asked.
  std::string Ask(const std::string &query, std::vector<std::string> &replies, int frames = 3) {
    std::string err = Send(0, query);
    for (int i = 0; i < frames && replies.empty() && err.empty(); ++i) err = Frame(kFrameDt, &replies);
    return err;
  }

  // A status packet echoes nothing before the first pose, then the seq and echo bytes of a pose sent: in
  // this input, or the one the last status echoed (the plug-in outlives an input while fuzzing).
  std::string CheckStatus(const std::string &bytes) {
    cvht::StatusPacket s;
    std::memcpy(&s, bytes.data(), sizeof s);
    cvht::PosePacket echoed{};
    echoed.seq = s.seq;
    std::memcpy(echoed.echo, s.echo, sizeof s.echo);
    auto same = [&](const cvht::PosePacket &p) {
      return p.seq == s.seq && !std::memcmp(p.echo, s.echo, sizeof s.echo);
    };
    if (!same(cvht::PosePacket{}) && !same(lastEcho_) && std::none_of(sentPoses_.begin(), sentPoses_.end(), same))
      return Fmt("status echoes seq %u, which no pose sent carried", s.seq);
    lastEcho_ = echoed;
    return "";
  }

  // One frame; every packet that came back is checked, query replies in the order of the queries asked
  // (a dropped or unanswerable query has none), or collected into replies.
  std::string Frame(float dt, std::vector<std::string> *replies = nullptr) {
    simxp::RunFrame(dt);
    pending_ = 0;
    if (const auto faults = simxp::Faults(); !faults.empty()) return "host fault: " + faults.front();
    for (int i = 0; i < 6; ++i) {  // the view stays within its limits around the neutral eye point
      if (simxp::WriteCount(simxp::kHeadRefs[0]) == 0) break;  // still the sim's own
      const float v = simxp::GetFloat(simxp::kHeadRefs[i]), limit = i < 3 ? 0.35f : 80.0f;
      const float neutral = i < 3 ? simxp::GetFloat(simxp::kEyeRefs[i]) : 0.0f;
      if (!std::isfinite(v) || std::fabs(v - neutral) > limit * 1.000001f)
        return Fmt("%s = %g, neutral %g, limit %g", simxp::kHeadRefs[i].c_str(), double(v), double(neutral),
                   double(limit));
    }
    for (int sender = 0; sender < 2; ++sender) {
      std::vector<std::string> &asked = asked_[sender];
      for (const std::string &p : (sender ? b_ : a_).Take()) {
        std::string err = CheckPacket(p);
        if (err.empty() && p.compare(0, 4, "CVHS") == 0) err = CheckStatus(p);
        if (!err.empty()) return err;
        if (p.compare(0, 4, "CVHA") != 0 || !(p[6] & cvht::kAirportQueryReply)) continue;  // not a query reply
        if (replies) {
          replies->push_back(p);
          continue;
        }
        bool matched = false;
        for (; !asked.empty() && !matched; asked.erase(asked.begin())) matched = OwedReply(asked.front()) == p;
        if (!matched) return Fmt("a %zu-byte query reply that answers no query asked", p.size());
      }
      if (replies) asked.clear();
    }
    return "";
  }

  cvhtsupport::TempDir system_;
  simxp::Plugin plugin_;
  bool started_ = false;
  std::string error_;
  cvhtphone::Phone a_, b_;
  int pending_ = 0;                          // datagrams sent since the last frame
  std::vector<std::string> asked_[2];        // queries per phone whose replies have not come yet
  std::vector<cvht::PosePacket> sentPoses_;  // every pose of this input a status packet may echo
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
