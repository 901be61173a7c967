// Telemetry to the phone and the airport query, decoded from what the real plug-in sends.
#include <fcntl.h>
#include <sys/stat.h>

#include "plugin_fixture.h"

using namespace cvhttest;

namespace {

constexpr double kLat = 47.4647, kLon = 8.5492;  // the standard aircraft's position

class TelemetryTest : public PluginTest {
 protected:
  // Runs frames until the next packet of this magic.
  std::string NextOf(const char *magic) {
    for (int i = 0; i < 400; ++i) {
      Frame();
      auto got = OfMagic(phone().Take(), magic);
      if (!got.empty()) return got.back();
    }
    return "";
  }
};

TEST_F(TelemetryTest, StatusCarriesFlightDataConvertedAndEachPacketGoesAtItsRate) {
  simxp::SetFloat("sim/flightmodel/position/true_airspeed", 100.0f);
  simxp::SetFloat("sim/flightmodel/position/groundspeed", 50.0f);
  simxp::SetFloat("sim/flightmodel/position/indicated_airspeed", 97.0f);
  simxp::SetFloat("sim/flightmodel/position/vh_ind_fpm", -500.0f);
  simxp::SetBytes("sim/aircraft/view/acf_tailnum", std::string(45, 'T'));
  simxp::SetBytes("sim/aircraft/view/acf_ICAO", std::string("B738\0ZZZZ", 9));
  ASSERT_EQ(Start(), 1);
  phone().Send(QueryBytes("NONE"));  // a query makes the peer without a pose
  std::map<std::string, int> count;
  std::map<std::string, std::string> first;
  // Ten seconds of frames; a sum of 60 single-precision sixtieths falls a hair short of 1.0, so each
  // period ends one frame late and the tenth second needs a few frames more.
  for (int f = 0; f < 610; ++f) {
    Frame();
    for (const auto &p : phone().Take()) {
      first.emplace(p.substr(0, 4), p);
      ++count[p.substr(0, 4)];
    }
  }
  EXPECT_EQ(count, (std::map<std::string, int>{{"CVHA", 10}, {"CVHF", 610}, {"CVHI", 2}, {"CVHS", 610}, {"CVHW", 5}}));
  // No pose yet, so not fresh; view type; data flags: flight and track; pitch, roll, IAS, altitude, vertical
  // speed, magnetic heading, TAS and ground speed in knots, position; no echo, seq or drained; ground track.
  EXPECT_EQ(first["CVHS"], Bytes(cvht::StatusPacket{{'C', 'V', 'H', 'S'}, 4, cvht::kStatusAlways, 0, 1026, 3, 0, 2.5f,
                                                   -0.5f, 97.0f, 433.0f, -500.0f, 271.0f, 194.384f,
                                                   97.192f, float(kLat), float(kLon), {}, 0, 0, 273.0f}));
  // The identity: the tail number cut at 39 characters, the type at its NUL.
  EXPECT_EQ(first["CVHI"], std::string("CVHI\x01\0\x03\0", 8) + std::string(39, 'T') + std::string(1, '\0') + "B738" +
                               std::string(36, '\0'));
}

// Each optional group missing is named once at start, which goes on; its fields then go out clear, and
// without the flight group no airport packet goes out at all. Any one flight dataref missing counts, the
// first checked as much as the last. A missing view type is sent as 0 and reported as -1.
TEST_F(TelemetryTest, OptionalGroupsMissingAreReportedAndSentClear) {
  for (int flight : {4, 9}) {
    SCOPED_TRACE(simxp::kFlightRefs[flight]);
    // The last omitted: height above ground.
    Fresh({simxp::kFlightRefs[flight], simxp::kTrackRef, simxp::kWeatherRefs[0], simxp::kFlightStateRefs[1],
           simxp::kViewTypeRef});
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
    phone().Send(PoseBytes(1));
    Frames(130);
    auto all = phone().Take();
    EXPECT_TRUE(OfMagic(all, "CVHA").empty());
    auto st = OfMagic(all, "CVHS");
    ASSERT_FALSE(st.empty());
    EXPECT_EQ(st.back().substr(12, 48), std::string(48, '\0')) << "view type, data flags and flight data";
    EXPECT_EQ(st.back().substr(76, 4), std::string(4, '\0'));
    auto w = OfMagic(all, "CVHW");
    ASSERT_FALSE(w.empty());
    EXPECT_EQ(w.back(), std::string("CVHW\x01\0", 6) + std::string(180, '\0'));
    Frame(5.0f);
    EXPECT_EQ(LinesStartingWith("link ").back(), "CVHT: link peer=yes proto=ok view=-1 bonjour=off");
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
      {"nothing", 1, 1, 1,
       {"sim/flightmodel/failures/onground_any", "sim/flightmodel/position/y_agl", "sim/flightmodel/forces/g_nrml",
        "sim/time/total_flight_time_sec", "sim/time/paused", "sim/time/is_in_replay"}, 0},
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
    phone().Send(PoseBytes(1));
    Frame();
    const auto has = [&](uint16_t bit, float v) { return (c.flags & bit) ? v : 0.0f; };
    EXPECT_EQ(OfMagic(phone().Take(), "CVHF"),
              std::vector<std::string>{Bytes(cvht::FlightStatePacket{{'C', 'V', 'H', 'F'}, 1, c.flags,
                                                                      has(cvht::kFsAgl, 32.8084f),
                                                                      has(cvht::kFsLoad, 1.25f),
                                                                      has(cvht::kFsSimTime, 321.5f)})});
  }
}

// The airport packet is due once a second; a frame of 4.5 s sends one and owes the others.
TEST_F(TelemetryTest, ALongFrameSendsOneAndKeepsTheRemainder) {
  StartAndAwaitScan();
  phone().Send(PoseBytes(1));
  Frame(4.5f);
  EXPECT_EQ(OfMagic(phone().Take(), "CVHA"),
            std::vector<std::string>{Bytes(cvht::AirportPacketHeader{
                {'C', 'V', 'H', 'A'}, 1, cvht::kAirportScanDone, float(kLat), float(kLon), 0, 0})})
      << "a failed scan: finished, without index, no airports";
  std::vector<size_t> sent;  // three owed, one a frame; then 0.5 s left, so due again within 30 frames
  for (int frames : {1, 1, 1, 1, 30}) {
    Frames(frames, frames == 1 ? 0.0001f : 1.0f / 60.0f);
    sent.push_back(OfMagic(phone().Take(), "CVHA").size());
  }
  EXPECT_EQ(sent, (std::vector<size_t>{1, 1, 1, 0, 1}));
}

TEST_F(TelemetryTest, WhileTheScanRunsAirportPacketsAreEmptyAndQueriesUnanswered) {
  // apt.dat is a named pipe: the scan has opened it once a non-blocking open for writing succeeds, and
  // cannot reach its end before the test closes it, whatever the scheduler does. Should the test end
  // early, the pipe is released and removed before its end closes, so no open waits forever.
  const std::string path = system_.Path() + "/" + kAptRel;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  struct Pipe {
    std::string path;
    int fd = -1;
    ~Pipe() {
      if (fd < 0) fd = open(path.c_str(), O_RDWR | O_NONBLOCK);  // releases a scan waiting in its open
      unlink(path.c_str());
      if (fd >= 0) close(fd);
    }
  } pipe{path};
  ASSERT_EQ(Start(), 1);
  for (int i = 0; i < 5000 && pipe.fd < 0; ++i) {
    pipe.fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (pipe.fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_GE(pipe.fd, 0) << "the scan never opened apt.dat";
  const std::string text = AptText().Airport("LSZH", 1416, kLat, kLon, 2).Text();
  const size_t half = text.size() / 2;
  ASSERT_EQ(write(pipe.fd, text.data(), half), static_cast<ssize_t>(half));
  phone().Send(PoseBytes(1));
  EXPECT_EQ(NextOf("CVHA"), Bytes(cvht::AirportPacketHeader{{'C', 'V', 'H', 'A'}, 1, 0, float(kLat), float(kLon), 0, 0}))
      << "the scan is still reading";
  phone().Send(QueryBytes("LSZH"));
  Frame();
  EXPECT_TRUE(OfMagic(phone().Take(), "CVHA").empty());
  EXPECT_TRUE(LinesStartingWith("apt.dat ").empty());

  ASSERT_EQ(write(pipe.fd, text.data() + half, text.size() - half), static_cast<ssize_t>(text.size() - half));
  close(pipe.fd);
  pipe.fd = -1;
  EXPECT_EQ(AwaitScan(), std::vector<std::string>{"CVHT: apt.dat indexed: 1 airports, 2 runways"});
  EXPECT_EQ(As<cvht::AirportPacketHeader>(NextOf("CVHA")).flags, cvht::kAirportIndexAvailable | cvht::kAirportScanDone);
  const size_t lines = Lines().size();
  phone().Send(QueryBytes("LSZH"));
  Frame();
  EXPECT_EQ(Lines().size(), lines) << "queries are never logged";
  EXPECT_EQ(OfMagic(phone().Take(), "CVHA").size(), 1u) << "the query is answered";
}

// The nearest airports within 150 nm, closest first, at most 44; the runways of the nearest four, at
// most 24. `first` airports of `runways` runways each lie nearest, every next one 0.02 degrees further
// north; a 180 nm one lies outside. Weather every two seconds, with the METAR of the nearest airport cut to
// 149 characters; none without a nearest airport or without the METAR function.
TEST_F(TelemetryTest, NearestAirportsTheirRunwaysAndTheNearestMetar) {
  const struct {
    const char *what;
    int airports, first, runways;
    uint16_t sentAirports, sentRunways;
  } cases[] = {{"the nearest has thirty runways", 50, 1, 30, 44, 24}, {"six with two runways each", 6, 6, 2, 6, 8}};
  // Wind from and its speed in knots, QNH in hPa, visibility, temperature, the station and its METAR.
  cvht::WeatherPacket weather{{'C', 'V', 'H', 'W'}, 1, cvht::kWeatherValid | cvht::kWeatherMetar, 250.0f,
                              9.7192f, 1013.25f, 10.0f, 15.0f, "N100", {}};
  std::memset(weather.metar, 'M', 149);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    simxp::SetMetarUnterminated("N100", 'M');
    AptText apt;
    apt.Airport("FAR1", 100, kLat + 3.0, kLon, 2);
    for (int i = 0; i < c.airports; ++i)
      apt.Airport("N" + std::to_string(100 + i), 400 + i, kLat + 0.02 * (i + 1), kLon, i < c.first ? c.runways : 3);
    WriteApt(apt.Text());
    StartAndAwaitScan();
    phone().Send(PoseBytes(1));
    std::string a = NextOf("CVHA");
    // The packet built from what AptText wrote: header, airport entries, runway entries.
    std::string want = Bytes(cvht::AirportPacketHeader{{'C', 'V', 'H', 'A'}, 1, 3, float(kLat), float(kLon),
                                                       c.sentAirports, c.sentRunways});
    for (int i = 0; i < c.sentAirports; ++i)
      want += "N" + std::to_string(100 + i) + std::string(4, '\0') + Bytes(float(kLat + 0.02 * (i + 1))) +
              Bytes(float(kLon));
    for (int r = 0; r < c.sentRunways; ++r) {
      const int airport = r / c.runways, row = r % c.runways;
      const double lat = kLat + 0.02 * (airport + 1);
      cvht::RunwayEntry e{uint8_t(airport), 0, int16_t((30.0f + row) * 10.0f), {}, {}, float(lat - 0.01),
                          float(kLon - 0.01 * row), float(lat + 0.01), float(kLon + 0.01 * row)};
      std::snprintf(e.end1, sizeof e.end1, "%02dL", row % 36 + 1);
      std::snprintf(e.end2, sizeof e.end2, "%02dR", (row + 18) % 36 + 1);
      want += Bytes(e);
    }
    EXPECT_EQ(a, want);
    EXPECT_EQ(NextOf("CVHW"), Bytes(weather));
  }
  // Fly 300 nm south: the next airport packet is empty and the METAR goes with it.
  simxp::SetDouble("sim/flightmodel/position/latitude", kLat - 5.0);
  const float lat = float(kLat - 5.0);
  EXPECT_EQ(NextOf("CVHA"), Bytes(cvht::AirportPacketHeader{{'C', 'V', 'H', 'A'}, 1, 3, lat, float(kLon), 0, 0}));
  EXPECT_EQ(NextOf("CVHW"), Bytes(cvht::WeatherPacket{{'C', 'V', 'H', 'W'}, 1, cvht::kWeatherValid, 250.0f,
                                                      9.7192f, 1013.25f, 10.0f, 15.0f, "", {}}));
  // Without the METAR function or a weather dataref the packet still goes out, clear.
  Fresh({simxp::kWeatherRefs[2]});
  simxp::SetMetarFunction(false);
  simxp::SetMetar("N100", "N100 071220Z 24005KT");
  WriteApt(AptText().Airport("N100", 1416, kLat, kLon, 1).Text());
  StartAndAwaitScan();
  phone().Send(PoseBytes(1));
  EXPECT_EQ(As<cvht::AirportPacketHeader>(NextOf("CVHA")).airportCount, 1);
  EXPECT_EQ(NextOf("CVHW"), std::string("CVHW\x01\0", 6) + std::string(180, '\0'));
}

}  // namespace
