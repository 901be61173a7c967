// The apt.dat reader on small hand-written files: row recognition, positions, cuts, limits and bad input.
#include <fcntl.h>
#include <sys/stat.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "apt_test_util.h"

using apttest::Datum;
using apttest::ExpectWellFormed;
using apttest::Header;
using apttest::PadTo;
using apttest::Preamble;
using apttest::RunwayRow;
using apttest::TempDir;

namespace {

class AptRead : public ::testing::Test {
 protected:
  apt::Index Read(const std::string &bytes) {
    apt::Index index;
    EXPECT_TRUE(index.read(dir_.write("apt.dat", bytes).c_str()));
    ExpectWellFormed(index);
    return index;
  }
  static std::vector<std::string> Idents(const apt::Index &index) {
    std::vector<std::string> out;
    for (const apt::Airport &a : index.airports) out.emplace_back(a.ident);
    return out;
  }
  TempDir dir_;
};

const std::string kRwy = RunwayRow("09", "10.0", "20.0", "27", "10.2", "20.4");

TEST_F(AptRead, MissingFileReturnsFalseAndLeavesIndexUntouched) {
  apt::Index index;
  index.airports.push_back(apt::Airport{"KEEP", 1.0f, 2.0f, 3});
  EXPECT_FALSE(index.read((dir_.Path() + "/absent/apt.dat").c_str()));
  ASSERT_EQ(index.airports.size(), 1u);
  EXPECT_STREQ(index.airports[0].ident, "KEEP");
  EXPECT_TRUE(index.runways.empty());
}

TEST_F(AptRead, PreambleOnlyAndEmptyFileGiveEmptyIndex) {
  for (const std::string &body : {Preamble(), std::string(), std::string("I\n1100 Version\n99")}) {
    apt::Index index = Read(body);
    EXPECT_TRUE(index.airports.empty());
    EXPECT_TRUE(index.runways.empty());
  }
}

// Which lines open an airport, add a runway or set a datum is decided by their first bytes alone.
struct RowCase {
  const char *name;
  std::string body;
  std::vector<std::string> idents;
  size_t runways;
};

class AptRowKind : public AptRead, public ::testing::WithParamInterface<RowCase> {};

TEST_P(AptRowKind, DecidedByFirstBytes) {
  const RowCase &c = GetParam();
  apt::Index index = Read(Preamble() + c.body);
  EXPECT_EQ(Idents(index), c.idents);
  EXPECT_EQ(index.runways.size(), c.runways);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AptRowKind,
    ::testing::Values(
        RowCase{"SpaceHeader", Header("KAAA") + kRwy, {"KAAA"}, 1},
        RowCase{"TabHeader", Header("KAAA", 100, "1", "\t") + kRwy, {"KAAA"}, 1},
        RowCase{"MixedBlanksHeader", "1 \t 100\t\t0 0  KAAA Name\n" + kRwy, {"KAAA"}, 1},
        RowCase{"LeadingSpaceHeaderIgnored", " " + Header("KAAA") + kRwy, {}, 0},
        RowCase{"VersionRowsAreNotHeaders", "1100 Generated 1 2 3 4\n1200 x x x x\n" + kRwy, {}, 0},
        RowCase{"TabRunway", Header("KAAA") + RunwayRow("09", "10", "20", "27", "10.2", "20.4", "30", "\t"), {"KAAA"}, 1},
        RowCase{"CrlfRunway", Header("KAAA") + PadTo(kRwy, 0, "\r\n"), {"KAAA"}, 1},
        RowCase{"LeadingSpaceRunwayIgnored", Header("KAAA") + " " + kRwy + Header("KBBB") + kRwy, {"KBBB"}, 1},
        RowCase{"WaterRunwayAndHelipadIgnored",
                Header("KAAA") + "101 49 1 04 10.0 20.0 22 10.2 20.4\n102 H1 10.0 20.0 0 10 10 1 0 0 0.25 0\n", {}, 0},
        RowCase{"LongerCodesAreNotRunways", Header("KAAA") + "1000 " + kRwy.substr(4) + "1001 " + kRwy.substr(4), {}, 0},
        RowCase{"TabDatum", Header("KAAA") + "1302\tdatum_lat\t5.0\n1302\tdatum_lon\t6.0\n", {"KAAA"}, 0},
        RowCase{"CodeLookalikesAreNotDatum",
                Header("KAAA") + "13020 datum_lat 5\n1302datum_lat 5\n 1302 datum_lon 6\n1303 datum_lon 6\n", {}, 0},
        RowCase{"SeaplaneBaseClosesAirport", Header("KAAA") + kRwy + Header("SEA1", 0, "16") + kRwy, {"KAAA"}, 1},
        RowCase{"HeliportClosesWithTab", Header("KAAA") + kRwy + Header("HEL1", 0, "17", "\t") + kRwy, {"KAAA"}, 1},
        RowCase{"OverlongHeliportStillCloses", Header("KAAA") + kRwy + PadTo(Header("HEL1", 0, "17"), 4000) + kRwy,
                {"KAAA"}, 1},
        RowCase{"CodeSixtyIsNotSeaplane", Header("KAAA") + kRwy + "160 1 2 3\n170 1 2\n" + kRwy, {"KAAA"}, 2},
        RowCase{"NoFinalNewline", Header("KAAA") + kRwy.substr(0, kRwy.size() - 1), {"KAAA"}, 1},
        RowCase{"HeaderWithoutNewlineAtEndHasNoPosition", Header("KAAA") + kRwy + "1 5 0 0 KBBB", {"KAAA"}, 1}),
    [](const ::testing::TestParamInfo<RowCase> &info) { return std::string(info.param.name); });

TEST_F(AptRead, PositionIsMeanOfRunwayEndsWithoutDatum) {
  apt::Index one = Read(Preamble() + Header("ONE") + kRwy);
  ASSERT_EQ(one.airports.size(), 1u);
  EXPECT_FLOAT_EQ(one.airports[0].lat, 10.1f);
  EXPECT_FLOAT_EQ(one.airports[0].lon, 20.2f);

  apt::Index two = Read(Preamble() + Header("TWO") + kRwy + RunwayRow("18", "11.0", "21.0", "36", "11.2", "21.8"));
  ASSERT_EQ(two.airports.size(), 1u);
  EXPECT_FLOAT_EQ(two.airports[0].lat, 10.6f);
  EXPECT_FLOAT_EQ(two.airports[0].lon, 20.8f);
}

TEST_F(AptRead, DatumWinsOverRunwaysAndZeroDatumDoesNot) {
  apt::Index index = Read(Preamble() + Header("DAT") + kRwy + Datum("47.5", "-122.25") + kRwy +  //
                          Header("ZERO") + Datum("0", "0.000") + kRwy +                          //
                          Header("ZNONE") + Datum("0", "0") +                                    //
                          Header("HALF") + "1302 datum_lat 33.5\n" +                            //
                          Header("AGAIN") + Datum("1", "2") + Datum("0", "-0") + kRwy);
  // AGAIN: once set the datum stays set and later rows still replace its values, so it ends at 0, 0.
  EXPECT_EQ(Idents(index), (std::vector<std::string>{"DAT", "ZERO", "HALF"}));
  EXPECT_FLOAT_EQ(index.airports[0].lat, 47.5f);
  EXPECT_FLOAT_EQ(index.airports[0].lon, -122.25f);
  EXPECT_FLOAT_EQ(index.airports[1].lat, 10.1f);
  EXPECT_FLOAT_EQ(index.airports[1].lon, 20.2f);
  // One non-zero datum value sets the datum; the other stays 0.
  EXPECT_FLOAT_EQ(index.airports[2].lat, 33.5f);
  EXPECT_EQ(index.airports[2].lon, 0.0f);
  EXPECT_EQ(index.runways.size(), 3u);
}

TEST_F(AptRead, DroppedAirportsRenumberTheRunwaysAfterThem) {
  apt::Index index = Read(Preamble() + Header("A") + kRwy + kRwy + Header("NOPOS") + "1302 city Nowhere\n" +
                          Header("B") + kRwy + Header("SHORT 1 2") + kRwy + Header("C") + kRwy);
  EXPECT_EQ(Idents(index), (std::vector<std::string>{"A", "B", "SHORT", "C"}));
  ASSERT_EQ(index.runways.size(), 5u);
  const std::vector<int32_t> owners = {index.runways[0].airport, index.runways[1].airport, index.runways[2].airport,
                                       index.runways[3].airport, index.runways[4].airport};
  EXPECT_EQ(owners, (std::vector<int32_t>{0, 0, 1, 2, 3}));
}

TEST_F(AptRead, HeaderFieldsCutAndZeroFilled) {
  apt::Index index = Read(Preamble() + Header("ABCDEFGHIJ", 1234) + kRwy + Header("X7", -210) + kRwy +
                          Header("ABCDEFG", 0) + RunwayRow("09LX", "1", "2", "2", "1.5", "2.5"));
  ASSERT_EQ(index.airports.size(), 3u);
  const char cut[8] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 0};
  const char shortId[8] = {'X', '7', 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(index.airports[0].ident, cut, 8), 0);
  EXPECT_EQ(std::memcmp(index.airports[1].ident, shortId, 8), 0);
  EXPECT_EQ(std::memcmp(index.airports[2].ident, cut, 8), 0);
  EXPECT_EQ(index.airports[0].elevationFt, 1234);
  EXPECT_EQ(index.airports[1].elevationFt, -210);
  const char end1[4] = {'0', '9', 'L', 0};
  const char end2[4] = {'2', 0, 0, 0};
  EXPECT_EQ(std::memcmp(index.runways[2].end1, end1, 4), 0);
  EXPECT_EQ(std::memcmp(index.runways[2].end2, end2, 4), 0);
}

