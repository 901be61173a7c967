// The Wireshark dissector, run by tshark on one capture of what the real plug-in and the phone exchanged:
// a table of packet kinds, each with the tshark field line every datagram of that kind must give.
#include <array>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "plugin_fixture.h"

using namespace cvhttest;

namespace {

const char *kMetar = "LSZH 071220Z 24005KT 9999 FEW030 08/03 Q1018 NOSIG";
const char *kMalformed =
    "cvht.malformed.length || cvht.malformed.version || cvht.malformed.counts || cvht.malformed.magic";

// Nearest first from the standard aircraft; the last lies beyond 150 nm and is never listed. Runways are end 1,
// end 2 and width in metres, their ends 0.01° south-west and north-east of the airport.
const struct {
  const char *ident;
  int elevationFt;
  double lat, lon;
  std::vector<std::array<const char *, 3>> runways;
} kAirports[] = {
    {"LSZH", 1416, 47.464722, 8.549167, {{"10", "28", "60"}, {"14", "32", "60"}, {"16", "34", "60"}}},
    {"LSZK", 1352, 47.52, 8.55, {{"07", "25", "20"}}},
    {"LSZF", 1283, 47.62, 8.55, {{"09", "27", "23"}, {"02", "20", "25"}}},
    {"LSZN", 1450, 47.75, 8.55, {{"11L", "29R", "30"}}},
    {"LSZB", 1674, 48.00, 8.55, {{"14", "32", "40"}}},
    {"LFPG", 392, 49.0097, 2.5479, {{"08L", "26R", "45"}}},
};

std::string AptDat() {
  std::string out = "I\n1200 Generated for the dissector test\n\n";
  char row[256];
  for (const auto &a : kAirports) {
    out += "1 " + std::to_string(a.elevationFt) + " 0 0 " + a.ident + " Field\n";
    for (const auto &r : a.runways) {
      std::snprintf(row, sizeof row, "100 %s 1 0 0.25 1 3 0 %s %.8f %.8f 0 0 3 2 1 0 %s %.8f %.8f 0 0 3 2 1 0\n", r[2],
                    r[0], a.lat - 0.01, a.lon - 0.01, r[1], a.lat + 0.01, a.lon + 0.01);
      out += row;
    }
    std::snprintf(row, sizeof row, "1302 datum_lat %g\n1302 datum_lon %g\n", a.lat, a.lon);
    out += row;
  }
  return out + "99\n";
}

struct Datagram {
  bool fromPhone;
  double time;
  std::string bytes;
};

// A classic pcap file of raw IPv4 datagrams between the phone's port and 49707 on 127.0.0.1; no checksums.
void WritePcap(const std::string &path, uint16_t phonePort, const std::vector<Datagram> &datagrams) {
  std::ofstream out(path, std::ios::binary);
  const uint32_t file[] = {0xA1B2C3D4u, 4u << 16 | 2u, 0, 0, 65535, 101};  // 101: raw IPv4 records
  out.write(reinterpret_cast<const char *>(file), sizeof file);
  for (const auto &d : datagrams) {
    const uint16_t size = static_cast<uint16_t>(28 + d.bytes.size());
    const uint16_t from = d.fromPhone ? phonePort : cvht::kPort, to = d.fromPhone ? cvht::kPort : phonePort;
    const uint32_t record[] = {static_cast<uint32_t>(d.time),
                               static_cast<uint32_t>((d.time - std::floor(d.time)) * 1e6), size, size};
    // The IPv4 header (TTL 64, UDP, loopback to loopback) and the UDP header, in network byte order.
    const uint16_t ip[] = {
        htons(0x4500), htons(size), 0,           0,         htons(0x4011),    0, htons(0x7F00), htons(1),
        htons(0x7F00), htons(1),    htons(from), htons(to), htons(size - 20), 0};
    out.write(reinterpret_cast<const char *>(record), sizeof record);
    out.write(reinterpret_cast<const char *>(ip), sizeof ip);
    out << d.bytes;
  }
}

std::string G(double v) {  // tshark's rendering of a float field
  char s[32];
  std::snprintf(s, sizeof s, "%.6g", v);
  return s;
}
std::string Tabbed(const std::vector<std::string> &cols) {
  std::string s;
  for (const auto &c : cols) s += (s.empty() ? "" : "\t") + c;
  return s;
}

class DissectorTest : public PluginTest {
 protected:
  // crooked: sent where the plug-in must ignore it, and expected to be marked malformed.
  void Send(const std::string &bytes, bool crooked = false) {
    phone().Send(bytes);
    log_.push_back({true, simTime_, bytes});
    if (crooked) crooked_.insert(static_cast<int>(log_.size()));
  }
  void Step() {
    Frame();
    simTime_ += 1.0 / 60.0;
    for (auto &p : phone().Take()) log_.push_back({false, simTime_, std::move(p)});
  }

