// Telemetry to the phone and the airport query, decoded from what the real plug-in sends.
#include <fcntl.h>
#include <sys/stat.h>

#include "plugin_fixture.h"

using namespace cvhttest;

namespace {

constexpr double kLat = 47.4647, kLon = 8.5492;  // the standard aircraft's position

class TelemetryTest : public PluginTest {
 protected:
  std::string AptPath() const { return system_.Path() + "/" + kAptRel; }
  // Runs frames until the next packet of this magic.
  std::string NextOf(const char *magic) {
    for (int i = 0; i < 400; ++i) {
      Frame();
      auto got = OfMagic(phone().Take(), magic);
      if (!got.empty()) return got.back();
    }
    return "";
  }
  // Makes the phone the peer.
  void Hello() { phone().Send(PoseBytes(1)); }
  // Starts beside LSZH, waits for the first airport packet that names it, and returns the next weather
  // packet, which must be whole.
  std::string WeatherAtLszh() {
    WriteApt(AptText().Airport("LSZH", 1416, kLat, kLon, 1).Text());
    StartAndAwaitScan();
    Hello();
    EXPECT_EQ(As<cvht::AirportPacketHeader>(NextOf("CVHA")).airportCount, 1);
    std::string w = NextOf("CVHW");
    EXPECT_EQ(w.size(), 186u);
    return w;
  }
};

TEST_F(TelemetryTest, StatusCarriesFlightDataConvertedAndEachPacketGoesAtItsRate) {
  simxp::SetFloat("sim/flightmodel/position/true_airspeed", 100.0f);
  simxp::SetFloat("sim/flightmodel/position/groundspeed", 50.0f);
  simxp::SetFloat("sim/flightmodel/position/indicated_airspeed", 97.0f);
  simxp::SetFloat("sim/flightmodel/position/vh_ind_fpm", -500.0f);
  ASSERT_EQ(Start(), 1);
  phone().Send(QueryBytes("NONE"));  // a query makes the peer without a pose
  std::map<std::string, int> count;
  std::string st;
  // Ten seconds of frames; a sum of 60 single-precision sixtieths falls a hair short of 1.0, so each
  // period ends one frame late and the tenth second needs a few frames more.
  for (int f = 0; f < 610; ++f) {
    Frame();
    for (const auto &p : phone().Take()) {
      if (st.empty() && p.rfind("CVHS", 0) == 0) st = p;
      ++count[p.substr(0, 4)];
    }
  }
  EXPECT_EQ(count, (std::map<std::string, int>{{"CVHA", 10}, {"CVHF", 610}, {"CVHI", 2}, {"CVHS", 610}, {"CVHW", 5}}));
  ASSERT_EQ(st.size(), 80u);
  // Magic, version 4, flags: no pose yet, so not fresh; view type; data flags: flight and track; reserved.
  EXPECT_EQ(st.substr(0, 8), std::string("CVHS\x04\0\x02\0", 8));
  EXPECT_EQ(Vals<int32_t>(st, 12, 1), std::vector<int32_t>{1026});
  EXPECT_EQ(Vals<uint16_t>(st, 16, 2), (std::vector<uint16_t>{3, 0}));
  // Pitch, roll, IAS, altitude, vertical speed, magnetic heading, TAS and ground speed in knots, position.
  EXPECT_EQ(Vals<float>(st, 20, 10), (std::vector<float>{2.5f, -0.5f, 97.0f, 433.0f, -500.0f, 271.0f, 100.0f * 1.94384f,
                                                          50.0f * 1.94384f, float(kLat), float(kLon)}));
  EXPECT_EQ(st.substr(60, 16), std::string(16, '\0')) << "echo, seq and drained";
  EXPECT_EQ(Vals<float>(st, 76, 1), std::vector<float>{273.0f}) << "ground track";
}

// Each optional group missing is named once at start, which goes on; its fields then go out clear, and
// without the flight group no airport packet goes out at all. Any one flight dataref missing counts, the
// first checked as much as the last.
TEST_F(TelemetryTest, OptionalGroupsMissingAreReportedAndSentClear) {
  for (int flight : {4, 9}) {
    SCOPED_TRACE(simxp::kFlightRefs[flight]);
    // The last omitted: height above ground.
    Fresh({simxp::kFlightRefs[flight], simxp::kTrackRef, simxp::kWeatherRefs[0], simxp::kFlightStateRefs[1]});
    simxp::SetMetarFunction(false);
    WriteApt(AptText().Airport("LSZH", 1416, kLat, kLon, 2).Text());
    StartAndAwaitScan();
    auto lines = Lines();
    lines.resize(6);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "CVHT: some flight datarefs missing — telemetry will report unavailable",
                         "CVHT: hpath missing — ground track will report unavailable",
                         "CVHT: XP12 weather datarefs missing — weather will report unavailable",
                         "CVHT: flight-state datarefs missing (onground=ok agl=MISSING) — recording will report "
                         "unavailable",
                         "CVHT: XPLMGetMETARForAirport unavailable — no METAR on this sim",
                         "CVHT: listening on UDP 49707"}));
    Hello();
    Frames(130);
    auto all = phone().Take();
    EXPECT_TRUE(OfMagic(all, "CVHA").empty());
    auto st = OfMagic(all, "CVHS");
    ASSERT_FALSE(st.empty());
    EXPECT_EQ(Vals<uint16_t>(st.back(), 16, 1), std::vector<uint16_t>{0}) << "data flags";
    EXPECT_EQ(st.back().substr(20, 40), std::string(40, '\0'));
    EXPECT_EQ(st.back().substr(76, 4), std::string(4, '\0'));
    auto w = OfMagic(all, "CVHW");
    ASSERT_FALSE(w.empty());
    EXPECT_EQ(w.back(), std::string("CVHW\x01\0", 6) + std::string(180, '\0'));
  }
}

