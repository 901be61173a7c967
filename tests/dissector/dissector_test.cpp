// The Wireshark dissector, run by tshark on a capture of what the real plug-in and a phone exchanged: each
// packet kind shows what was sent, down to its last field, and every copy one byte short is marked malformed.
#include "plugin_fixture.h"

using namespace cvhttest;

TEST_F(PluginTest, DissectorShowsEveryKindAsSentAndMarksEveryShortCopy) {
  ASSERT_TRUE(std::filesystem::exists(CVHT_TSHARK)) << "tshark is missing: run scripts/install-deps.sh, reconfigure";
  simxp::SetMetar("LSZH", "LSZH 071220Z 24005KT 9999 FEW030 08/03 Q1018 NOSIG");
  simxp::SetFloat("sim/time/total_flight_time_sec", 321.5f);
  WriteApt(AptText().Airport("LSZH", 1416, 47.464722, 8.549167, 2).Airport("LSZK", 1352, 47.52, 8.55, 1).Text());
  StartAndAwaitScan();
  std::vector<std::string> flight = {PoseBytes(7, {0.01f, 0, 0, 20, -5, 1.5f}), QueryBytes("LSZH")};
  for (const auto &d : flight) phone().Send(d);
  Frame(5.0f);  // every periodic packet is due
  for (auto &p : phone().Take()) flight.push_back(p);
  // text2pcap wraps each line's bytes in IPv4 and UDP headers; tshark reads the capture with our dissector
  // and a configuration folder of its own, so no personal profile counts.
  std::string dump;
  for (size_t i = 0, size = flight.size(); i < 2 * size; ++i) {
    dump += "0000";
    for (unsigned char c : i < size ? flight[i] : flight[i - size].substr(0, flight[i - size].size() - 1)) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02x", c);
      dump += hex;
    }
    dump += "\n";
  }
  TempDir work;
  const std::string cmd = "text2pcap -q -4 127.0.0.1,127.0.0.1 -u 50000,49707 " + work.Write("dump", dump) +
                          " - | env -i HOME=" + work.Path() + " XDG_CONFIG_HOME=" + work.Path() +
                          " PATH=/usr/bin:/bin LC_ALL=C.UTF-8 " CVHT_TSHARK " -n -r - -X lua_script:" CVHT_DISSECTOR_LUA
                          " -T fields -E occurrence=a -E aggregator=, -e _ws.col.Info -e cvht.pose.roll"
                          " -e cvht.status.drained -e cvht.status.trackDeg -e cvht.flight.simTimeSec"
                          " -e cvht.runway.lat2 -e cvht.runway.widthDm -e cvht.airport.elevationFt -e cvht.weather.metar"
                          " 2>" + work.Path() + "/err";
  FILE *p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[65536];
  for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int status = p ? pclose(p) : -1;
  std::ifstream err(work.Path() + "/err");
  EXPECT_EQ(status, 0) << err.rdbuf();
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(err), {}).find("Lua"), std::string::npos);
  EXPECT_EQ(out,
            "Pose seq=7\t1.5\t\t\t\t\t\t\t\n"
            "Query LSZH\t\t\t\t\t\t\t\t\n"
            "Airport reply LSZH, 2 runways, 1416 ft\t\t\t\t\t47.4747,47.4747\t300,310\t1416\t\n"
            "Status seq=7 blend=0.00\t\t1\t273\t\t\t\t\t\n"
            "Flight state on ground agl=0 ft\t\t\t\t321.5\t\t\t\t\n"
            "Airports 2 nearby, 3 runways\t\t\t\t\t47.4747,47.4747,47.53\t300,310,300\t\t\n"
            "Weather 250/10 kt QNH 1013.25 hPa, METAR LSZH\t\t\t\t\t\t\t\t"
            "LSZH 071220Z 24005KT 9999 FEW030 08/03 Q1018 NOSIG\n"
            "Identity HB-CVH C172\t\t\t\t\t\t\t\t\n"
            "Pose seq=7 [Malformed: length 47, expected 48]\t\t\t\t\t\t\t\t\n"
            "Query LSZH [Malformed: length 13, expected 14]\t\t\t\t\t\t\t\t\n"
            "Airport reply LSZH, 2 runways [Malformed: 1 airports, 2 runways in 93 bytes]"
            "\t\t\t\t\t47.4747,47.4747\t300,310\t\t\n"
            "Status seq=7 blend=0.00 [Malformed: length 79, expected 80]\t\t1\t\t\t\t\t\t\n"
            "Flight state on ground agl=0 ft [Malformed: length 19, expected 20]\t\t\t\t\t\t\t\t\n"
            "Airports 2 nearby, 3 runways [Malformed: 2 airports, 3 runways in 135 bytes]"
            "\t\t\t\t\t47.4747,47.4747\t300,310\t\t\n"
            "Weather 250/10 kt QNH 1013.25 hPa, METAR LSZH [Malformed: length 185, expected 186]\t\t\t\t\t\t\t\t\n"
            "Identity [Malformed: length 87, expected 88]\t\t\t\t\t\t\t\t\n");
}