  static Pose Sway(uint32_t seq) { return {0.01f * static_cast<float>(seq % 7), 0, 0, 0.5f * (seq % 40) - 10, -2, 0}; }

  // Seven seconds of a phone streaming poses to the plug-in in flight near several airports, with a pause in
  // tracking (the view fades to neutral), one airport query, one short and one long pose datagram; then truncated
  // copies of everything and datagrams no side should send, through the plug-in's port as traffic it must ignore.
  void Fly() {
    for (const auto &[ref, v] : std::map<std::string, float>{{"sim/flightmodel/position/true_airspeed", 100.0f},
                                                             {"sim/flightmodel/position/indicated_airspeed", 97.0f},
                                                             {"sim/flightmodel/position/groundspeed", 50.0f},
                                                             {"sim/flightmodel/position/y_agl", 10.0f},
                                                             {"sim/flightmodel/forces/g_nrml", 1.25f},
                                                             {"sim/time/total_flight_time_sec", 321.5f}})
      simxp::SetFloat(ref.c_str(), v);
    simxp::SetInt("sim/flightmodel/failures/onground_any", 0);
    simxp::SetMetar("LSZH", kMetar);
    WriteApt(AptDat());
    ASSERT_EQ(Start(), 1);
    ASSERT_EQ(AwaitScan(), std::vector<std::string>{"CVHT: apt.dat indexed: 6 airports, 9 runways"});
    for (uint32_t seq = 1; seq <= 420; ++seq) {
      if (seq == 100) Send(QueryBytes("LSZH"));
      const bool tracking = seq < 150 || seq >= 260;  // the pause
      Send(seq == 300 ? PoseBytes(seq).substr(0, 20) : PoseBytes(seq, Sway(seq), tracking), seq == 300);
      Step();
    }
    Send(PoseBytes(421) + "tail");  // read as its first 48 bytes: noted, not malformed
    longPose_ = static_cast<int>(log_.size());
    Step();
    std::map<std::string, std::string> latest;
    for (const auto &d : log_)
      if (!d.fromPhone) latest[d.bytes.substr(0, 4)] = d.bytes;
    ASSERT_EQ(latest.size(), 5u) << "every kind the plug-in sends";
    latest["CVHT"] = PoseBytes(1);
    latest["CVHQ"] = QueryBytes("LSZH");
    for (const auto &[magic, bytes] : latest)
      for (size_t n = 1; n < bytes.size(); n += (n < 24 ? 1 : 13)) {
        Send(bytes.substr(0, n), true);
        Step();
      }
    std::string status = latest["CVHS"], more = latest["CVHA"], fewer = latest["CVHA"];
    status[4] = 5;
    more[16] = static_cast<char>(more[16] + 1);
    fewer[18] = 0;
    for (const auto &bytes :
         {QueryBytes("LSZH") + "X", QueryBytes("LSZH", 2), PoseBytes(5000, {}, true, 3),
          std::string("XYZW") + std::string(44, '\0'), status, more, fewer, latest["CVHW"] + std::string(4, '\0')}) {
      Send(bytes, true);
      Step();
    }
    // The capture, also kept in the build folder for a look in Wireshark.
    WritePcap(capture_, phone().Port(), log_);
    std::error_code ec;
    std::filesystem::copy_file(capture_, CVHT_CAPTURE_DIR "/flight.pcap",
                               std::filesystem::copy_options::overwrite_existing, ec);
  }

  // tshark with our dissector and a configuration folder of its own, so no personal profile counts.
  std::string Tshark(const std::vector<std::string> &args, int &status) {
    std::string cmd = "env -i HOME=" + work_.Path() + " XDG_CONFIG_HOME=" + work_.Path() +
                      " PATH=/usr/bin:/bin LC_ALL=C.UTF-8 " CVHT_TSHARK " -n -r " + capture_ +
                      " -X lua_script:" CVHT_DISSECTOR_LUA;
    for (const auto &a : args) cmd += " '" + a + "'";
    FILE *p = popen((cmd + " 2>" + work_.Path() + "/err </dev/null").c_str(), "r");
    std::string out;
    char buf[65536];
    for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    status = p ? pclose(p) : -1;
    return out;
  }
  std::string Err() const {
    std::ifstream f(work_.Path() + "/err");
    return std::string(std::istreambuf_iterator<char>(f), {});
  }

