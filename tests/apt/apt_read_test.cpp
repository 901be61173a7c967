// The apt.dat reader on small hand-written files, one table of row rules, and the nearest-airport query.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "../support/temp_dir.h"
#include "apt/apt_index.h"
#include "aptgen.h"

using aptgen::Datum;
using aptgen::Header;
using aptgen::RunwayRow;
using namespace std::string_literals;

namespace {

// The index as one line: "IDENT(lat lon elevation) ... |" and then "owner:end1/end2" for each runway.
std::string Dump(const apt::Index &index) {
  std::string out;
  char item[96];
  for (const apt::Airport &a : index.airports) {
    std::snprintf(item, sizeof item, "%s(%.7g %.7g %d) ", a.ident, double(a.lat), double(a.lon), a.elevationFt);
    out += item;
  }
  out += "|";
  for (const apt::Runway &r : index.runways) out += " " + std::to_string(r.airport) + ":" + r.end1 + "/" + r.end2;
  return out;
}

// The row (its line end dropped) padded with blanks so that, ending eol, it is exactly bytes long.
std::string PadTo(std::string row, size_t bytes, const std::string &eol = "\n") {
  while (!row.empty() && (row.back() == '\n' || row.back() == '\r')) row.pop_back();
  if (row.size() + eol.size() < bytes) row.append(bytes - row.size() - eol.size(), ' ');
  return row + eol;
}

const aptgen::Style kTabs{"\t"};
const std::string kRwy = RunwayRow({{"09", "10.0", "20.0"}, {"27", "10.2", "20.4"}});
const std::string kTwenty = kRwy.substr(0, kRwy.rfind(" 20.4") + 5) + "\n";  // "100 30.00 ... 27 10.2 20.4"
const std::string kAt = "(10.1 20.2 100) ";  // an airport placed by kRwy alone

struct RowCase {
  std::string name, body, want;  // body follows the preamble
};

std::vector<RowCase> RowCases() {
  std::vector<RowCase> c = {
      {"PreambleOnly", "", "|"},
      // Rows starting with blanks, version rows, water runways, helipads, longer or look-alike codes.
      {"NotOurRows",
       " " + Header("LEAD") + kRwy + "1100 Generated 1 2 3 4\n1200 x x x x\n" + kRwy + Datum("5", "6") +
           Header("KAAA") + "101 49 1 04 10.0 20.0 22 10.2 20.4\n102 H1 10.0 20.0 0 10 10 1 0 0 0.25 0\n" + "1000 " +
           kRwy.substr(4) + "1001 " + kRwy.substr(4) + " " + kRwy +
           "13020 datum_lat 5\n1302datum_lat 5\n 1302 datum_lon 6\n1303 datum_lon 6\n1312 datum_lat 7\n99",
       "|"},
      {"TabsMixedBlanksAndCrlf",
       Header("KAAA", "100", aptgen::kLand, kTabs) + RunwayRow({{"09", "10", "20"}, {"27", "10.2", "20.4"}, "30"}, kTabs) +
           "1 \t 100\t\t0 0  KBBB Name\n" + PadTo(kRwy, 0, "\r\n") + Header("KCCC", "100", aptgen::kLand, kTabs) +
           "1302\tdatum_lat\t5.0\n1302\tdatum_lon\t6.0\n",
       "KAAA" + kAt + "KBBB" + kAt + "KCCC(5 6 100) | 0:09/27 1:09/27"},
      // Seaplane bases and heliports (tab or over-long rows too) close the airport before them; 160, 170 do not.
      {"SeaplaneBaseAndHeliportClose",
       Header("KAAA") + kRwy + Header("SEA1", "0", aptgen::kSeaplaneBase) + kRwy + Header("KBBB") + kRwy + Header("HEL1", "0", aptgen::kHeliport, kTabs) +
           kRwy + Header("KCCC") + kRwy + PadTo(Header("HEL2", "0", aptgen::kHeliport), 4000) + kRwy + Header("KDDD") + kRwy +
           "160 1 2 3\n170 1 2\n" + kRwy,
       "KAAA" + kAt + "KBBB" + kAt + "KCCC" + kAt + "KDDD" + kAt + "| 0:09/27 1:09/27 2:09/27 3:09/27 3:09/27"},
      {"NoFinalNewline", Header("KAAA") + kRwy.substr(0, kRwy.size() - 1), "KAAA" + kAt + "| 0:09/27"},
      {"HeaderWithoutNewlineAtEndHasNoPosition", Header("KAAA") + kRwy + "1 5 0 0 KBBB", "KAAA" + kAt + "| 0:09/27"},
      {"PositionIsMeanOfRunwayEnds", Header("TWO") + kRwy + RunwayRow({{"18", "11.0", "21.0"}, {"36", "11.2", "21.8"}}),
       "TWO(10.6 20.8 100) | 0:09/27 0:18/36"},
      // AGAIN: once set the datum stays set and later rows still replace its values, so it ends at 0, 0. One
      // non-zero datum value sets the datum (HALF); the other stays 0.
      {"DatumWinsOverRunwaysAndZeroDatumDoesNot",
       Header("DAT") + kRwy + Datum("47.5", "-122.25") + kRwy + Header("ZERO") + Datum("0", "0.000") + kRwy +
           Header("ZNONE") + Datum("0", "0") + Header("HALF") + "1302 datum_lat 33.5\n" + Header("AGAIN") +
           Datum("1", "2") + Datum("0", "-0") + kRwy,
       "DAT(47.5 -122.25 100) ZERO" + kAt + "HALF(33.5 0 100) | 0:09/27 0:09/27 1:09/27"},
      {"DroppedAirportsRenumberTheRunwaysAfterThem",
       Header("A") + kRwy + kRwy + Header("NOPOS") + "1302 city Nowhere\n" + Header("B") + kRwy + Header("SHORT 1 2") +
           kRwy + Header("C") + kRwy,
       "A" + kAt + "B" + kAt + "SHORT" + kAt + "C" + kAt + "| 0:09/27 0:09/27 1:09/27 2:09/27 3:09/27"},
      {"FieldsCut",
       Header("ABCDEFGHIJ", "1234") + kRwy + Header("X7", "-210") + kRwy + Header("ABCDEFG", "0") +
           RunwayRow({{"09LX", "1", "2"}, {"2", "1.5", "2.5"}}),
       "ABCDEFG(10.1 20.2 1234) X7(10.1 20.2 -210) ABCDEFG(1.25 2.25 0) | 0:09/27 1:09/27 2:09L/2"},
      // A header of 4 tokens leaves no airport open, so its runway and datum are ignored too. A runway row
      // needs 20 tokens (kTwenty, its last one the second end's longitude); 19 are too few.
      {"TruncatedRowsAreSkipped",
       Header("A") + kTwenty + "1 100 0 0\n" + kRwy + Datum("5", "5") + Header("B") +
           kRwy.substr(0, kRwy.find(" 27 ")) + "\n" + kTwenty.substr(0, kTwenty.rfind(' ')) +
           "\n1302 datum_lat\n1302\n" + Datum("7", "8") + "100\n100 \n",
       "A" + kAt + "B(7 8 100) | 0:09/27"},
      // NaN is no zero, so NANZ stays.
      {"NonNumericAndExtremeNumbers",
       Header("TEXT") + RunwayRow({{"09", "north", "20"}, {"27", "x", "20.4"}, "wide"}) + Header("HUGE") +
           Datum("1e300", "-1e300") + Header("NEG") + Datum("-89.5", "-179.5") + Header("NAN") + Datum("nan", "inf") +
           Header("INF") + RunwayRow({{"1", "inf", "-inf"}, {"2", "1", "1"}}) + Header("NANZ") + Datum("nan", "0"),
       "TEXT(0 20.2 100) HUGE(inf -inf 100) NEG(-89.5 -179.5 100) NAN(nan inf 100) INF(inf -inf 100) "
       "NANZ(nan 0 100) | 0:09/27 4:1/2"},
      // The ident ends at its NUL; "1\0" is no header, so kRwy counts for KA; "100 30\0" has too few tokens.
      {"NulBytesEndTheRowWhereTheyStand",
       "1 10 0 0 KA\0XYZ Name\n"s + kRwy + "1\0 10 0 0 KNUL Name\n"s + kRwy + "100 30\0"s + kRwy.substr(6) +
           Header("KB") + "1302 datum_lat 12\0.5\n"s + kRwy,
       "KA(10.1 20.2 10) KB(12 0 100) | 0:09/27 0:09/27 1:09/27"},
  };
  // The elevation follows atoi's longest numeric prefix, held at the ends of int32.
  const std::pair<std::string, std::string> elevations[] = {
      {"1500", "1500"}, {"-30", "-30"}, {"+7", "7"}, {"12abc", "12"}, {"abc", "0"}, {"0x1F", "0"}, {"\v42", "42"},
      {"2147483647", "2147483647"}, {"2147483648", "2147483647"}, {"-2147483649", "-2147483648"},
      {"99999999999999999999999", "2147483647"}, {"-99999999999999999999", "-2147483648"}};
  for (const auto &[text, want] : elevations)
    c.push_back({"Elevation" + text, Header("E", text) + kRwy, "E(10.1 20.2 " + want + ") | 0:09/27"});
  // Rows 1, 100 and 1302 of 512 bytes or more (line end included) are not in the file; 511 bytes still are.
  // An over-long header leaves the previous airport open: the runway after it counts for PREV.
  for (const auto &[bytes, eol] : std::vector<std::pair<size_t, std::string>>{
           {511, "\n"}, {512, "\n"}, {511, "\r\n"}, {512, "\r\n"}, {5000, "\n"}}) {
    const bool read = bytes == 511;
    const std::string name = std::to_string(bytes) + (eol == "\n" ? "Lf" : "Crlf");
    c.push_back({"Header" + name, Header("PREV") + kRwy + PadTo(Header("LONG"), bytes, eol) + kRwy,
                 read ? "PREV" + kAt + "LONG" + kAt + "| 0:09/27 1:09/27" : "PREV" + kAt + "| 0:09/27 0:09/27"});
    c.push_back({"Runway" + name, Header("RWY") + PadTo(kRwy, bytes, eol), read ? "RWY" + kAt + "| 0:09/27" : "|"});
    c.push_back({"Datum" + name, Header("DAT") + kRwy + PadTo("1302 datum_lat 50.5", bytes, eol),
                 (read ? "DAT(50.5 0 100) " : "DAT" + kAt) + "| 0:09/27"});
  }
  return c;
}

// Each file read also makes a well-formed index.
TEST(AptRead, IndexHoldsWhatTheRowsSay) {
  cvhtsupport::TempDir dir;
  for (const RowCase &c : RowCases()) {
    apt::Index index;
    EXPECT_TRUE(index.read(dir.Write("apt.dat", aptgen::Preamble() + c.body).c_str())) << c.name;
    EXPECT_EQ((index.wellFormed() ? "" : "not well formed: ") + Dump(index), c.want) << c.name;
  }
}

// On a hand-built index: -0 counts as zero, NaN does not, runways whose owner is gone or out of range go too.
TEST(AptRead, DropUnplaceableKeepsOnlyPlacedAirportsAndTheirRunways) {
  apt::Index index;
  index.airports = {{"A", 1.0f, 0.0f, 0}, {"NEGZ", -0.0f, 0.0f, 0}, {"NAN", NAN, 0.0f, 0}};
  for (const int32_t owner : {0, 1, -1, 2, 99}) index.runways.push_back({owner, "R", "S", 0, 0, 0, 0, 0});
  index.runways[3].end1[0] = 'N';
  EXPECT_FALSE(index.wellFormed());
  index.dropUnplaceable();
  EXPECT_EQ(Dump(index), "A(1 0 0) NAN(nan 0 0) | 0:R/S 1:N/S");
  EXPECT_TRUE(index.wellFormed());
  index.runways[1].airport = 2;
  EXPECT_FALSE(index.wellFormed()) << "an owner one past the last airport";
}

// The nearest-airport query on hand-placed airports: flat-earth distance with the longitude shrunk by the
// latitude, radius included, nearest first, cut to count, no wrap at ±180°.
TEST(Nearest, DistanceRadiusOrderAndCount) {
  using Places = std::vector<std::pair<float, float>>;
  const Places row = {{10.5f, 0.0f}, {10.1f, 0.0f}, {13.0f, 0.0f}, {9.8f, 0.0f}, {10.0f, 0.3f}},
               two = {{47, 8}, {47.1f, 8}};
  // Binary fractions keep the squared distances exact, so the boundary is hit exactly.
  const Places exact = {{1.0f, 0.0f}, {0.0f, 0.5f}, {0.0f, 0.0f}, {0.0f, 0.25f}},
               dateLine = {{0, -179.5f}, {0, 179.5f}};
  // 3e38 degrees is finite in float but 1.8e40 nm is not.
  const Places bad = {{NAN, 1.0f}, {1.0f, INFINITY}, {1.0f, 1.0f}, {-INFINITY, NAN}, {3e38f, 0.0f}};
  const struct {
    const char *name;
    Places places;
    double lat, lon, radiusNm;
    int count;
    std::string want;  // "airport:distance" each
  } cases[] = {
      {"CountZero", two, 47.0, 8.0, 150.0, 0, ""},
      {"CountNegative", two, 47.0, 8.0, 150.0, -3, ""},
      {"NearestFirstOutsideRadiusLeftOut", row, 10.0, 0.0, 150.0, 100, "1:6 3:12 4:17.727 0:30"},
      {"CutToCount", row, 10.0, 0.0, 150.0, 2, "1:6 3:12"},
      {"WideRadius", row, 10.0, 0.0, 1000.0, 5, "1:6 3:12 4:17.727 0:30 2:180"},
      {"RadiusBoundaryIncluded", exact, 0.0, 0.0, 30.0, 10, "2:0 3:15 1:30"},
      {"JustInsideTheBoundary", exact, 0.0, 0.0, 29.999, 10, "2:0 3:15"},
      {"RadiusZero", exact, 0.0, 0.0, 0.0, 10, "2:0"},
      {"LongitudeShrinksWithLatitude", {{60, 9}, {61, 8}, {60, 6.5f}}, 60.0, 8.0, 150.0, 10, "0:30 2:45 1:60"},
      {"NoWrapAcrossTheAntimeridian", dateLine, 0.0, 179.75, 150.0, 10, "1:15"},
      {"FarSideOnlyTheLongWayRound", dateLine, 0.0, 179.75, 30000.0, 10, "1:15 0:21555"},
      {"PlacesWithoutDistanceNeverTaken", bad, 1.0, 1.0, INFINITY, 10, "2:0"},
      {"QueryPointNotFinite", bad, NAN, 1.0, 150.0, 10, ""},
  };
  for (const auto &c : cases) {
    apt::Index index;
    for (const auto &[lat, lon] : c.places) index.airports.push_back(apt::Airport{"A", lat, lon, 0});
    std::string got;
    char item[48];
    for (const apt::Nearby &n : index.nearest(c.lat, c.lon, c.count, c.radiusNm)) {
      std::snprintf(item, sizeof item, "%s%d:%.5g", got.empty() ? "" : " ", n.airport, double(n.distanceNm));
      got += item;
    }
    EXPECT_EQ(got, c.want) << c.name;
  }
}

}  // namespace
