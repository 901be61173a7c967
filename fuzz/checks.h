// Checks shared by the fuzz targets and the replay of their corpus: each runs one input through the real
// reader or the real plug-in and returns what went wrong, or an empty string. They hold the few invariants
// that matter: a well-formed index, a view within its limits, and to each query about an airport of the index
// one reply about it, at the phone that asked, byte for byte as written below for the named airports.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
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

#include "../tests/support/process_counts.h"
#include "../tests/support/temp_dir.h"
#include "apt/apt_index.h"
#include "aptgen.h"
#include "cvht_wire.h"
#include "hosted_session.h"
#include "phone_link.h"

namespace cvhtfuzz {

// Any bytes as apt.dat, read into a well-formed index; from the airport the last byte picks, the nearest list
// in range, nearest first, that airport at 0 nm.
inline std::string CheckAptFile(const uint8_t *data, size_t size) {
  static const cvhtsupport::TempDir dir;
  const std::string path = dir.Write("apt.dat", std::string(reinterpret_cast<const char *>(data), size));
  apt::Index index;
  if (path.empty() || !index.read(path.c_str())) return "cannot write or read the scratch apt.dat";
  const size_t n = index.airports.size();
  if (!index.wellFormed()) return "an index that is not well formed";
  if (n == 0) return "";
  const apt::Airport &a = index.airports[(size ? data[size - 1] : 0) % n];
  const std::vector<apt::Nearby> near = index.nearest(a.lat, a.lon, 44, 150.0);
  for (size_t i = 0; i < near.size(); ++i)
    if (i >= 44 || size_t(near[i].airport) >= n || !(near[i].distanceNm >= 0.0f) || near[i].distanceNm > 150.0f ||
        (i > 0 && near[i].distanceNm < near[i - 1].distanceNm))
      return "nearest result " + std::to_string(i) + " out of range or order";
  if (std::isfinite(a.lat) && std::isfinite(a.lon) && (near.empty() || near[0].distanceNm != 0.0f))
    return "an airport is not at 0 nm from its own position";
  return "";
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
  std::string t = aptgen::Preamble();
  for (const auto &a : airports) {
    const std::string at = std::to_string(46.0 + 0.1 * (&a - airports)), name = a.ident;
    t += aptgen::Header(name, std::to_string(a.elevation), aptgen::kLand, {" ", "\r\n"});
    for (int r = 0; r < a.runways; ++r)
      t += aptgen::RunwayRow({{std::to_string(r + 1) + "L", at, "8.1"}, {std::to_string(r + 1) + "R", at, "8.2"},
                              name == "WIDE" ? wide[r] : std::to_string(30 + r) + ".75"}, {"\t"});
    t += aptgen::Datum(at, "8.15");
  }
  return t + aptgen::End();
}

template <typename T>
std::string Bytes(const T &v) {
  return std::string(reinterpret_cast<const char *>(&v), sizeof v);
}

inline std::string Unhex(const char *hex) {
  std::string out;
  for (; hex[0] && hex[1]; hex += 2) out += static_cast<char>(std::stoi(std::string(hex, 2), nullptr, 16));
  return out;
}

// Replies the fixed index owes, as their first and last bytes in hex: LSZH whole; DUPE the first of the two;
// MANY 24 of its 30 runways, the 24th last; WIDE's widths 5000, -1e9, nan, inf, 3276.75 and -0.07 m as 32767,
// -32768, 0, 0, 32767 and 0 dm; elevations at the field's ends and beyond them (-32768, none); LONGIDENT cut to seven.
constexpr struct {
  const char *ident, *head, *tail;
} kReplies[] = {
    {"LSZH", "43564841010007000000384266660241010003004c535a4800000000000038426666024100003301314c0000315200000000384"
             "29a990141000038423333034100003d01324c000032520000000038429a990141000038423333034100004701334c0000335200"
             "00000038429a99014100003842333303418805", ""},
    {"DUPE", "4356484101000700333339426666024101000100445550450000000033333942666602410000330131"
             "4c000031520000333339429a99014133333942333303416400", ""},
    {"MANY", "43564841010007009a993b4266660241010018004d414e59000000009a993b4266660241",
             "0000190232344c00323452009a993b429a9901419a993b4233330341e803"},
    {"WIDE", "435648410100070066663c426666024101000600574944450000000066663c42666602410000ff7f314c0000315200006666"
             "3c429a99014166663c423333034100000080324c00003252000066663c429a99014166663c423333034100000000334c0000"
             "3352000066663c429a99014166663c423333034100000000344c00003452000066663c429a99014166663c42333303410000"
             "ff7f354c00003552000066663c429a99014166663c423333034100000000364c00003652000066663c429a99014166663c42"
             "333303413200", ""},
    {"HIGH", "435648410100070000003a426666024101000000484947480000000000003a42666602413075", ""},
    {"HIGHER", "435648410100070066663a426666024101000000484947484552000066663a42666602410080", ""},
    {"LOWEST", "435648410100070033333b4266660241010000004c4f57455354000033333b426666024130f8", ""},
    {"LOW", "4356484101000700cdcc3a4266660241010000004c4f570000000000cdcc3a42666602410080", ""},
    {"LONGIDE", "4356484101000700cdcc384266660241010001004c4f4e4749444500cdcc38426666024100003301314c000031520000cd"
                "cc38429a990141cdcc384233330341f401", ""}};

// A reply to the question about `asked`: one airport, the one asked, a length its counts account for, and for
// the named airports the bytes above.
inline std::string CheckReply(const std::string &asked, const std::string &p) {
  const auto h = phone::As<cvht::AirportPacketHeader>(p);
  const auto e = phone::As<cvht::AirportEntry>(p.substr(std::min(p.size(), sizeof h)));
  if (h.version != cvht::kAirportVersion || h.airportCount != 1 || h.runwayCount > cvht::kMaxRunwayEntries ||
      p.size() != sizeof h + sizeof e + h.runwayCount * sizeof(cvht::RunwayEntry) + 2 ||
      std::string(e.ident, strnlen(e.ident, sizeof e.ident)) != asked)
    return "the reply about " + asked + " is not that one airport with its runways and elevation";
  for (const auto &r : kReplies)
    if (asked == r.ident && (p.compare(0, std::strlen(r.head) / 2, Unhex(r.head)) != 0 || !p.ends_with(Unhex(r.tail))))
      return "the reply about " + asked + " is not the one owed";
  return "";
}

using simxp::kFrameDt;

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
    else if (!index_.wellFormed() || index_.airports.size() != 13 || index_.runways.size() != 45 ||
             index_.airports[0].elevationFt != 1416)
      error_ = "the reader lost rows or fields of the fixed index";  // it says below which queries owe a reply
    else if (!session_.Open(system_.Path()))
      error_ = session_.Error();
    else
      error_ = Start();
  }
  const std::string &Error() const { return error_; }
  const std::string &SystemPath() const { return system_.Path(); }
  // Stops the plug-in, as X-Plane does before it quits; it stays loaded.
  void Stop() { session_.Stop(); }

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
        auto p = phone::As<cvht::PosePacket>("CVHT");
        p.version = (op & 0x40) ? in.ConsumeIntegral<uint16_t>() : cvht::kPoseVersion;
        p.flags = in.ConsumeIntegral<uint16_t>();
        p.seq = in.ConsumeIntegral<uint32_t>();
        const std::string rest = in.ConsumeBytesAsString(sizeof p - 12);
        std::memcpy(reinterpret_cast<char *>(&p) + 12, rest.data(), rest.size());
        err = Send(op >> 7, Bytes(p));
      } else if ((op & 7) == 5) {
        const uint16_t version = (op & 0x40) ? in.ConsumeIntegral<uint16_t>() : cvht::kQueryVersion;
        err = Send(op >> 7, phone::QueryBytes(in.ConsumeBytesAsString(8), version));
      } else {
        err = Frame(kDt[(op >> 3) % std::size(kDt)]);
      }
    }
    for (int i = 0; i < 2 && err.empty(); ++i) err = Frame(kFrameDt);
    return err.empty() ? Ask(phone::QueryBytes("LSZH")) : err;
  }

  // Queries of ten bytes each, version and identifier, each answered (or not) before the next.
  std::string RunQueries(const uint8_t *data, size_t size) {
    std::string err = Refresh();
    for (size_t at = 0; err.empty() && at + 10 <= size; at += 10)
      err = Ask("CVHQ" + std::string(reinterpret_cast<const char *>(data) + at, 10));
    return err;
  }

 private:
  // The plug-in stays loaded across restarts: the fuzzer keeps counters inside it.
  std::string Start() {
    simxp::Session::FreshHost(system_.Path());
    if (session_.Start() != 1) return "the plug-in did not start (port 49707 taken? run inside tests/netns-run.sh)";
    // A loaded machine (sanitizers, parallel tests) may take seconds over the small index.
    const std::string line = session_.AwaitScan(60000, 1);
    if (line.empty()) return "the airport scan did not finish";
    return line.find("indexed") != std::string::npos ? "" : "the fixed index was not read: " + line;
  }

  // The host keeps every log line and METAR request; a restart now and then keeps a long run small.
  std::string Refresh() {
    if (!error_.empty() || (simxp::DebugStringCalls() < 30000 && simxp::FramesRun() < 100000)) return error_;
    Stop();
    error_ = Start();
    for (auto &phone : phones_) phone.Take();
    return error_;
  }

  // Sends from phone 0 or 1, noting the airport a query of version 1 asks about (its identifier up to a NUL,
  // seven bytes at most) when the index has it: those are owed a reply, the others none. A frame runs first when
  // the plug-in's small receive buffer could overflow, so that every datagram arrives.
  std::string Send(int phone, const std::string &bytes) {
    if (std::string err = pending_ == 12 ? Frame(kFrameDt) : ""; !err.empty()) return err;
    if (!phones_[phone].Send(bytes)) return "a " + std::to_string(bytes.size()) + "-byte datagram did not leave";
    ++pending_;
    const auto q = phone::As<cvht::AirportQuery>(bytes);
    const std::string id(q.ident, strnlen(q.ident, 7));
    if (bytes.size() == sizeof q && bytes.compare(0, 4, "CVHQ") == 0 && q.version == cvht::kQueryVersion &&
        std::any_of(index_.airports.begin(), index_.airports.end(), [&](const auto &a) { return id == a.ident; }))
      owed_[phone].push_back(id);
    return "";
  }

  std::string Ask(const std::string &query) {
    const std::string err = Send(0, query);
    return err.empty() ? Frame(kFrameDt) : err;
  }

  // One frame: no host fault, a view within its limits around the eye point, and each phone's query replies
  // about the airports it asked about, in order.
  std::string Frame(float dt) {
    if (pending_ > 0) cvhtproc::AwaitDelivery();
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
          if (owed.empty()) return "a query reply that nobody asked this phone for";
          if (std::string err = CheckReply(owed.front(), p); !err.empty()) return err;
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
  simxp::Session session_;
  std::string error_;
  phone::Link phones_[2];
  int pending_ = 0;                   // datagrams sent since the last frame
  std::vector<std::string> owed_[2];  // per phone, the airports its queries asked about, in order
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
  if (!host) return "no hosted plug-in";
  return kind == "query" ? host->RunQueries(data, size) : host->RunDatagrams(data, size);
}

// Ends the run as a finding when a check failed.
inline void AbortOnFinding(const char *target, const std::string &err) {
  if (err.empty()) return;
  std::fprintf(stderr, "%s: %s\n", target, err.c_str());
  std::abort();
}

}  // namespace cvhtfuzz