  // Frame number to the line of fields of each frame that passes the filter, repeated values joined by commas.
  std::map<int, std::string> Fields(const std::string &filter, const std::vector<std::string> &fields) {
    std::vector<std::string> args = {"-Y",           filter, "-T",           "fields", "-E",
                                     "occurrence=a", "-E",   "aggregator=,", "-e",     "frame.number"};
    for (const auto &f : fields) args.insert(args.end(), {"-e", f});
    int status = 0;
    std::istringstream out(Tshark(args, status));
    EXPECT_EQ(status, 0) << Err();
    std::map<int, std::string> rows;
    for (std::string line; std::getline(out, line);) rows[std::stoi(line)] = line.substr(line.find('\t') + 1);
    return rows;
  }

  TempDir work_;
  std::string capture_ = work_.Path() + "/link.pcap";
  std::vector<Datagram> log_;
  std::set<int> crooked_;
  int longPose_ = 0;
  double simTime_ = 1700000000.0;
};

}  // namespace

TEST_F(DissectorTest, EveryDatagramOfAFlightDecodesAsSentAndEveryCrookedOneIsMarked) {
  ASSERT_TRUE(std::filesystem::exists(CVHT_TSHARK)) << "tshark is missing: run scripts/install-deps.sh, reconfigure";
  ASSERT_NO_FATAL_FAILURE(Fly());
  const uint16_t port = phone().Port();
  std::set<std::string> fresh;  // the values the status packets' fresh flag took
  std::set<uint32_t> mismatch;  // the sequence numbers of the status packets that raised the mismatch
  int replies = 0;              // query replies among the airport packets
  // Per packet kind: the fields shown after the Info column, how many datagrams of the kind the flight has at
  // least, and the line each must give, made from the bytes the plug-in or the phone sent.
  const struct {
    const char *magic;
    std::vector<std::string> fields;
    size_t atLeast;
    std::function<std::string(const std::string &bytes)> line;
  } kinds[] = {
      {"CVHT",
       {"cvht.pose.seq", "cvht.pose.flags.tracking", "cvht.pose.x", "cvht.pose.yaw", "cvht.pose.pitch", "udp.srcport",
        "udp.dstport"},
       419,
       [&](const std::string &b) {
         auto p = As<cvht::PosePacket>(b);
         const bool tracking = p.flags & cvht::kPoseTracking;
         return Tabbed({"Pose seq=" + std::to_string(p.seq) + (tracking ? "" : " not tracking"), std::to_string(p.seq),
                        tracking ? "1" : "0", G(p.x), G(p.yaw), G(p.pitch), std::to_string(port), "49707"});
       }},
      {"CVHQ",
       {"cvht.version", "cvht.query.ident", "udp.dstport"},
       1,
       [](const std::string &) { return "Query LSZH\t1\tLSZH\t49707"; }},
      {"CVHS",
       {"cvht.version", "cvht.status.seq", "cvht.status.blend", "cvht.status.iasKt", "cvht.status.tasKt",
        "cvht.status.altFt", "cvht.status.lat", "cvht.status.flags.fresh", "cvht.status.flags.mismatch",
        "cvht.status.dataFlags.flight", "cvht.status.drained", "cvht.status.echo"},
       400,
       [&](const std::string &b) {
         auto s = As<cvht::StatusPacket>(b);
         const std::string f = s.flags & cvht::kStatusFresh ? "1" : "0",
                           m = s.flags & cvht::kStatusMismatch ? "1" : "0";
         fresh.insert(f);
         if (m == "1") mismatch.insert(s.seq);
         char info[64], echo[17];
         std::snprintf(info, sizeof info, "Status seq=%u blend=%.2f%s", s.seq, s.blend, m == "1" ? " MISMATCH" : "");
         for (int i = 0; i < 8; ++i) std::snprintf(echo + 2 * i, 3, "%02x", s.echo[i]);
         return Tabbed({info, "4", std::to_string(s.seq), G(s.blend), "97", "194.384", "433", "47.4647", f, m, "1",
                        std::to_string(s.drained), echo});
       }},
      {"CVHF",
       {"cvht.flight.flags", "cvht.flight.flags.onGroundKnown", "cvht.flight.flags.onGround",
        "cvht.flight.flags.paused", "cvht.flight.aglFt", "cvht.flight.loadFactor", "cvht.flight.simTimeSec"},
       400,
       [](const std::string &) { return "Flight state airborne agl=33 ft\t0x003d\t1\t0\t0\t32.8084\t1.25\t321.5"; }},
      {"CVHA",
       {"cvht.airport.flags.index", "cvht.airport.flags.scanDone", "cvht.airport.flags.queryReply",
        "cvht.airport.airportCount", "cvht.airport.runwayCount", "cvht.entry.ident", "cvht.runway.airport",
        "cvht.runway.end1", "cvht.runway.end2", "cvht.runway.widthDm", "cvht.airport.elevationFt", "cvht.airport.lat",
        "cvht.runway.lat2"},
       7,
       [&](const std::string &b) -> std::string {
         // The periodic form lists the nearest five (runways of the nearest four), the reply one with its elevation.
         if (As<cvht::AirportPacketHeader>(b).flags & cvht::kAirportQueryReply) {
           ++replies;
           return "Airport reply LSZH, 3 runways, 1416 ft\t1\t1\t1\t1\t3\tLSZH\t0,0,0\t10,14,16\t28,32,34\t"
                  "600,600,600\t1416\t47.4647\t47.4747,47.4747,47.4747";
         }
         return "Airports 5 nearby, 7 runways\t1\t1\t0\t5\t7\tLSZH,LSZK,LSZF,LSZN,LSZB\t0,0,0,1,2,2,3\t"
                "10,14,16,07,09,02,11L\t28,32,34,25,27,20,29R\t600,600,600,200,230,250,300\t\t47.4647\t"
                "47.4747,47.4747,47.4747,47.53,47.63,47.63,47.76";
       }},
      {"CVHW",
       {"cvht.weather.flags.valid", "cvht.weather.flags.metar", "cvht.weather.qnhHpa", "cvht.weather.windKt",
        "cvht.weather.windDirDeg", "cvht.weather.oatC", "cvht.weather.metarStation", "cvht.weather.metar"},
       3,
       [](const std::string &) {
         return std::string("Weather 250/10 kt QNH 1013.25 hPa, METAR LSZH\t1\t1\t1013.25\t9.7192\t250\t15\tLSZH\t") +
                kMetar;
       }},
      {"CVHI",
       {"cvht.identity.flags.tail", "cvht.identity.flags.icao", "cvht.identity.tailNumber", "cvht.identity.icaoType"},
       1,
       [](const std::string &) { return "Identity HB-CVH C172\t1\t1\tHB-CVH\tC172"; }},
  };
  for (const auto &k : kinds) {
    SCOPED_TRACE(k.magic);
    std::map<int, std::string> want;
    for (size_t i = 0; i < log_.size(); ++i)
      if (log_[i].bytes.compare(0, 4, k.magic) == 0 && !crooked_.count(static_cast<int>(i + 1)))
        want[static_cast<int>(i + 1)] = k.line(log_[i].bytes);
    EXPECT_GE(want.size(), k.atLeast);
    std::vector<std::string> fields = {"_ws.col.Info"};
    fields.insert(fields.end(), k.fields.begin(), k.fields.end());
    auto got = Fields(std::string("cvht.magic == \"") + k.magic + "\" && !(" + kMalformed + ")", fields);
    EXPECT_EQ(got.size(), want.size()) << "every datagram of the kind decoded, and nothing else as one";
    for (const auto &[frame, line] : want) EXPECT_EQ(got[frame], line) << "frame " << frame;
  }
  EXPECT_EQ(fresh, (std::set<std::string>{"0", "1"})) << "the pause outlasted the link's freshness";
  EXPECT_EQ(mismatch, (std::set<uint32_t>{299, 421})) << "the short pose in flight, then the crooked ones after";
  EXPECT_EQ(replies, 1) << "the flight's one query, answered once";

  std::set<int> marked;
  for (const auto &[frame, line] : Fields(kMalformed, {"_ws.col.Info"})) {
    marked.insert(frame);
    EXPECT_NE(line.find("Malformed"), std::string::npos) << "frame " << frame << ": " << line;
  }
  EXPECT_EQ(marked, crooked_) << "exactly the crooked datagrams are marked, none of what the plug-in sent";
  EXPECT_EQ(Fields("cvht.ignored", {"_ws.col.Info"}), (std::map<int, std::string>{{longPose_, "Pose seq=421"}}));
  EXPECT_TRUE(Fields("cvht.fault", {}).empty()) << "the dissector raised an error";
  EXPECT_EQ(Fields("cvht", {}).size(), log_.size()) << "every datagram reached the dissector";
  int status = 0;
  EXPECT_EQ(Tshark({"-V"}, status).find("Lua Error"), std::string::npos);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Err().find("Lua"), std::string::npos) << Err();
}