// The elevation follows atoi's longest numeric prefix, held at the ends of int32.
TEST_F(AptRead, ElevationParsesPrefixAndSaturates) {
  const std::vector<std::pair<std::string, int32_t>> cases = {
      {"1500", 1500},         {"-30", -30},           {"+7", 7},
      {"12abc", 12},          {"abc", 0},             {"2147483647", INT32_MAX},
      {"2147483648", INT32_MAX}, {"-2147483649", INT32_MIN}, {"99999999999999999999999", INT32_MAX},
      {"-99999999999999999999", INT32_MIN}, {"0x1F", 0}, {"\v42", 42},
  };
  std::string body = Preamble();
  for (size_t i = 0; i < cases.size(); ++i)
    body += "1 " + cases[i].first + " 0 0 E" + std::to_string(i) + " Name\n" + kRwy;
  apt::Index index = Read(body);
  ASSERT_EQ(index.airports.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(index.airports[i].elevationFt, cases[i].second) << cases[i].first;
}

// Rows 1, 100 and 1302 of 512 bytes or more (line end included) are not in the file; 511 bytes still are.
struct LengthCase {
  const char *name;
  size_t bytes;
  const char *eol;
  bool read;
};

class AptRowLength : public AptRead, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(AptRowLength, HeaderRunwayAndDatum) {
  const LengthCase &c = GetParam();
  // An over-long header leaves the previous airport open: the runway after it counts for PREV.
  apt::Index h = Read(Preamble() + Header("PREV") + kRwy + PadTo(Header("LONG"), c.bytes, c.eol) + kRwy);
  EXPECT_EQ(Idents(h), c.read ? (std::vector<std::string>{"PREV", "LONG"}) : (std::vector<std::string>{"PREV"}));
  EXPECT_EQ(h.runways.size(), 2u);

  apt::Index r = Read(Preamble() + Header("RWY") + PadTo(kRwy, c.bytes, c.eol));
  EXPECT_EQ(r.runways.size(), c.read ? 1u : 0u);

  apt::Index d = Read(Preamble() + Header("DAT") + kRwy + PadTo("1302 datum_lat 50.5", c.bytes, c.eol));
  ASSERT_EQ(d.airports.size(), 1u);
  EXPECT_FLOAT_EQ(d.airports[0].lat, c.read ? 50.5f : 10.1f);
}

INSTANTIATE_TEST_SUITE_P(Limits, AptRowLength,
                         ::testing::Values(LengthCase{"Lf511", 511, "\n", true}, LengthCase{"Lf512", 512, "\n", false},
                                           LengthCase{"Crlf511", 511, "\r\n", true},
                                           LengthCase{"Crlf512", 512, "\r\n", false},
                                           LengthCase{"Lf5000", 5000, "\n", false}),
                         [](const ::testing::TestParamInfo<LengthCase> &info) { return std::string(info.param.name); });

TEST_F(AptRead, TruncatedRowsAreSkipped) {
  // A header of 4 tokens leaves no airport open, so its runway and datum are ignored too.
  apt::Index index = Read(Preamble() + Header("A") + kRwy + "1 100 0 0\n" + kRwy + Datum("5", "5") + Header("B") +
                          kRwy.substr(0, kRwy.find(" 27 ")) + "\n" + "1302 datum_lat\n1302\n" + Datum("7", "8") +
                          "100\n100 \n");
  EXPECT_EQ(Idents(index), (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(index.runways.size(), 1u);
  EXPECT_FLOAT_EQ(index.airports[1].lat, 7.0f);
}

TEST_F(AptRead, NonNumericAndExtremeNumbersNeverBreakTheIndex) {
  apt::Index index = Read(Preamble() + Header("TEXT") + RunwayRow("09", "north", "20", "27", "x", "20.4", "wide") +
                          Header("HUGE") + Datum("1e300", "-1e300") + Header("NEG") + Datum("-89.5", "-179.5") +
                          Header("NAN") + Datum("nan", "inf") + Header("INF") + RunwayRow("1", "inf", "-inf", "2", "1", "1"));
  EXPECT_EQ(Idents(index), (std::vector<std::string>{"TEXT", "HUGE", "NEG", "NAN", "INF"}));
  EXPECT_EQ(index.runways[0].widthM, 0.0f);
  EXPECT_EQ(index.runways[0].lat1, 0.0f);
  EXPECT_FLOAT_EQ(index.airports[0].lat, 0.0f);
  EXPECT_FLOAT_EQ(index.airports[0].lon, 20.2f);
  EXPECT_TRUE(std::isinf(index.airports[1].lat));
  EXPECT_FLOAT_EQ(index.airports[2].lon, -179.5f);
  EXPECT_TRUE(std::isnan(index.airports[3].lat));
  // No distance exists for these, so even an unlimited query never returns them.
  for (const apt::Nearby &n : index.nearest(0.0, 0.0, 100, INFINITY)) {
    EXPECT_TRUE(std::isfinite(n.distanceNm));
    EXPECT_NE(std::string(index.airports[n.airport].ident), "NAN");
  }
  EXPECT_EQ(index.nearest(0.0, 0.0, 100, INFINITY).size(), 2u);
}

TEST_F(AptRead, NulBytesEndTheRowWhereTheyStand) {
  using namespace std::string_literals;
  apt::Index index = Read(Preamble() + "1 10 0 0 KA\0XYZ Name\n"s + kRwy +   // ident ends at the NUL
                          "1\0 10 0 0 KNUL Name\n"s + kRwy +                 // not a header: kRwy counts for KA
                          "100 30\0"s + kRwy.substr(6) +                     // too few tokens before the NUL
                          Header("KB") + "1302 datum_lat 12\0.5\n"s + kRwy);
  EXPECT_EQ(Idents(index), (std::vector<std::string>{"KA", "KB"}));
  EXPECT_EQ(index.runways.size(), 3u);
  EXPECT_FLOAT_EQ(index.airports[1].lat, 12.0f);
}

TEST_F(AptRead, FiftyMegabyteLineIsSkipped) {
  for (const std::string &code : {std::string("1 "), std::string("100 "), std::string("99 ")}) {
    std::string big = code;
    big.append(50u << 20, 'A');
    apt::Index index = Read(Preamble() + Header("BEFORE") + kRwy + big + "\n" + kRwy + Header("AFTER") + kRwy);
    EXPECT_EQ(Idents(index), (std::vector<std::string>{"BEFORE", "AFTER"}));
    EXPECT_EQ(index.runways.size(), 3u);
  }
}

TEST_F(AptRead, BinaryGarbageNeverCrashes) {
  std::mt19937 rng(4);
  for (int round = 0; round < 40; ++round) {
    // Bytes drawn mostly from the characters the reader looks at, so rows half-form.
    static const char kAlphabet[] = "1 1 0 6 7 3 2\t\n\r 100 1302 datum_lat datum_lon -.5e9\0\xff";
    std::string body = round % 2 ? Preamble() : "";
    const size_t size = 1 + rng() % 20000;
    for (size_t i = 0; i < size; ++i)
      body += round % 3 == 0 ? static_cast<char>(rng()) : kAlphabet[rng() % (sizeof kAlphabet - 1)];
    apt::Index index = Read(body);
    (void)index.nearest(1.0, 1.0, 10, 1e9);
  }
}

TEST_F(AptRead, FolderPathOpensButFailsToRead) {
  // fopen accepts a folder; the first getline then fails with EISDIR: a read error, not an empty file.
  apt::Index index;
  EXPECT_FALSE(index.read(dir_.Path().c_str()));
  EXPECT_TRUE(index.airports.empty());
  EXPECT_TRUE(index.runways.empty());
}

// parseRunwayRow on its own: the token count, the row code and every field.
TEST(ParseRunwayRow, FillsEveryFieldFromTheFirstTwentyTokens) {
  std::string row = RunwayRow("16L", "47.46380300", "-122.30803400", "34R", "47.43112200", "-122.30807500", "45.72");
  row.pop_back();
  row += " extra1 extra2 extra3 extra4";  // 30 tokens
  apt::Runway rw;
  std::memset(&rw, 0x5a, sizeof rw);
  ASSERT_TRUE(apt::parseRunwayRow(row.data(), rw));
  EXPECT_EQ(rw.airport, -1);
  EXPECT_EQ(std::memcmp(rw.end1, "16L", 4), 0);
  EXPECT_EQ(std::memcmp(rw.end2, "34R", 4), 0);
  EXPECT_FLOAT_EQ(rw.lat1, 47.463803f);
  EXPECT_FLOAT_EQ(rw.lon1, -122.308034f);
  EXPECT_FLOAT_EQ(rw.lat2, 47.431122f);
  EXPECT_FLOAT_EQ(rw.lon2, -122.308075f);
  EXPECT_FLOAT_EQ(rw.widthM, 45.72f);
}

TEST(ParseRunwayRow, RejectsShortRowsAndOtherCodesUntouched) {
  const std::string full = "100 30 1 0 0.25 0 2 1 09 10 20 0 0 2 0 0 0 27 10.2 20.4";  // 20 tokens
  const std::vector<std::string> rejected = {
      "", " \t\r\n", full.substr(0, full.rfind(' ')),  // 19 tokens
      "1000" + full.substr(3), "10 " + full.substr(4), "100x" + full.substr(3), "0100" + full.substr(3),
  };
  for (std::string line : rejected) {
    apt::Runway rw;
    std::memset(&rw, 0x5a, sizeof rw);
    apt::Runway before = rw;
    EXPECT_FALSE(apt::parseRunwayRow(line.data(), rw)) << line;
    EXPECT_EQ(std::memcmp(&rw, &before, sizeof rw), 0) << line;
  }
  std::string twenty = "\t " + full + "\r\n";
  apt::Runway rw;
  ASSERT_TRUE(apt::parseRunwayRow(twenty.data(), rw));
  EXPECT_FLOAT_EQ(rw.lon2, 20.4f);
}

// dropUnplaceable on a hand-built index: what counts as zero, and what happens to runways that lose their owner.
TEST(DropUnplaceable, ZeroTestsAndRunwayOwners) {
  apt::Index index;
  index.airports = {{"A", 1.0f, 0.0f, 0}, {"NEGZ", -0.0f, 0.0f, 0}, {"NAN", NAN, 0.0f, 0},
                    {"Z", 0.0f, 0.0f, 0}, {"B", 0.0f, -3.0f, 0}};
  index.runways = {{0, "1", "2", 0, 0, 0, 0, 0}, {1, "3", "4", 0, 0, 0, 0, 0}, {-1, "X", "X", 0, 0, 0, 0, 0},
                   {2, "5", "6", 0, 0, 0, 0, 0}, {3, "7", "8", 0, 0, 0, 0, 0}, {4, "9", "10", 0, 0, 0, 0, 0},
                   {99, "Y", "Y", 0, 0, 0, 0, 0}};
  index.dropUnplaceable();
  std::vector<std::string> idents;
  for (const apt::Airport &a : index.airports) idents.emplace_back(a.ident);
  EXPECT_EQ(idents, (std::vector<std::string>{"A", "NAN", "B"}));
  std::vector<std::pair<std::string, int32_t>> runways;
  for (const apt::Runway &r : index.runways) runways.emplace_back(r.end1, r.airport);
  EXPECT_EQ(runways, (std::vector<std::pair<std::string, int32_t>>{{"1", 0}, {"5", 1}, {"9", 2}}));
}

}  // namespace
