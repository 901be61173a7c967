// Telemetry to the phone and the airport query, decoded from what the real plug-in sends.
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "plugin_fixture.h"

using namespace cvhttest;

namespace {

// Writes apt.dat text: each airport a header, its runways and (when given) its datum.
class AptText {
 public:
  AptText() { out_ << "I\n1200 Generated for telemetry tests\n\n"; }
  AptText &Airport(const std::string &ident, int elevationFt, double lat, double lon, int runways = 0,
                   bool datum = true) {
    out_ << "1 " << elevationFt << " 0 0 " << ident << " Test field " << ident << "\n";
    for (int r = 0; r < runways; ++r) {
      char row[256];
      std::snprintf(row, sizeof row,
                    "100 %.2f 1 0 0.25 1 3 0 %02dL %.8f %.8f 0 0 3 2 1 0 %02dR %.8f %.8f 0 0 3 2 1 0\n",
                    30.0 + r, r % 36 + 1, lat - 0.01, lon - 0.01 * r, (r + 18) % 36 + 1, lat + 0.01, lon + 0.01 * r);
      out_ << row;
    }
    if (datum) {
      char row[128];
      std::snprintf(row, sizeof row, "1302 datum_lat %.8f\n1302 datum_lon %.8f\n", lat, lon);
      out_ << row;
    }
    return *this;
  }
  std::string Text() const { return out_.str() + "99\n"; }

