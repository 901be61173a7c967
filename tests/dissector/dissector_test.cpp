// The Wireshark dissector, run by tshark on a capture of what the real plug-in and the phone exchanged.
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "plugin_fixture.h"

extern char **environ;

using namespace cvhttest;

namespace {

const char *kAptRel = "Global Scenery/Global Airports/Earth nav data/apt.dat";
constexpr double kLat = 47.4647, kLon = 8.5492;  // the standard aircraft's position
const char *kMetar = "LSZH 071220Z 24005KT 9999 FEW030 08/03 Q1018 NOSIG";

struct Runway {
  const char *end1, *end2;
  float widthM;
};
struct Airport {
  const char *ident;
  int elevationFt;
  double lat, lon;
  std::vector<Runway> runways;
};

// Nearest first from the aircraft; the last lies beyond 150 nm and is never listed.
const std::vector<Airport> kAirports = {
    {"LSZH", 1416, 47.464722, 8.549167, {{"10", "28", 60}, {"14", "32", 60}, {"16", "34", 60}}},
    {"LSZK", 1352, 47.52, 8.55, {{"07", "25", 20}}},
    {"LSZF", 1283, 47.62, 8.55, {{"09", "27", 23}, {"02", "20", 25}}},
    {"LSZN", 1450, 47.75, 8.55, {{"11L", "29R", 30}}},
    {"LSZB", 1674, 48.00, 8.55, {{"14", "32", 40}}},
    {"LFPG", 392, 49.0097, 2.5479, {{"08L", "26R", 45}}},
};

std::string AptDat() {
  std::ostringstream out;
  out << "I\n1200 Generated for the dissector test\n\n";
  for (const auto &a : kAirports) {
    out << "1 " << a.elevationFt << " 0 0 " << a.ident << " Field " << a.ident << "\n";
    for (const auto &r : a.runways) {
      char row[256];
      std::snprintf(row, sizeof row, "100 %.2f 1 0 0.25 1 3 0 %s %.8f %.8f 0 0 3 2 1 0 %s %.8f %.8f 0 0 3 2 1 0\n",
                    r.widthM, r.end1, a.lat - 0.01, a.lon - 0.01, r.end2, a.lat + 0.01, a.lon + 0.01);
      out << row;
    }
    out << "1302 datum_lat " << a.lat << "\n1302 datum_lon " << a.lon << "\n";
  }
  return out.str() + "99\n";
}

uint16_t Checksum(const std::string &bytes, uint32_t sum = 0) {
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    sum += static_cast<uint32_t>(static_cast<uint8_t>(bytes[i]) << 8 | static_cast<uint8_t>(bytes[i + 1]));
  if (bytes.size() % 2) sum += static_cast<uint32_t>(static_cast<uint8_t>(bytes.back()) << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

void PutBe16(std::string &s, size_t at, uint16_t v) {
  s[at] = static_cast<char>(v >> 8);
  s[at + 1] = static_cast<char>(v & 0xFF);
}

template <typename T>
void PutLe(std::string &s, const T &v) {
  s.append(reinterpret_cast<const char *>(&v), sizeof v);
}

struct Datagram {
  bool fromPhone;
  double time;
  std::string bytes;
};

// A classic pcap file of raw IPv4 datagrams between the phone's port and 49707 on 127.0.0.1.
bool WritePcap(const std::string &path, uint16_t phonePort, const std::vector<Datagram> &datagrams) {
  std::string out;
  PutLe(out, uint32_t{0xA1B2C3D4});
  PutLe(out, uint16_t{2});
  PutLe(out, uint16_t{4});
  PutLe(out, int32_t{0});
  PutLe(out, uint32_t{0});
  PutLe(out, uint32_t{65535});
  PutLe(out, uint32_t{101});  // LINKTYPE_RAW: each record begins with its IPv4 header
  uint16_t id = 1;
  for (const auto &d : datagrams) {
    const uint16_t src = d.fromPhone ? phonePort : cvht::kPort, dst = d.fromPhone ? cvht::kPort : phonePort;
    std::string udp(8, '\0');
    PutBe16(udp, 0, src);
    PutBe16(udp, 2, dst);
    PutBe16(udp, 4, static_cast<uint16_t>(8 + d.bytes.size()));
    udp += d.bytes;
    // Pseudo-header: both addresses 127.0.0.1, protocol 17, UDP length.
    uint32_t pseudo = 0x7F00 + 0x0001 + 0x7F00 + 0x0001 + 17 + static_cast<uint32_t>(udp.size());
    uint16_t uc = Checksum(udp, pseudo);
    PutBe16(udp, 6, uc == 0 ? 0xFFFF : uc);
    std::string ip(20, '\0');
    ip[0] = 0x45;
    PutBe16(ip, 2, static_cast<uint16_t>(20 + udp.size()));
    PutBe16(ip, 4, id++);
    ip[8] = 64;
    ip[9] = 17;
    const char lo[4] = {127, 0, 0, 1};
    ip.replace(12, 4, lo, 4);
    ip.replace(16, 4, lo, 4);
    PutBe16(ip, 10, Checksum(ip));
    std::string packet = ip + udp;
    PutLe(out, static_cast<uint32_t>(d.time));
    PutLe(out, static_cast<uint32_t>((d.time - std::floor(d.time)) * 1e6));
    PutLe(out, static_cast<uint32_t>(packet.size()));
    PutLe(out, static_cast<uint32_t>(packet.size()));
    out += packet;
  }
  std::ofstream f(path, std::ios::binary);
  f << out;
  return static_cast<bool>(f);
}

std::string ReadFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

std::vector<std::string> Split(const std::string &s, char sep) {
  std::vector<std::string> out;
  std::string cur;
  std::istringstream in(s);
  while (std::getline(in, cur, sep)) out.push_back(cur);
  if (!s.empty() && s.back() == sep) out.push_back("");
  return out;
}

float Num(const std::string &s) { return std::strtof(s.c_str(), nullptr); }

// tshark's decimal rendering of a single-precision float, to the float it came from.
void ExpectFloat(const std::string &decoded, float sent, const std::string &what) {
  EXPECT_FALSE(decoded.empty()) << what << " not decoded";
  EXPECT_NEAR(Num(decoded), sent, std::max(1e-5f, std::fabs(sent) * 1e-6f)) << what << ": decoded " << decoded;
}

class DissectorTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    ASSERT_TRUE(std::filesystem::exists(CVHT_TSHARK))
        << "tshark is not installed (" << CVHT_TSHARK << "): run scripts/install-deps.sh, then reconfigure";
    ASSERT_TRUE(std::filesystem::exists(CVHT_DISSECTOR_LUA)) << CVHT_DISSECTOR_LUA;
    std::filesystem::create_directories(work_.Path() + "/home");
  }

  void Send(const std::string &bytes) {
    phone().Send(bytes);
    log_.push_back({true, simTime_, bytes});
  }
  void Step() {
    Frame();
    simTime_ += 1.0 / 60.0;
    for (auto &p : phone().Take()) log_.push_back({false, simTime_, std::move(p)});
  }

  static constexpr uint32_t kPauseFrom = 150, kPauseTo = 260;
  static cvhttest::Pose Sway(uint32_t seq) {
    cvhttest::Pose p;
    p.x = 0.01f * static_cast<float>(seq % 7);
    p.yaw = 0.5f * static_cast<float>(seq % 40) - 10.0f;
    p.pitch = -2.0f;
    return p;
  }

  // Seven seconds of a phone streaming poses to the plug-in in flight near several airports, with a
  // pause in tracking (the view fades to neutral), one airport query and one short pose datagram.
  void Fly() {
    simxp::SetFloat("sim/flightmodel/position/true_airspeed", 100.0f);
    simxp::SetFloat("sim/flightmodel/position/indicated_airspeed", 97.0f);
    simxp::SetFloat("sim/flightmodel/position/groundspeed", 50.0f);
    simxp::SetInt("sim/flightmodel/failures/onground_any", 0);
    simxp::SetFloat("sim/flightmodel/position/y_agl", 10.0f);
    simxp::SetFloat("sim/flightmodel/forces/g_nrml", 1.25f);
    simxp::SetFloat("sim/time/total_flight_time_sec", 321.5f);
    simxp::SetMetar("LSZH", kMetar);
    std::filesystem::path apt = std::filesystem::path(system_.Path()) / kAptRel;
    std::filesystem::create_directories(apt.parent_path());
    std::ofstream(apt, std::ios::binary) << AptDat();
    ASSERT_EQ(Start(), 1);
    for (int i = 0; i < 2000 && LinesStartingWith("apt.dat ").empty(); ++i) {
      Frame();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(LinesStartingWith("apt.dat "), std::vector<std::string>{"CVHT: apt.dat indexed: 6 airports, 9 runways"});
    for (uint32_t seq = 1; seq <= 420; ++seq) {
      if (seq == 100) Send(QueryBytes("LSZH"));
      if (seq == 300) Send(PoseBytes(seq).substr(0, 20));
      else Send(PoseBytes(seq, Sway(seq), seq < kPauseFrom || seq >= kPauseTo));
      Step();
    }
  }

  std::string Capture() {
    std::string path = work_.Path() + "/link.pcap";
    EXPECT_TRUE(WritePcap(path, phone().Port(), log_));
    return path;
  }

  struct Run {
    int status = -1;
    std::string out, err;
  };
  // tshark with our dissector and a configuration folder of its own, so no personal profile counts.
  Run Tshark(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {CVHT_TSHARK, "-n", "-r", capture_, "-X",
                                     std::string("lua_script:") + CVHT_DISSECTOR_LUA};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char *> cargv;
    for (auto &a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    std::vector<std::string> env = {"HOME=" + work_.Path() + "/home", "XDG_CONFIG_HOME=" + work_.Path() + "/home",
                                    "PATH=/usr/bin:/bin", "LC_ALL=C.UTF-8"};
    std::vector<char *> cenv;
    for (auto &e : env) cenv.push_back(e.data());
    cenv.push_back(nullptr);
    const std::string outPath = work_.Path() + "/tshark.out", errPath = work_.Path() + "/tshark.err";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid;
    Run r;
    int rc = posix_spawn(&pid, argv[0].c_str(), &fa, nullptr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
      r.err = std::string("cannot start tshark: ") + std::strerror(rc);
      return r;
    }
    int ws = 0;
    waitpid(pid, &ws, 0);
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
    r.out = ReadFile(outPath);
    r.err = ReadFile(errPath);
    return r;
  }

  // One row per frame that passes the filter: the frame number, then the fields, repeated values
  // joined by commas.
  std::map<int, std::vector<std::string>> Fields(const std::string &filter, const std::vector<std::string> &fields,
                                                std::vector<std::string> args = {}) {
    args.insert(args.end(), {"-Y", filter, "-T", "fields", "-E", "separator=\t", "-E", "occurrence=a",
                                     "-E", "aggregator=,", "-e", "frame.number"});
    for (const auto &f : fields) {
      args.push_back("-e");
      args.push_back(f);
    }
    Run r = Tshark(args);
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<int, std::vector<std::string>> rows;
    for (const auto &line : Split(r.out, '\n')) {
      if (line.empty()) continue;
      auto cols = Split(line, '\t');
      if (cols.size() != fields.size() + 1) {
        ADD_FAILURE() << "unexpected tshark line: " << line;
        continue;
      }
      rows[std::stoi(cols[0])] = std::vector<std::string>(cols.begin() + 1, cols.end());
    }
    return rows;
  }

  // Frame numbers (from 1) of what the plug-in sent with this magic.
  std::vector<int> FramesOf(const char *magic, bool fromPhone = false) const {
    std::vector<int> out;
    for (size_t i = 0; i < log_.size(); ++i)
      if (log_[i].fromPhone == fromPhone && log_[i].bytes.compare(0, 4, magic) == 0) out.push_back(static_cast<int>(i + 1));
    return out;
  }
  const std::string &Bytes(int frame) const { return log_.at(static_cast<size_t>(frame - 1)).bytes; }

  // The capture, also kept in the build folder under the test's name for a look in Wireshark.
  void Record() {
    capture_ = Capture();
    std::error_code ec;
    std::filesystem::copy_file(capture_,
                               std::string(CVHT_CAPTURE_DIR) + "/" +
                                   ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".pcap",
                               std::filesystem::copy_options::overwrite_existing, ec);
  }

  TempDir work_;
  std::vector<Datagram> log_;
  double simTime_ = 1700000000.0;
  std::string capture_;
};

}  // namespace

TEST_F(DissectorTest, StatusAndFlightStateDecodeAsThePluginSentThem) {
  ASSERT_NO_FATAL_FAILURE(Fly());
  Record();
  auto status = FramesOf("CVHS");
  ASSERT_GT(status.size(), 400u);
  auto rows = Fields("cvht.status.seq", {"_ws.col.Info", "cvht.version", "cvht.status.seq", "cvht.status.blend",
                                         "cvht.status.iasKt", "cvht.status.tasKt", "cvht.status.altFt",
                                         "cvht.status.lat", "cvht.status.flags.fresh", "cvht.status.flags.mismatch",
                                         "cvht.status.dataFlags.flight", "cvht.status.drained", "cvht.status.echo"});
  ASSERT_EQ(rows.size(), status.size()) << "every status packet decoded, and nothing else as one";
  int mismatches = 0, stale = 0;
  float minBlend = 1.0f;
  for (int frame : status) {
    ASSERT_TRUE(rows.count(frame)) << "frame " << frame;
    const auto &c = rows[frame];
    auto s = As<cvht::StatusPacket>(Bytes(frame));
    SCOPED_TRACE("frame " + std::to_string(frame) + ": " + c[0]);
    EXPECT_EQ(c[1], "4");
    EXPECT_EQ(c[2], std::to_string(s.seq));
    ExpectFloat(c[3], s.blend, "blend");
    ExpectFloat(c[4], 97.0f, "iasKt");
    ExpectFloat(c[5], 100.0f * 1.94384f, "tasKt");
    ExpectFloat(c[6], 433.0f, "altFt");
    ExpectFloat(c[7], static_cast<float>(kLat), "lat");
    EXPECT_EQ(c[8], (s.flags & cvht::kStatusFresh) ? "1" : "0");
    if (c[8] == "0") ++stale;
    if (s.seq > kPauseFrom && s.seq < kPauseTo) minBlend = std::min(minBlend, Num(c[3]));
    EXPECT_EQ(c[10], "1");
    EXPECT_EQ(c[11], std::to_string(s.drained));
    char echo[17];
    for (int i = 0; i < 8; ++i) std::snprintf(echo + 2 * i, 3, "%02x", s.echo[i]);
    EXPECT_EQ(c[12], echo);
    char info[64];
    std::snprintf(info, sizeof info, "Status seq=%u blend=%.2f", s.seq, s.blend);
    EXPECT_EQ(c[0].rfind(info, 0), 0u);
    if (c[9] == "1") {
      ++mismatches;
      EXPECT_EQ(s.seq, 299u) << "the short pose left seq at 299 and raised the mismatch";
      EXPECT_NE(c[0].find("MISMATCH"), std::string::npos);
    }
  }
  EXPECT_EQ(mismatches, 1) << "one status between the short pose and the next valid one";
  EXPECT_GT(stale, 30) << "the pause outlasted the link's freshness";
  EXPECT_LT(minBlend, 0.5f) << "the view faded during the pause";
  EXPECT_GT(Num(rows[status.back()][3]), 0.9f) << "and came back with tracking";
  EXPECT_EQ(Num(rows[status.front()][3]), 0.0f);

  auto flight = Fields("cvht.flight.flags", {"_ws.col.Info", "cvht.flight.flags", "cvht.flight.flags.onGroundKnown",
                                             "cvht.flight.flags.onGround", "cvht.flight.flags.paused",
                                             "cvht.flight.aglFt", "cvht.flight.loadFactor", "cvht.flight.simTimeSec"});
  ASSERT_EQ(flight.size(), FramesOf("CVHF").size());
  for (const auto &[frame, c] : flight) {
    SCOPED_TRACE("frame " + std::to_string(frame));
    EXPECT_EQ(c[1], "0x003d") << "in flight, every flight-state dataref present";
    EXPECT_EQ(c[2], "1");
    EXPECT_EQ(c[3], "0");
    EXPECT_EQ(c[4], "0");
    ExpectFloat(c[5], 10.0f * 3.28084f, "aglFt");
    ExpectFloat(c[6], 1.25f, "loadFactor");
    ExpectFloat(c[7], 321.5f, "simTimeSec");
    EXPECT_EQ(c[0], "Flight state airborne agl=33 ft");
  }
}

TEST_F(DissectorTest, AirportPacketsListNearbyFieldsAndTheQueryReplyItsElevation) {
  ASSERT_NO_FATAL_FAILURE(Fly());
  Record();
  auto airports = FramesOf("CVHA");
  ASSERT_GE(airports.size(), 7u) << "six periodic packets and one reply";
  auto rows = Fields("cvht.airport.flags", {"_ws.col.Info", "cvht.airport.flags.index", "cvht.airport.flags.scanDone",
                                            "cvht.airport.flags.queryReply", "cvht.airport.airportCount",
                                            "cvht.airport.runwayCount", "cvht.entry.ident", "cvht.runway.airport",
                                            "cvht.runway.end1", "cvht.runway.end2", "cvht.runway.widthDm",
                                            "cvht.airport.elevationFt", "cvht.airport.lat", "cvht.runway.lat2"});
  ASSERT_EQ(rows.size(), airports.size());
  int replies = 0;
  for (int frame : airports) {
    const auto &c = rows[frame];
    SCOPED_TRACE("frame " + std::to_string(frame) + ": " + c[0]);
    auto h = As<cvht::AirportPacketHeader>(Bytes(frame));
    EXPECT_EQ(c[1], "1");
    EXPECT_EQ(c[2], "1");
    // The last field of each runway entry, where an offset slip shows first.
    const auto lat2 = Split(c[13], ',');
    ASSERT_EQ(lat2.size(), h.runwayCount);
    for (size_t i = 0; i < lat2.size(); ++i)
      ExpectFloat(lat2[i], As<cvht::RunwayEntry>(Bytes(frame).substr(20 + 16 * h.airportCount + 28 * i)).lat2, "lat2");
    if (h.flags & cvht::kAirportQueryReply) {
      ++replies;
      EXPECT_EQ(c[3], "1");
      EXPECT_EQ(c[4], "1");
      EXPECT_EQ(c[5], "3");
      EXPECT_EQ(c[6], "LSZH");
      EXPECT_EQ(c[7], "0,0,0");
      EXPECT_EQ(c[8], "10,14,16");
      EXPECT_EQ(c[9], "28,32,34");
      EXPECT_EQ(c[10], "600,600,600");
      EXPECT_EQ(c[11], "1416") << "the trailing elevation";
      ExpectFloat(c[12], static_cast<float>(47.464722), "the airport's own latitude");
      EXPECT_EQ(c[0], "Airport reply LSZH, 3 runways, 1416 ft");
      EXPECT_TRUE(log_[static_cast<size_t>(frame - 2)].fromPhone) << "the reply follows the query at once";
    } else {
      EXPECT_EQ(c[3], "0");
      EXPECT_EQ(c[4], "5") << "the sixth airport lies beyond 150 nm";
      EXPECT_EQ(c[5], "7") << "runways of the nearest four";
      EXPECT_EQ(c[6], "LSZH,LSZK,LSZF,LSZN,LSZB");
      EXPECT_EQ(c[7], "0,0,0,1,2,2,3");
      EXPECT_EQ(c[8], "10,14,16,07,09,02,11L");
      EXPECT_EQ(c[9], "28,32,34,25,27,20,29R");
      EXPECT_EQ(c[10], "600,600,600,200,230,250,300");
      EXPECT_EQ(c[11], "") << "the periodic form has no elevation";
      ExpectFloat(c[12], static_cast<float>(kLat), "the aircraft's latitude");
      EXPECT_EQ(c[0], "Airports 5 nearby, 7 runways");
    }
  }
  EXPECT_EQ(replies, 1);

  auto queries = Fields("cvht.query.ident", {"_ws.col.Info", "cvht.version", "udp.dstport"});
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(queries.begin()->second, (std::vector<std::string>{"Query LSZH", "1", "49707"}));
}

TEST_F(DissectorTest, WeatherIdentityAndPosesDecodeAsSent) {
  ASSERT_NO_FATAL_FAILURE(Fly());
  Record();
  auto weather = Fields("cvht.weather.flags", {"_ws.col.Info", "cvht.weather.flags.valid", "cvht.weather.flags.metar",
                                               "cvht.weather.qnhHpa", "cvht.weather.windKt", "cvht.weather.windDirDeg",
                                               "cvht.weather.oatC", "cvht.weather.metarStation", "cvht.weather.metar"});
  ASSERT_EQ(weather.size(), FramesOf("CVHW").size());
  ASSERT_GE(weather.size(), 3u) << "one every two seconds";
  const int firstAirports = FramesOf("CVHA").at(0);
  for (const auto &[frame, c] : weather) {
    SCOPED_TRACE("frame " + std::to_string(frame));
    if (frame < firstAirports) continue;  // the METAR is the nearest airport's, known from the airport step
    EXPECT_EQ(c[1], "1");
    EXPECT_EQ(c[2], "1");
    ExpectFloat(c[3], 101325.0f / 100.0f, "qnhHpa");
    ExpectFloat(c[4], 5.0f * 1.94384f, "windKt");
    ExpectFloat(c[5], 250.0f, "windDirDeg");
    ExpectFloat(c[6], 15.0f, "oatC");
    EXPECT_EQ(c[7], "LSZH");
    EXPECT_EQ(c[8], kMetar);
    EXPECT_EQ(c[0], "Weather 250/10 kt QNH 1013.25 hPa, METAR LSZH");
  }

  auto identity = Fields("cvht.identity.flags", {"_ws.col.Info", "cvht.identity.flags.tail", "cvht.identity.flags.icao",
                                                 "cvht.identity.tailNumber", "cvht.identity.icaoType"});
  ASSERT_EQ(identity.size(), FramesOf("CVHI").size());
  ASSERT_GE(identity.size(), 1u) << "one every five seconds";
  EXPECT_EQ(identity.begin()->second, (std::vector<std::string>{"Identity HB-CVH C172", "1", "1", "HB-CVH", "C172"}));

  auto poses = Fields("cvht.pose.seq", {"cvht.pose.seq", "cvht.pose.flags.tracking", "cvht.pose.x", "cvht.pose.yaw",
                                        "cvht.pose.pitch", "udp.srcport", "udp.dstport"});
  auto sent = FramesOf("CVHT", true);
  ASSERT_EQ(poses.size(), sent.size());
  for (int frame : sent) {
    const auto &c = poses[frame];
    if (Bytes(frame).size() != 48) continue;
    auto p = As<cvht::PosePacket>(Bytes(frame));
    SCOPED_TRACE("frame " + std::to_string(frame));
    EXPECT_EQ(c[0], std::to_string(p.seq));
    EXPECT_EQ(c[1], p.seq < kPauseFrom || p.seq >= kPauseTo ? "1" : "0");
    ExpectFloat(c[2], Sway(p.seq).x, "x");
    ExpectFloat(c[3], Sway(p.seq).yaw, "yaw");
    ExpectFloat(c[4], -2.0f, "pitch");
    EXPECT_EQ(c[5], std::to_string(phone().Port()));
    EXPECT_EQ(c[6], "49707");
  }

  // The capture itself: IPv4 and UDP checksums that Wireshark finds good on every frame.
  auto good = Fields("ip.checksum.status == 1 && udp.checksum.status == 1", {"udp.length"},
                     {"-o", "ip.check_checksum:TRUE", "-o", "udp.check_checksum:TRUE"});
  EXPECT_EQ(good.size(), log_.size());
}

TEST_F(DissectorTest, MalformedDatagramsAreMarkedAndNeverFault) {
  ASSERT_NO_FATAL_FAILURE(Fly());
  // Truncated copies of everything the plug-in sent, and datagrams no side should send, all through
  // the plug-in's port so they are real traffic it had to ignore.
  std::set<int> malformed = {FramesOf("CVHT", true)[299]};
  ASSERT_EQ(Bytes(*malformed.begin()).size(), 20u);
  std::map<std::string, std::string> latest;
  for (const auto &d : log_)
    if (!d.fromPhone) latest[d.bytes.substr(0, 4)] = d.bytes;
  ASSERT_EQ(latest.size(), 5u) << "every kind the plug-in sends";
  auto crooked = [&](const std::string &bytes) {
    Send(bytes);
    malformed.insert(static_cast<int>(log_.size()));
    Step();
  };
  latest["CVHT"] = PoseBytes(1);
  latest["CVHQ"] = QueryBytes("LSZH");
  for (const auto &[magic, bytes] : latest)
    for (size_t n = 1; n < bytes.size(); n += (n < 24 ? 1 : 13)) crooked(bytes.substr(0, n));
  crooked(QueryBytes("LSZH") + "X");
  crooked(QueryBytes("LSZH", 2));
  crooked(PoseBytes(5000, {}, true, 3));
  crooked(std::string("XYZW") + std::string(44, '\0'));
  std::string status = latest["CVHS"];
  status[4] = 5;
  crooked(status);
  std::string moreAirports = latest["CVHA"];
  moreAirports[16] = static_cast<char>(moreAirports[16] + 1);
  crooked(moreAirports);
  std::string fewerRunways = latest["CVHA"];
  fewerRunways[18] = 0;
  crooked(fewerRunways);
  std::string longWeather = latest["CVHW"] + std::string(4, '\0');
  crooked(longWeather);
  // The plug-in reads a longer pose as its first 48 bytes: noted, not malformed.
  Send(PoseBytes(421) + "tail");
  const int longPose = static_cast<int>(log_.size());
  Step();
  Record();

  auto marked = Fields("cvht.malformed.length || cvht.malformed.version || cvht.malformed.counts || "
                       "cvht.malformed.magic",
                       {"_ws.col.Info", "_ws.expert.severity"});
  std::set<int> got;
  for (const auto &[frame, c] : marked) {
    got.insert(frame);
    EXPECT_NE(c[0].find("Malformed"), std::string::npos) << "frame " << frame << ": " << c[0];
  }
  EXPECT_EQ(got, malformed) << "exactly the crooked datagrams are marked, none of what the plug-in sent";

  EXPECT_TRUE(Fields("cvht.fault", {"_ws.col.Info"}).empty()) << "the dissector raised an error";
  Run all = Tshark({"-V"});
  EXPECT_EQ(all.status, 0) << all.err;
  EXPECT_EQ(all.out.find("Lua Error"), std::string::npos);
  EXPECT_EQ(all.err.find("Lua"), std::string::npos) << all.err;
  EXPECT_EQ(Fields("cvht", {"cvht.magic"}).size(), log_.size()) << "every datagram reached the dissector";

  auto notes = Fields("cvht.ignored", {"_ws.col.Info"});
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes.begin()->first, longPose);
  EXPECT_EQ(notes.begin()->second[0], "Pose seq=421");
}