// The flight-state packet's flags follow the datarefs that exist and their values; the figures are zero
// when their flag is clear.
TEST_F(TelemetryTest, FlightStateFlagsFollowTheDatarefs) {
  const struct {
    const char *what;
    int onGround, paused, replay;
    std::vector<std::string> omit;
    uint16_t flags;
  } cases[] = {
      {"on the ground", 1, 0, 0, {}, 0x3F},
      {"in flight", 0, 0, 0, {}, 0x3D},
      {"paused", 0, 1, 0, {}, 0x7D},
      {"in replay on the ground", 1, 0, 1, {}, 0xBF},
      {"no height above ground", 1, 0, 0, {"sim/flightmodel/position/y_agl"}, 0x3B},
      {"no on-ground", 1, 0, 0, {"sim/flightmodel/failures/onground_any"}, 0x3C},
      {"pause known only with replay", 0, 1, 1, {"sim/time/paused"}, 0x1D},
      {"pause known only with pause", 0, 1, 1, {"sim/time/is_in_replay"}, 0x1D},
      {"nothing", 1, 1, 1, {"sim/flightmodel/failures/onground_any", "sim/flightmodel/position/y_agl",
       "sim/flightmodel/forces/g_nrml", "sim/time/total_flight_time_sec", "sim/time/paused", "sim/time/is_in_replay"}, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    simxp::SetInt("sim/flightmodel/failures/onground_any", c.onGround);
    simxp::SetInt("sim/time/paused", c.paused);
    simxp::SetInt("sim/time/is_in_replay", c.replay);
    simxp::SetFloat("sim/flightmodel/position/y_agl", 10.0f);
    simxp::SetFloat("sim/flightmodel/forces/g_nrml", 1.25f);
    simxp::SetFloat("sim/time/total_flight_time_sec", 321.5f);
    for (const auto &name : c.omit) simxp::Omit(name);
    ASSERT_EQ(Start(), 1);
    Hello();
    Frame();
    auto fs = OfMagic(phone().Take(), "CVHF");
    ASSERT_EQ(fs.size(), 1u);
    ASSERT_EQ(fs[0].size(), 20u);
    EXPECT_EQ(Vals<uint16_t>(fs[0], 4, 2), (std::vector<uint16_t>{1, c.flags}));
    const auto has = [&](uint16_t bit, float v) { return (c.flags & bit) ? v : 0.0f; };
    EXPECT_EQ(Vals<float>(fs[0], 8, 3), (std::vector<float>{has(cvht::kFsAgl, 10.0f * 3.28084f),
                                                             has(cvht::kFsLoad, 1.25f), has(cvht::kFsSimTime, 321.5f)}));
  }
}

// The airport packet is due once a second; a frame of 4.5 s sends one and owes the others.
TEST_F(TelemetryTest, ALongFrameSendsOneAndKeepsTheRemainder) {
  StartAndAwaitScan();
  Hello();
  Frame(4.5f);
  auto a = OfMagic(phone().Take(), "CVHA");
  ASSERT_EQ(a.size(), 1u);
  ASSERT_EQ(a[0].size(), 20u) << "a failed scan: finished, without index, no airports";
  EXPECT_EQ(Vals<uint16_t>(a[0], 4, 2), (std::vector<uint16_t>{1, cvht::kAirportScanDone}));
  EXPECT_EQ(Vals<float>(a[0], 8, 2), (std::vector<float>{float(kLat), float(kLon)}));
  EXPECT_EQ(Vals<uint16_t>(a[0], 16, 2), (std::vector<uint16_t>{0, 0}));
  for (int i = 0; i < 3; ++i) {
    Frame(0.0001f);
    EXPECT_EQ(OfMagic(phone().Take(), "CVHA").size(), 1u) << "catch-up frame " << i;
  }
  Frame(0.0001f);
  EXPECT_TRUE(OfMagic(phone().Take(), "CVHA").empty());
  Frames(30);
  EXPECT_EQ(OfMagic(phone().Take(), "CVHA").size(), 1u) << "0.5 s left, so due again within 30 frames";
}

TEST_F(TelemetryTest, WhileTheScanRunsAirportPacketsAreEmptyAndQueriesUnanswered) {
  // apt.dat is a named pipe: the scan has opened it once a non-blocking open for writing succeeds, and
  // cannot reach its end before the test closes it, whatever the scheduler does. Should the test end
  // early, the pipe is released and removed before its end closes, so no open waits forever.
  std::filesystem::create_directories(std::filesystem::path(AptPath()).parent_path());
  ASSERT_EQ(mkfifo(AptPath().c_str(), 0600), 0);
  struct Pipe {
    std::string path;
    int fd = -1;
    ~Pipe() {
      if (fd < 0) fd = open(path.c_str(), O_RDWR | O_NONBLOCK);  // releases a scan waiting in its open
      unlink(path.c_str());
      if (fd >= 0) close(fd);
    }
  } pipe{AptPath()};
  ASSERT_EQ(Start(), 1);
  for (int i = 0; i < 5000 && pipe.fd < 0; ++i) {
    pipe.fd = open(AptPath().c_str(), O_WRONLY | O_NONBLOCK);
    if (pipe.fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_GE(pipe.fd, 0) << "the scan never opened apt.dat";
  const std::string text = AptText().Airport("LSZH", 1416, kLat, kLon, 2).Text();
  const size_t half = text.size() / 2;
  ASSERT_EQ(write(pipe.fd, text.data(), half), static_cast<ssize_t>(half));
  Hello();
  std::string a = NextOf("CVHA");
  ASSERT_EQ(a.size(), 20u);
  EXPECT_EQ(As<cvht::AirportPacketHeader>(a).flags, 0) << "the scan is still reading";
  phone().Send(QueryBytes("LSZH"));
  Frame();
  EXPECT_TRUE(OfMagic(phone().Take(), "CVHA").empty());
  EXPECT_TRUE(LinesStartingWith("apt.dat ").empty());

  ASSERT_EQ(write(pipe.fd, text.data() + half, text.size() - half), static_cast<ssize_t>(text.size() - half));
  close(pipe.fd);
  pipe.fd = -1;
  EXPECT_EQ(AwaitScan(), std::vector<std::string>{"CVHT: apt.dat indexed: 1 airports, 2 runways"});
  a = NextOf("CVHA");
  ASSERT_GE(a.size(), 20u);
  EXPECT_EQ(As<cvht::AirportPacketHeader>(a).flags, cvht::kAirportIndexAvailable | cvht::kAirportScanDone);
  phone().Send(QueryBytes("LSZH"));
  Frame();
  auto replies = OfMagic(phone().Take(), "CVHA");
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].size(), 38u + 2 * 28u);
}

// The nearest airports within 150 nm, closest first, at most 44; the runways of the nearest four, at
// most 24. `first` airports of `runways` runways each lie nearest, every next one 0.02 degrees further
// north; a 180 nm one lies outside.
TEST_F(TelemetryTest, NearestAirportsAndTheirRunwaysInOnePacket) {
  const struct {
    const char *what;
    int airports, first, runways;
    uint16_t sentAirports, sentRunways;
  } cases[] = {{"the nearest has thirty runways", 50, 1, 30, 44, 24}, {"six with two runways each", 6, 6, 2, 6, 8}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    AptText apt;
    apt.Airport("FAR1", 100, kLat + 3.0, kLon, 2);
    for (int i = 0; i < c.airports; ++i)
      apt.Airport("N" + std::to_string(100 + i), 400 + i, kLat + 0.02 * (i + 1), kLon, i < c.first ? c.runways : 3);
    WriteApt(apt.Text());
    StartAndAwaitScan();
    Hello();
    std::string a = NextOf("CVHA");
    ASSERT_EQ(a.size(), 20u + 16u * c.sentAirports + 28u * c.sentRunways);
    EXPECT_EQ(Vals<uint16_t>(a, 4, 2), (std::vector<uint16_t>{1, cvht::kAirportIndexAvailable | cvht::kAirportScanDone}));
    EXPECT_EQ(Vals<uint16_t>(a, 16, 2), (std::vector<uint16_t>{c.sentAirports, c.sentRunways}));
    for (int i = 0; i < c.sentAirports; ++i) {
      EXPECT_EQ(a.substr(20 + 16 * i, 8), ("N" + std::to_string(100 + i)).append(4, '\0')) << "entry " << i;
      EXPECT_EQ(Vals<float>(a, 28 + 16 * i, 1), std::vector<float>{static_cast<float>(kLat + 0.02 * (i + 1))});
    }
    for (int r = 0; r < c.sentRunways; ++r) {
      auto e = As<cvht::RunwayEntry>(a.substr(20 + 16 * c.sentAirports + 28 * r));
      const int airport = r / c.runways, row = r % c.runways;
      EXPECT_EQ(e.airport, airport) << "runway " << r;
      EXPECT_EQ(e.zero, 0);
      EXPECT_EQ(e.widthDm, static_cast<int16_t>((30.0f + row) * 10.0f));
      char end1[8];
      std::snprintf(end1, sizeof end1, "%02dL", row % 36 + 1);
      EXPECT_EQ(std::string(e.end1, 4), std::string(end1, 4));
      EXPECT_EQ(e.lat1, static_cast<float>(kLat + 0.02 * (airport + 1) - 0.01));
    }
  }
}

// Weather every two seconds, with the METAR of the nearest airport cut to 149 characters; none without a
// nearest airport.
TEST_F(TelemetryTest, WeatherIsConvertedAndTheMetarCutAndGoneWithTheNearestAirport) {
  simxp::SetMetarUnterminated("LSZH", 'M');
  std::string w = WeatherAtLszh();
  EXPECT_EQ(Vals<uint16_t>(w, 4, 2), (std::vector<uint16_t>{1, cvht::kWeatherValid | cvht::kWeatherMetar}));
  // Wind from and its speed in knots, QNH in hPa, visibility, temperature.
  EXPECT_EQ(Vals<float>(w, 8, 5), (std::vector<float>{250.0f, 5.0f * 1.94384f, 101325.0f / 100.0f, 10.0f, 15.0f}));
  EXPECT_EQ(w.substr(28, 8), std::string("LSZH\0\0\0\0", 8));
  EXPECT_EQ(w.substr(36), std::string(149, 'M') + '\0');
  EXPECT_EQ(simxp::MetarRequests().back(), "LSZH");
  // Fly 300 nm away: the next airport packet is empty and the METAR goes with it.
  simxp::SetDouble("sim/flightmodel/position/latitude", kLat + 5.0);
  std::string a = NextOf("CVHA");
  ASSERT_EQ(a.size(), 20u);
  EXPECT_EQ(As<cvht::AirportPacketHeader>(a).flags, cvht::kAirportIndexAvailable | cvht::kAirportScanDone);
  w = NextOf("CVHW");
  EXPECT_EQ(Vals<uint16_t>(w, 6, 1), std::vector<uint16_t>{cvht::kWeatherValid});
  EXPECT_EQ(w.substr(28), std::string(158, '\0'));
}

TEST_F(TelemetryTest, WithoutMetarFunctionOrWeatherTheWeatherPacketStillGoesOut) {
  simxp::SetMetarFunction(false);
  simxp::Omit(simxp::kWeatherRefs[2]);
  simxp::SetMetar("LSZH", "LSZH 071220Z 24005KT");
  const std::string w = WeatherAtLszh();
  EXPECT_EQ(w.substr(0, 6), std::string("CVHW\x01\0", 6));
  EXPECT_EQ(w.substr(6), std::string(180, '\0'));
}

TEST_F(TelemetryTest, IdentityIsCutAtThirtyNineOrItsNul) {
  simxp::SetBytes("sim/aircraft/view/acf_tailnum", std::string(45, 'T'));
  simxp::SetBytes("sim/aircraft/view/acf_ICAO", std::string("B738\0ZZZZ", 9));
  ASSERT_EQ(Start(), 1);
  Hello();
  const std::string id = NextOf("CVHI");
  EXPECT_EQ(id, std::string("CVHI\x01\0\x03\0", 8) + std::string(39, 'T') + std::string(1, '\0') + "B738" +
                    std::string(36, '\0'));
}

// Which airport a query gets, and the whole reply: header, the airport's entry, its runways (widths 300,
// 310, ... dm unless given) and its elevation, where -32768 is unknown. A size of 0 means no reply at all.
TEST_F(TelemetryTest, QueriesAreAnsweredByIdentifierVersionAndLimits) {
  AptText apt;
  apt.Airport("LSZH", 1416, 47.464722, 8.549167, 3)
      .Airport("ALPS7CH", 30000, 46.5, 8.0, 1)
      .Airport("HIGH", 30001, 46.6, 8.1, 1)
      .Airport("DEEP", -2001, 31.5, 35.5, 1)
      .Airport("LOW", -2000, 31.6, 35.6, 1)
      .Airport("BIG", 500, 48.0, 9.0, 30)
      .Airport("NORWY", 12, 45.0, 7.0, 0)
      .Airport("lszh", 1, 10.0, 10.0, 1)
      .Raw("1 1416 0 0 WIDE Widths\n");
  for (const char *w : {"45.72", "-0.99", "1e30", "-1e30", "inf", "-inf", "nan"})
    apt.Raw(std::string("100 ") + w + " 1 0 0.25 1 3 0 09 47.46 8.54 0 0 3 2 1 0 27 47.47 8.56 0 0 3 2 1 0\n");
  WriteApt(apt.Text());
  StartAndAwaitScan();
  struct Case {
    const char *ident;
    uint16_t version;
    const char *entry;  // the identifier in the reply, NUL-padded to 8 bytes
    float lat = 0, lon = 0;
    uint16_t runways = 0;
    int16_t elevation = 0;
    std::vector<int16_t> widths = {};
  } cases[] = {
      {"LSZH", 1, "LSZH", float(47.464722), float(8.549167), 3, 1416},
      {"ALPS7CHX", 1, "ALPS7CH", 46.5f, 8.0f, 1, 30000},  // eight characters: the eighth does not count
      {"HIGH", 1, "HIGH", 46.6f, 8.1f, 1, -32768},
      {"DEEP", 1, "DEEP", 31.5f, 35.5f, 1, -32768},
      {"LOW", 1, "LOW", 31.6f, 35.6f, 1, -2000},
      {"BIG", 1, "BIG", 48.0f, 9.0f, 24, 500},  // thirty runways, twenty-four answered
      {"NORWY", 1, "NORWY", 45.0f, 7.0f, 0, 12},
      {"lszh", 1, "lszh", 10.0f, 10.0f, 1, 1},  // case-sensitive
      // Widths are cut towards zero to decimetres, held at the ends of the field, and zero when not finite.
      {"WIDE", 1, "WIDE", 47.465f, 8.55f, 7, 1416, {457, -9, 32767, -32768, 0, 0, 0}},
      {"LSZH", 2, nullptr},
      {"XXXX", 1, nullptr},
      {"LSZ", 1, nullptr},
      {"LSZHZZ", 1, nullptr},  // only its first four letters match LSZH
      {"", 1, nullptr},
  };
  const size_t lines = Lines().size();
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.ident) + " version " + std::to_string(c.version));
    phone().Send(QueryBytes(c.ident, c.version));
    Frame();
    auto r = OfMagic(phone().Take(), "CVHA");
    ASSERT_EQ(r.size(), c.entry ? 1u : 0u);
    if (!c.entry) continue;
    ASSERT_EQ(r[0].size(), 38u + 28u * c.runways);
    // Version, flags (index, scan done, reply), position, one airport and its runways.
    EXPECT_EQ(Vals<uint16_t>(r[0], 4, 2), (std::vector<uint16_t>{1, 7}));
    EXPECT_EQ(Vals<uint16_t>(r[0], 16, 2), (std::vector<uint16_t>{1, c.runways}));
    EXPECT_EQ(r[0].substr(20, 8), (c.entry + std::string(8, '\0')).substr(0, 8));
    EXPECT_EQ(Vals<float>(r[0], 8, 2), Vals<float>(r[0], 28, 2)) << "the entry repeats the position";
    EXPECT_EQ(Vals<float>(r[0], 8, 2), (std::vector<float>{c.lat, c.lon}));
    std::vector<int16_t> widths, want = c.widths;
    for (int i = 0; i < c.runways; ++i) {
      EXPECT_EQ(Vals<uint16_t>(r[0], 36 + 28 * i, 1), std::vector<uint16_t>{0}) << "owner 0, then a zero byte";
      widths.push_back(Vals<int16_t>(r[0], 38 + 28 * i, 1)[0]);
      if (c.widths.empty()) want.push_back(static_cast<int16_t>((30.0f + i) * 10.0f));
    }
    EXPECT_EQ(widths, want);
    EXPECT_EQ(Vals<int16_t>(r[0], r[0].size() - 2, 1), std::vector<int16_t>{c.elevation});
  }
  EXPECT_EQ(Lines().size(), lines) << "queries are never logged";
  Hello();
  Frame(5.0f);
  EXPECT_EQ(ReportField("recv") + " " + ReportField("bad"), "1 0")
      << "the senders became the peer all the same, and nothing was counted";
}

}  // namespace