 private:
  std::ostringstream out_;
};

constexpr double kLat = 47.4647, kLon = 8.5492;  // the standard aircraft's position

class TelemetryTest : public PluginTest {
 protected:
  std::string AptPath() const { return system_.Path() + "/" + kAptRel; }
  // Makes the phone known and runs frames until the next airport packet.
  std::string NextOf(const char *magic, int maxFrames = 400) {
    for (int i = 0; i < maxFrames; ++i) {
      Frame();
      auto got = OfMagic(phone().Take(), magic);
      if (!got.empty()) return got.back();
    }
    return "";
  }
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

}  // namespace

TEST_F(TelemetryTest, RatesAtSixtyFramesPerSecond) {
  ASSERT_EQ(Start(), 1);
  Hello();
  std::map<std::string, int> count;
  // Ten seconds of frames; a sum of 60 single-precision sixtieths falls a hair short of 1.0, so each
  // period ends one frame late and the tenth second needs a few frames more.
  for (int f = 0; f < 610; ++f) {
    Frame();
    for (const auto &p : phone().Take()) ++count[p.substr(0, 4)];
  }
  EXPECT_EQ(count["CVHS"], 610);
  EXPECT_EQ(count["CVHF"], 610);
  EXPECT_EQ(count["CVHA"], 10);
  EXPECT_EQ(count["CVHW"], 5);
  EXPECT_EQ(count["CVHI"], 2);
  EXPECT_EQ(count.size(), 5u);
}

TEST_F(TelemetryTest, StatusCarriesFlightDataConverted) {
  simxp::SetFloat("sim/flightmodel/position/true_airspeed", 100.0f);
  simxp::SetFloat("sim/flightmodel/position/groundspeed", 50.0f);
  simxp::SetFloat("sim/flightmodel/position/indicated_airspeed", 97.0f);
  simxp::SetFloat("sim/flightmodel/position/vh_ind_fpm", -500.0f);
  ASSERT_EQ(Start(), 1);
  phone().Send(QueryBytes("NONE"));  // a query makes the peer without a pose
  Frame();
  auto st = OfMagic(phone().Take(), "CVHS");
  ASSERT_EQ(st.size(), 1u);
  ASSERT_EQ(st[0].size(), 80u);
  auto s = As<cvht::StatusPacket>(st[0]);
  EXPECT_EQ(std::string(s.magic, 4), "CVHS");
  EXPECT_EQ(s.version, 4);
  EXPECT_EQ(s.flags, cvht::kStatusAlways) << "no pose yet: not fresh";
  EXPECT_EQ(s.viewType, 1026);
  EXPECT_EQ(s.dataFlags, cvht::kDataFlight | cvht::kDataTrack);
  EXPECT_EQ(s.reserved, 0);
  EXPECT_FLOAT_EQ(s.pitchDeg, 2.5f);
  EXPECT_FLOAT_EQ(s.rollDeg, -0.5f);
  EXPECT_FLOAT_EQ(s.iasKt, 97.0f);
  EXPECT_FLOAT_EQ(s.altFt, 433.0f);
  EXPECT_FLOAT_EQ(s.vsFpm, -500.0f);
  EXPECT_FLOAT_EQ(s.headingMagDeg, 271.0f);
  EXPECT_EQ(s.tasKt, 100.0f * 1.94384f);
  EXPECT_NEAR(s.tasKt, 194.384f, 1e-3f);
  EXPECT_EQ(s.gsKt, 50.0f * 1.94384f);
  EXPECT_EQ(s.lat, static_cast<float>(kLat));
  EXPECT_EQ(s.lon, static_cast<float>(kLon));
  EXPECT_EQ(s.seq, 0u);
  EXPECT_EQ(s.drained, 0u);
  for (uint8_t b : s.echo) EXPECT_EQ(b, 0);
  EXPECT_FLOAT_EQ(s.trackDeg, 273.0f);
}

TEST_F(TelemetryTest, MissingFlightGroupClearsItsFieldsAndStopsAirportPackets) {
  simxp::Omit(simxp::kFlightRefs[9]);
  simxp::Omit(simxp::kTrackRef);
  WriteApt(AptText().Airport("LSZH", 1416, kLat, kLon, 2).Text());
  StartAndAwaitScan();
  Hello();
  Frames(130);
  auto all = phone().Take();
  EXPECT_TRUE(OfMagic(all, "CVHA").empty()) << "no airport packet without the flight datarefs";
  auto st = OfMagic(all, "CVHS");
  ASSERT_FALSE(st.empty());
  const std::string &b = st.back();
  EXPECT_EQ(As<cvht::StatusPacket>(b).dataFlags, 0);
  for (size_t i = 20; i < 60; ++i) EXPECT_EQ(b[i], 0) << "byte " << i;
  for (size_t i = 76; i < 80; ++i) EXPECT_EQ(b[i], 0) << "byte " << i;
}

struct FlightStateCase {
  const char *what;
  int onGround, paused, replay;
  std::vector<std::string> omit;
  uint16_t flags;
};

void PrintTo(const FlightStateCase &c, std::ostream *os) { *os << c.what; }

class FlightState : public TelemetryTest, public ::testing::WithParamInterface<FlightStateCase> {};

TEST_P(FlightState, FlagsFollowTheDatarefs) {
  const auto &c = GetParam();
  for (const auto &name : c.omit) simxp::Omit(name);
  simxp::SetInt("sim/flightmodel/failures/onground_any", c.onGround);
  simxp::SetInt("sim/time/paused", c.paused);
  simxp::SetInt("sim/time/is_in_replay", c.replay);
  simxp::SetFloat("sim/flightmodel/position/y_agl", 10.0f);
  simxp::SetFloat("sim/flightmodel/forces/g_nrml", 1.25f);
  simxp::SetFloat("sim/time/total_flight_time_sec", 321.5f);
  ASSERT_EQ(Start(), 1);
  Hello();
  Frame();
  auto fs = OfMagic(phone().Take(), "CVHF");
  ASSERT_EQ(fs.size(), 1u);
  ASSERT_EQ(fs[0].size(), 20u);
  auto p = As<cvht::FlightStatePacket>(fs[0]);
  EXPECT_EQ(p.version, 1);
  EXPECT_EQ(p.flags, c.flags) << c.what;
  EXPECT_EQ(p.aglFt, (p.flags & cvht::kFsAgl) ? 10.0f * 3.28084f : 0.0f);
  EXPECT_EQ(p.loadFactor, (p.flags & cvht::kFsLoad) ? 1.25f : 0.0f);
  EXPECT_EQ(p.simTimeSec, (p.flags & cvht::kFsSimTime) ? 321.5f : 0.0f);
}

INSTANTIATE_TEST_SUITE_P(
    Telemetry, FlightState,
    ::testing::Values(FlightStateCase{"on the ground", 1, 0, 0, {}, 0x3F},
                      FlightStateCase{"in flight", 0, 0, 0, {}, 0x3D},
                      FlightStateCase{"paused", 0, 1, 0, {}, 0x7D},
                      FlightStateCase{"in replay on the ground", 1, 0, 1, {}, 0xBF},
                      FlightStateCase{"no height above ground", 1, 0, 0, {"sim/flightmodel/position/y_agl"}, 0x3B},
                      FlightStateCase{"no on-ground", 1, 0, 0, {"sim/flightmodel/failures/onground_any"}, 0x3C},
                      FlightStateCase{"pause known only with replay", 0, 1, 1, {"sim/time/paused"}, 0x1D},
                      FlightStateCase{"pause known only with pause", 0, 1, 1, {"sim/time/is_in_replay"}, 0x1D},
                      FlightStateCase{"nothing", 1, 1, 1, {"sim/flightmodel/failures/onground_any",
                                      "sim/flightmodel/position/y_agl", "sim/flightmodel/forces/g_nrml",
                                      "sim/time/total_flight_time_sec", "sim/time/paused", "sim/time/is_in_replay"}, 0}));

TEST_F(TelemetryTest, AirportPacketsAfterAFailedScanSayFinishedWithoutIndex) {
  StartAndAwaitScan();
  Hello();
  std::string a = NextOf("CVHA");
  ASSERT_EQ(a.size(), 20u);
  auto h = As<cvht::AirportPacketHeader>(a);
  EXPECT_EQ(h.flags, cvht::kAirportScanDone);
  EXPECT_EQ(h.airportCount, 0);
  EXPECT_EQ(h.lat, static_cast<float>(kLat));
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

TEST_F(TelemetryTest, NearestFortyFourWithTheRunwaysOfTheFirstFour) {
  AptText apt;
  apt.Airport("FAR1", 100, kLat + 3.0, kLon, 2);  // 180 nm north: outside
  // 50 airports within 150 nm, every one 0.02 degrees further north; the nearest has 30 runways.
  for (int i = 0; i < 50; ++i)
    apt.Airport("N" + std::to_string(100 + i), 400 + i, kLat + 0.02 * (i + 1), kLon, i == 0 ? 30 : 3);
  WriteApt(apt.Text());
  StartAndAwaitScan();
  Hello();
  std::string a = NextOf("CVHA");
  ASSERT_EQ(a.size(), 20u + 16u * 44 + 28u * 24);
  auto h = As<cvht::AirportPacketHeader>(a);
  EXPECT_EQ(h.flags, cvht::kAirportIndexAvailable | cvht::kAirportScanDone);
  EXPECT_EQ(h.airportCount, 44);
  EXPECT_EQ(h.runwayCount, 24);
  for (int i = 0; i < 44; ++i) {
    auto e = As<cvht::AirportEntry>(a.substr(20 + 16 * i));
    EXPECT_EQ(std::string(e.ident), "N" + std::to_string(100 + i)) << "entry " << i;
    EXPECT_EQ(e.lat, static_cast<float>(kLat + 0.02 * (i + 1)));
  }
  for (int r = 0; r < 24; ++r) {
    auto e = As<cvht::RunwayEntry>(a.substr(20 + 16 * 44 + 28 * r));
    EXPECT_EQ(e.airport, 0) << "runway " << r;
    EXPECT_EQ(e.zero, 0);
    EXPECT_EQ(e.widthDm, static_cast<int16_t>((30.0f + r) * 10.0f));
    char end1[8];
    std::snprintf(end1, sizeof end1, "%02dL", r % 36 + 1);
    EXPECT_EQ(std::string(e.end1, strnlen(e.end1, 4)), end1);
    EXPECT_EQ(e.end1[3], 0);
  }
}

TEST_F(TelemetryTest, RunwaysComeFromTheFirstFourAirportsOnly) {
  AptText apt;
  for (int i = 0; i < 6; ++i) apt.Airport("A" + std::to_string(i), 500, kLat + 0.1 * i, kLon, 2);
  WriteApt(apt.Text());
  StartAndAwaitScan();
  Hello();
  std::string a = NextOf("CVHA");
  auto h = As<cvht::AirportPacketHeader>(a);
  ASSERT_EQ(h.airportCount, 6);
  ASSERT_EQ(h.runwayCount, 8);
  ASSERT_EQ(a.size(), 20u + 16u * 6 + 28u * 8);
  for (int r = 0; r < 8; ++r) {
    auto e = As<cvht::RunwayEntry>(a.substr(20 + 16 * 6 + 28 * r));
    EXPECT_EQ(e.airport, r / 2);
    EXPECT_EQ(e.lat1, static_cast<float>(kLat + 0.1 * (r / 2) - 0.01));
  }
}

TEST_F(TelemetryTest, NoAirportNearbyEmptiesTheNearestAndItsMetar) {
  simxp::SetMetar("LSZH", "LSZH 071220Z 24005KT 9999 FEW030 08/03 Q1018 NOSIG");
  std::string w = WeatherAtLszh();
  auto wp = As<cvht::WeatherPacket>(w);
  EXPECT_EQ(wp.flags, cvht::kWeatherValid | cvht::kWeatherMetar);
  EXPECT_EQ(std::string(wp.metarStation), "LSZH");
  EXPECT_EQ(std::string(wp.metar), "LSZH 071220Z 24005KT 9999 FEW030 08/03 Q1018 NOSIG");

  // Fly 300 nm away: the next airport packet is empty and the METAR goes with it.
  simxp::SetDouble("sim/flightmodel/position/latitude", kLat + 5.0);
  std::string a = NextOf("CVHA");
  ASSERT_EQ(a.size(), 20u);
  EXPECT_EQ(As<cvht::AirportPacketHeader>(a).flags, cvht::kAirportIndexAvailable | cvht::kAirportScanDone);
  wp = As<cvht::WeatherPacket>(NextOf("CVHW"));
  EXPECT_EQ(wp.flags, cvht::kWeatherValid);
  EXPECT_EQ(wp.metarStation[0], 0);
  EXPECT_EQ(wp.metar[0], 0);
}

TEST_F(TelemetryTest, WeatherIsConvertedAndTheMetarCut) {
  simxp::SetMetarUnterminated("LSZH", 'M');
  auto w = As<cvht::WeatherPacket>(WeatherAtLszh());
  EXPECT_EQ(w.version, 1);
  EXPECT_EQ(w.windDirDeg, 250.0f);
  EXPECT_EQ(w.windKt, 5.0f * 1.94384f);
  EXPECT_EQ(w.qnhHpa, 101325.0f / 100.0f);
  EXPECT_NEAR(w.qnhHpa, 1013.25f, 1e-3f);
  EXPECT_EQ(w.visSm, 10.0f);
  EXPECT_EQ(w.oatC, 15.0f);
  EXPECT_EQ(strnlen(w.metar, sizeof w.metar), 149u);
  EXPECT_EQ(std::string(w.metar, 149), std::string(149, 'M'));
  EXPECT_EQ(simxp::MetarRequests().back(), "LSZH");
}

TEST_F(TelemetryTest, WithoutMetarFunctionOrWeatherTheWeatherPacketStillGoesOut) {
  simxp::SetMetarFunction(false);
  simxp::Omit(simxp::kWeatherRefs[2]);
  simxp::SetMetar("LSZH", "LSZH 071220Z 24005KT");
  std::string w = WeatherAtLszh();
  EXPECT_EQ(As<cvht::WeatherPacket>(w).flags, 0);
  for (size_t i = 8; i < w.size(); ++i) ASSERT_EQ(w[i], 0) << "byte " << i;
}

TEST_F(TelemetryTest, IdentityIsCutAtThirtyNineOrItsNul) {
  simxp::SetBytes("sim/aircraft/view/acf_tailnum", std::string(45, 'T'));
  simxp::SetBytes("sim/aircraft/view/acf_ICAO", std::string("B738\0ZZZZ", 9));
  ASSERT_EQ(Start(), 1);
  Hello();
  std::string id = NextOf("CVHI", 400);
  ASSERT_EQ(id.size(), 88u);
  auto p = As<cvht::IdentityPacket>(id);
  EXPECT_EQ(p.flags, cvht::kIdentityTail | cvht::kIdentityIcao);
  EXPECT_EQ(std::string(p.tailNumber), std::string(39, 'T'));
  EXPECT_EQ(std::string(p.icaoType), "B738");
  for (size_t i = 8 + 39; i < 48; ++i) EXPECT_EQ(id[i], 0);
  for (size_t i = 48 + 4; i < 88; ++i) EXPECT_EQ(id[i], 0);
}

TEST_F(TelemetryTest, AircraftLoadSendsIdentityOnTheNextFrame) {
  simxp::Omit("sim/aircraft/view/acf_ICAO");
  ASSERT_EQ(Start(), 1);
  Hello();
  Frames(10);
  phone().Take();
  simxp::SetBytes("sim/aircraft/view/acf_tailnum", "N172SP");
  plugin_.Message(0, 102, nullptr);
  Frame();
  auto ids = OfMagic(phone().Take(), "CVHI");
  ASSERT_EQ(ids.size(), 1u);
  auto p = As<cvht::IdentityPacket>(ids[0]);
  EXPECT_EQ(p.flags, cvht::kIdentityTail);
  EXPECT_EQ(std::string(p.tailNumber), "N172SP");
  EXPECT_EQ(p.icaoType[0], 0);
}

TEST_F(TelemetryTest, ALongFrameSendsOneAndKeepsTheRemainder) {
  ASSERT_EQ(Start(), 1);
  Hello();
  Frame(4.5f);
  EXPECT_EQ(OfMagic(phone().Take(), "CVHA").size(), 1u);
  for (int i = 0; i < 3; ++i) {
    Frame(0.0001f);
    EXPECT_EQ(OfMagic(phone().Take(), "CVHA").size(), 1u) << "catch-up frame " << i;
  }
  Frame(0.0001f);
  EXPECT_TRUE(OfMagic(phone().Take(), "CVHA").empty());
  Frames(30);
  EXPECT_EQ(OfMagic(phone().Take(), "CVHA").size(), 1u) << "0.5 s left, so due again within 30 frames";
}

// ---- The airport query.

class QueryTest : public TelemetryTest {
 protected:
  void SetUp() override {
    TelemetryTest::SetUp();
    AptText apt;
    apt.Airport("LSZH", 1416, 47.464722, 8.549167, 3)
        .Airport("ALPS7CH", 30000, 46.5, 8.0, 1)
        .Airport("HIGH", 30001, 46.6, 8.1, 1)
        .Airport("DEEP", -2001, 31.5, 35.5, 1)
        .Airport("LOW", -2000, 31.6, 35.6, 1)
        .Airport("BIG", 500, 48.0, 9.0, 30)
        .Airport("NORWY", 12, 45.0, 7.0, 0)
        .Airport("lszh", 1, 10.0, 10.0, 1);
    WriteApt(apt.Text());
    StartAndAwaitScan();
  }
  std::vector<std::string> Ask(const std::string &ident, uint16_t version = 1) {
    phone().Send(QueryBytes(ident, version));
    Frame();
    return OfMagic(phone().Take(), "CVHA");
  }
  static int16_t Elevation(const std::string &reply) {
    int16_t e;
    std::memcpy(&e, reply.data() + reply.size() - 2, 2);
    return e;
  }
};

TEST_F(QueryTest, ReplyCarriesPositionRunwaysAndElevation) {
  auto r = Ask("LSZH");
  ASSERT_EQ(r.size(), 1u);
  ASSERT_EQ(r[0].size(), 38u + 3 * 28u);
  auto h = As<cvht::AirportPacketHeader>(r[0]);
  EXPECT_EQ(h.version, 1);
  EXPECT_EQ(h.flags, 7);
  EXPECT_EQ(h.lat, static_cast<float>(47.464722));
  EXPECT_EQ(h.lon, static_cast<float>(8.549167));
  EXPECT_EQ(h.airportCount, 1);
  EXPECT_EQ(h.runwayCount, 3);
  auto e = As<cvht::AirportEntry>(r[0].substr(20));
  EXPECT_EQ(std::string(e.ident), "LSZH");
  EXPECT_EQ(e.lat, h.lat);
  for (int i = 0; i < 3; ++i) {
    auto rw = As<cvht::RunwayEntry>(r[0].substr(36 + 28 * i));
    EXPECT_EQ(rw.airport, 0);
    EXPECT_EQ(rw.widthDm, static_cast<int16_t>((30.0f + i) * 10.0f));
  }
  EXPECT_EQ(Elevation(r[0]), 1416);
}

TEST_F(TelemetryTest, RunwayWidthsAreTruncatedHeldAtTheEndsAndZeroWhenNotFinite) {
  const std::pair<std::string, int16_t> cases[] = {{"45.72", 457},  {"-0.99", -9},   {"1e30", 32767},
                                                   {"-1e30", -32768}, {"inf", 0},     {"-inf", 0},
                                                   {"nan", 0}};
  std::string text = "I\n1200 Generated\n1 1416 0 0 WIDE Widths\n";
  for (const auto &c : cases) text += "100 " + c.first + " 1 0 0.25 1 3 0 09 47.46 8.54 0 0 3 2 1 0 27 47.47 8.56 0 0 3 2 1 0\n";
  WriteApt(text + "99\n");
  StartAndAwaitScan();
  phone().Send(QueryBytes("WIDE"));
  Frame();
  auto r = OfMagic(phone().Take(), "CVHA");
  ASSERT_EQ(r.size(), 1u);
  ASSERT_EQ(r[0].size(), 38u + std::size(cases) * 28u);
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(As<cvht::RunwayEntry>(r[0].substr(36 + 28 * i)).widthDm, cases[i].second) << "width " << cases[i].first;
}

// Which airport a query gets (told by its latitude), and the reply's runways and elevation; -32768
// is an unknown elevation, and a size of 0 means no reply at all.
TEST_F(QueryTest, AnswersFollowTheIdentifierVersionAndLimits) {
  struct Case {
    const char *ident;
    uint16_t version;
    size_t size;
    uint16_t runways;
    float lat;
    int16_t elevation;
  } cases[] = {
      {"ALPS7CHX", 1, 38 + 28, 1, 46.5f, 30000},  // eight characters: the eighth does not count
      {"HIGH", 1, 38 + 28, 1, 46.6f, -32768},
      {"DEEP", 1, 38 + 28, 1, 31.5f, -32768},
      {"LOW", 1, 38 + 28, 1, 31.6f, -2000},
      {"BIG", 1, 38 + 24 * 28, 24, 48.0f, 500},  // thirty runways, twenty-four answered
      {"NORWY", 1, 38, 0, 45.0f, 12},
      {"lszh", 1, 38 + 28, 1, 10.0f, 1},  // case-sensitive
      {"LSZH", 2, 0, 0, 0, 0},
      {"XXXX", 1, 0, 0, 0, 0},
      {"LSZ", 1, 0, 0, 0, 0},
      {"LSZHZZ", 1, 0, 0, 0, 0},  // only its first four letters match LSZH
      {"", 1, 0, 0, 0, 0},
  };
  const size_t lines = Lines().size();
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.ident) + " version " + std::to_string(c.version));
    auto r = Ask(c.ident, c.version);
    ASSERT_EQ(r.size(), c.size ? 1u : 0u);
    if (!c.size) continue;
    EXPECT_EQ(r[0].size(), c.size);
    auto h = As<cvht::AirportPacketHeader>(r[0]);
    EXPECT_EQ(h.runwayCount, c.runways);
    EXPECT_EQ(h.lat, c.lat);
    EXPECT_EQ(Elevation(r[0]), c.elevation);
  }
  EXPECT_EQ(std::string(As<cvht::AirportEntry>(Ask("ALPS7CHX").at(0).substr(20)).ident), "ALPS7CH");
  EXPECT_EQ(Lines().size(), lines) << "queries are never logged";
  // The senders became the peer all the same, and nothing was counted.
  phone().Send(PoseBytes(1));
  Frame(5.0f);
  auto report = LinesStartingWith("recv=");
  ASSERT_EQ(report.size(), 1u);
  EXPECT_NE(report[0].find("recv=1 "), std::string::npos) << report[0];
  EXPECT_NE(report[0].find(" bad=0 "), std::string::npos) << report[0];
}
