// Decodes the seven packet types of the head-tracking link, checking every length before reading.
#include "phone_decode.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "cvht_wire.h"

namespace phone {

namespace {

using namespace cvht;

bool Magic(const uint8_t *d, size_t n, const char *m) { return n >= 4 && std::memcmp(d, m, 4) == 0; }

template <typename T>
T Read(const uint8_t *d) {
  T v;
  std::memcpy(&v, d, sizeof v);
  return v;
}

// A fixed text field up to its NUL, never past its size.
std::string Text(const char *field, size_t size) { return std::string(field, strnlen(field, size)); }

std::string Fmt(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Fmt(const char *fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

std::string JsonString(const std::string &s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      out += Fmt("\\u%04x", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string JsonNumber(double v) {
  if (!std::isfinite(v)) return "null";
  return Fmt("%.9g", v);
}

// Why a datagram is not one of ours, or empty when it is well-formed.
std::string Problem(const uint8_t *d, size_t n, Kind k) {
  auto need = [&](size_t want, uint16_t version) -> std::string {
    if (n != want) return Fmt("%zu bytes, %zu expected", n, want);
    if (Read<uint16_t>(d + 4) != version) return Fmt("version %u, %u expected", Read<uint16_t>(d + 4), version);
    return "";
  };
  switch (k) {
    case Kind::Pose: return need(sizeof(PosePacket), kPoseVersion);
    case Kind::Query: return need(sizeof(AirportQuery), kQueryVersion);
    case Kind::Status: return need(sizeof(StatusPacket), kStatusVersion);
    case Kind::FlightState: return need(sizeof(FlightStatePacket), kFlightStateVersion);
    case Kind::Weather: return need(sizeof(WeatherPacket), kWeatherVersion);
    case Kind::Identity: return need(sizeof(IdentityPacket), kIdentityVersion);
    case Kind::Airport:
    case Kind::AirportReply: {
      if (n < sizeof(AirportPacketHeader)) return Fmt("%zu bytes, shorter than the 20-byte header", n);
      auto h = Read<AirportPacketHeader>(d);
      if (h.version != kAirportVersion) return Fmt("version %u, 1 expected", h.version);
      size_t want = sizeof h + 16u * h.airportCount + 28u * h.runwayCount + (k == Kind::AirportReply ? 2u : 0u);
      if (n != want) return Fmt("%zu bytes, %zu expected for %u airports and %u runways", n, want, h.airportCount, h.runwayCount);
      return "";
    }
    case Kind::Bad: return n < 4 ? Fmt("%zu bytes", n) : "unknown magic";
  }
  return "";
}

std::string MagicText(const uint8_t *d, size_t n) {
  std::string m;
  for (size_t i = 0; i < 4 && i < n; ++i) m += (d[i] >= 0x20 && d[i] < 0x7f) ? static_cast<char>(d[i]) : '.';
  return m;
}

// Flat-earth distance as the plug-in measures it, for display only.
double DistanceNm(double lat0, double lon0, double lat, double lon) {
  double k = std::cos(lat0 * 3.141592653589793 / 180.0);
  double dLat = lat - lat0, dLon = k * (lon - lon0);
  return std::sqrt(dLat * dLat + dLon * dLon) * 60.0;
}

std::string RunwayText(const RunwayEntry &r) {
  return Fmt("%s/%s %.1fm", Text(r.end1, 4).c_str(), Text(r.end2, 4).c_str(), r.widthDm / 10.0);
}

std::string AirportText(const uint8_t *d, size_t n, bool reply) {
  auto h = Read<AirportPacketHeader>(d);
  const uint8_t *entries = d + sizeof h;
  const uint8_t *runways = entries + 16u * h.airportCount;
  std::string out;
  if (reply) {
    auto a = Read<AirportEntry>(entries);
    int16_t elev = Read<int16_t>(d + n - 2);
    out = Fmt("answer   %s at %.5f,%.5f elevation %s, %u runways", Text(a.ident, 8).c_str(), a.lat, a.lon,
              elev == kNoElevation ? "unknown" : Fmt("%dft", elev).c_str(), h.runwayCount);
    for (unsigned i = 0; i < h.runwayCount; ++i) out += (i ? ", " : ": ") + RunwayText(Read<RunwayEntry>(runways + 28 * i));
    return out;
  }
  const char *state = (h.flags & kAirportIndexAvailable) ? "index ready"
                      : (h.flags & kAirportScanDone)    ? "no airport data"
                                                        : "index still building";
  out = Fmt("airports %u within 150nm of %.4f,%.4f (%s)", h.airportCount, h.lat, h.lon, state);
  for (unsigned i = 0; i < h.airportCount && i < 4; ++i) {
    auto a = Read<AirportEntry>(entries + 16 * i);
    out += Fmt("\n         %-7s %6.1fnm", Text(a.ident, 8).c_str(), DistanceNm(h.lat, h.lon, a.lat, a.lon));
    std::string rw;
    for (unsigned r = 0; r < h.runwayCount; ++r) {
      auto e = Read<RunwayEntry>(runways + 28 * r);
      if (e.airport == i) rw += " " + RunwayText(e);
    }
    if (!rw.empty()) out += "  rwy" + rw;
  }
  if (h.airportCount > 4) out += Fmt("\n         ... and %u more", h.airportCount - 4);
  return out;
}

}  // namespace

Kind Classify(const uint8_t *d, size_t n) {
  if (Magic(d, n, "CVHT")) return Kind::Pose;
  if (Magic(d, n, "CVHQ")) return Kind::Query;
  if (Magic(d, n, "CVHS")) return Kind::Status;
  if (Magic(d, n, "CVHF")) return Kind::FlightState;
  if (Magic(d, n, "CVHW")) return Kind::Weather;
  if (Magic(d, n, "CVHI")) return Kind::Identity;
  if (Magic(d, n, "CVHA")) {
    if (n >= 8 && (Read<uint16_t>(d + 6) & kAirportQueryReply)) return Kind::AirportReply;
    return Kind::Airport;
  }
  return Kind::Bad;
}

const char *KindName(Kind k) {
  switch (k) {
    case Kind::Pose: return "pose";
    case Kind::Query: return "query";
    case Kind::Status: return "status";
    case Kind::FlightState: return "flight_state";
    case Kind::Airport: return "airports";
    case Kind::AirportReply: return "airport_reply";
    case Kind::Weather: return "weather";
    case Kind::Identity: return "identity";
    case Kind::Bad: return "bad";
  }
  return "bad";
}

std::string DecodeText(const uint8_t *d, size_t n) {
  const Kind k = Classify(d, n);
  const std::string problem = Problem(d, n, k);
  if (k == Kind::Bad || !problem.empty())
    return Fmt("bad      %s packet \"%s\": %s", k == Kind::Bad ? "unknown" : KindName(k), MagicText(d, n).c_str(),
               problem.c_str());
  switch (k) {
    case Kind::Pose: {
      auto p = Read<PosePacket>(d);
      return Fmt("pose     seq=%u%s x=%+.3f y=%+.3f z=%+.3f yaw=%+.1f pitch=%+.1f roll=%+.1f", p.seq,
                 (p.flags & kPoseTracking) ? "" : " (not tracking)", p.x, p.y, p.z, p.yaw, p.pitch, p.roll);
    }
    case Kind::Query: {
      auto q = Read<AirportQuery>(d);
      return Fmt("query    %s", Text(q.ident, 7).c_str());
    }
    case Kind::Status: {
      auto s = Read<StatusPacket>(d);
      std::string out = Fmt("status   %s%s blend=%.2f view=%d seq=%u drained=%u", (s.flags & kStatusFresh) ? "fresh" : "stale",
                            (s.flags & kStatusMismatch) ? " PROTOCOL-MISMATCH" : "", s.blend, s.viewType, s.seq, s.drained);
      if (s.dataFlags & kDataFlight)
        out += Fmt(" | pitch=%+.1f roll=%+.1f ias=%.0fkt alt=%.0fft vs=%+.0ffpm hdg=%03.0f tas=%.0fkt gs=%.0fkt "
                   "pos=%.4f,%.4f",
                   s.pitchDeg, s.rollDeg, s.iasKt, s.altFt, s.vsFpm, s.headingMagDeg, s.tasKt, s.gsKt, s.lat, s.lon);
      else
        out += " | no flight data";
      if (s.dataFlags & kDataTrack) out += Fmt(" trk=%03.0f", s.trackDeg);
      return out;
    }
    case Kind::FlightState: {
      auto f = Read<FlightStatePacket>(d);
      std::string out = "flight  ";
      out += (f.flags & kFsOnGroundKnown) ? ((f.flags & kFsOnGround) ? " on ground" : " airborne") : " ground unknown";
      if (f.flags & kFsAgl) out += Fmt(" agl=%.0fft", f.aglFt);
      if (f.flags & kFsLoad) out += Fmt(" g=%.2f", f.loadFactor);
      if (f.flags & kFsSimTime) out += Fmt(" t=%.1fs", f.simTimeSec);
      if (f.flags & kFsPauseKnown) {
        if (f.flags & kFsPaused) out += " PAUSED";
        if (f.flags & kFsReplay) out += " REPLAY";
      }
      return out;
    }
    case Kind::Airport: return AirportText(d, n, false);
    case Kind::AirportReply: return AirportText(d, n, true);
    case Kind::Weather: {
      auto w = Read<WeatherPacket>(d);
      std::string out = (w.flags & kWeatherValid)
                            ? Fmt("weather  wind %03.0f/%.1fkt qnh %.2fhPa vis %.1fsm oat %+.1fC", w.windDirDeg, w.windKt,
                                  w.qnhHpa, w.visSm, w.oatC)
                            : std::string("weather  unavailable");
      if (w.flags & kWeatherMetar) out += " | METAR " + Text(w.metarStation, 8) + ": " + Text(w.metar, 150);
      return out;
    }
    case Kind::Identity: {
      auto i = Read<IdentityPacket>(d);
      return Fmt("identity tail=%s type=%s", (i.flags & kIdentityTail) ? Text(i.tailNumber, 40).c_str() : "(unknown)",
                 (i.flags & kIdentityIcao) ? Text(i.icaoType, 40).c_str() : "(unknown)");
    }
    case Kind::Bad: break;
  }
  return "bad";
}

std::string DecodeJson(const uint8_t *d, size_t n) {
  const Kind k = Classify(d, n);
  const std::string problem = Problem(d, n, k);
  if (k == Kind::Bad || !problem.empty())
    return "{\"type\":\"bad\",\"claimed\":" + JsonString(KindName(k)) + ",\"size\":" + std::to_string(n) +
           ",\"magic\":" + JsonString(MagicText(d, n)) + ",\"problem\":" + JsonString(problem) + "}";
  std::string o = "{\"type\":" + JsonString(KindName(k)) + ",\"size\":" + std::to_string(n) +
                  ",\"version\":" + std::to_string(Read<uint16_t>(d + 4));
  auto num = [&](const char *key, double v) { o += std::string(",\"") + key + "\":" + JsonNumber(v); };
  auto str = [&](const char *key, const std::string &v) { o += std::string(",\"") + key + "\":" + JsonString(v); };
  if (k != Kind::Query) num("flags", Read<uint16_t>(d + 6));
  switch (k) {
    case Kind::Pose: {
      auto p = Read<PosePacket>(d);
      num("seq", p.seq);
      num("x", p.x), num("y", p.y), num("z", p.z), num("yaw", p.yaw), num("pitch", p.pitch), num("roll", p.roll);
      break;
    }
    case Kind::Query: str("ident", Text(Read<AirportQuery>(d).ident, 7)); break;
    case Kind::Status: {
      auto s = Read<StatusPacket>(d);
      num("blend", s.blend), num("viewType", s.viewType), num("dataFlags", s.dataFlags);
      num("pitchDeg", s.pitchDeg), num("rollDeg", s.rollDeg), num("iasKt", s.iasKt), num("altFt", s.altFt);
      num("vsFpm", s.vsFpm), num("headingMagDeg", s.headingMagDeg), num("tasKt", s.tasKt), num("gsKt", s.gsKt);
      num("lat", s.lat), num("lon", s.lon), num("seq", s.seq), num("drained", s.drained), num("trackDeg", s.trackDeg);
      break;
    }
    case Kind::FlightState: {
      auto f = Read<FlightStatePacket>(d);
      num("aglFt", f.aglFt), num("loadFactor", f.loadFactor), num("simTimeSec", f.simTimeSec);
      break;
    }
    case Kind::Airport:
    case Kind::AirportReply: {
      auto h = Read<AirportPacketHeader>(d);
      num("lat", h.lat), num("lon", h.lon), num("airportCount", h.airportCount), num("runwayCount", h.runwayCount);
      o += ",\"airports\":[";
      for (unsigned i = 0; i < h.airportCount; ++i) {
        auto a = Read<AirportEntry>(d + 20 + 16 * i);
        o += std::string(i ? "," : "") + "{\"ident\":" + JsonString(Text(a.ident, 8)) + ",\"lat\":" + JsonNumber(a.lat) +
             ",\"lon\":" + JsonNumber(a.lon) + "}";
      }
      o += "],\"runways\":[";
      for (unsigned r = 0; r < h.runwayCount; ++r) {
        auto e = Read<RunwayEntry>(d + 20 + 16 * h.airportCount + 28 * r);
        o += std::string(r ? "," : "") + "{\"airport\":" + std::to_string(e.airport) +
             ",\"widthDm\":" + std::to_string(e.widthDm) + ",\"end1\":" + JsonString(Text(e.end1, 4)) +
             ",\"end2\":" + JsonString(Text(e.end2, 4)) + ",\"lat1\":" + JsonNumber(e.lat1) +
             ",\"lon1\":" + JsonNumber(e.lon1) + ",\"lat2\":" + JsonNumber(e.lat2) + ",\"lon2\":" + JsonNumber(e.lon2) + "}";
      }
      o += "]";
      if (k == Kind::AirportReply) num("elevationFt", Read<int16_t>(d + n - 2));
      break;
    }
    case Kind::Weather: {
      auto w = Read<WeatherPacket>(d);
      num("windDirDeg", w.windDirDeg), num("windKt", w.windKt), num("qnhHpa", w.qnhHpa), num("visSm", w.visSm);
      num("oatC", w.oatC);
      str("metarStation", Text(w.metarStation, 8));
      str("metar", Text(w.metar, 150));
      break;
    }
    case Kind::Identity: {
      auto i = Read<IdentityPacket>(d);
      str("tailNumber", Text(i.tailNumber, 40));
      str("icaoType", Text(i.icaoType, 40));
      break;
    }
    case Kind::Bad: break;
  }
  return o + "}";
}

}  // namespace phone
