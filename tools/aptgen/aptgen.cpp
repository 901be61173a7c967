// cvht-aptgen: writes realistic synthetic apt.dat files, deterministic from a seed, with the counts a reader must find.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

namespace {

constexpr double kPi = std::numbers::pi;

// ---- Random numbers: xoshiro256**, seeded through splitmix64, so a seed gives the same file everywhere.

struct Rng {
  uint64_t s[4];
  explicit Rng(uint64_t seed) {
    for (uint64_t &x : s) {
      seed += 0x9e3779b97f4a7c15ull;
      uint64_t z = seed;
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
      x = z ^ (z >> 31);
    }
  }
  static uint64_t Rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t next() {
    const uint64_t result = Rotl(s[1] * 5, 7) * 9;
    const uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = Rotl(s[3], 45);
    return result;
  }
  double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  double range(double lo, double hi) { return lo + (hi - lo) * unit(); }
  int between(int lo, int hi) { return lo + static_cast<int>(next() % static_cast<uint64_t>(hi - lo + 1)); }
  bool chance(double p) { return unit() < p; }
};

// ---- Output: one large buffer, hand-formatted numbers, written with big fwrite calls.

class Out {
 public:
  explicit Out(FILE *f) : file_(f), buf_(kSize) {}
  ~Out() { flush(); }

  void begin() {
    if (len_ + kRowRoom > kSize) flush();
    lineStart_ = len_;
  }
  // Ends the row and returns its length in bytes, line end included.
  size_t end() {
    if (crlf_) put('\r');
    put('\n');
    ++lines_;
    return len_ - lineStart_;
  }
  // Ends the file's last row with no line end.
  void endWithoutNewline() { ++lines_; }
  // Pads the row with blanks so that, once ended, it is exactly bytes long.
  void padTo(size_t bytes) {
    const size_t eol = crlf_ ? 2 : 1;
    while (len_ - lineStart_ + eol < bytes) put(' ');
  }
  size_t rowLength() const { return len_ - lineStart_; }

  void put(char c) { buf_[len_++] = c; }
  void str(const char *s) {
    while (*s) buf_[len_++] = *s++;
  }
  void str(const std::string &s) {
    std::memcpy(&buf_[len_], s.data(), s.size());
    len_ += s.size();
  }
  void sep() { put(tabs_ ? '\t' : ' '); }
  void integer(int64_t v) {
    if (v < 0) {
      put('-');
      v = -v;
    }
    char tmp[24];
    int n = 0;
    do {
      tmp[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v);
    while (n) put(tmp[--n]);
  }
  // v with exactly `decimals` decimals, rounded half away from zero.
  void fixed(double v, int decimals) {
    static const double kScale[] = {1, 10, 100, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
    if (v < 0) {
      put('-');
      v = -v;
    }
    const uint64_t scaled = static_cast<uint64_t>(v * kScale[decimals] + 0.5);
    const uint64_t unit = static_cast<uint64_t>(kScale[decimals]);
    integer(static_cast<int64_t>(scaled / unit));
    if (decimals == 0) return;
    put('.');
    uint64_t frac = scaled % unit;
    char tmp[8];
    for (int i = decimals - 1; i >= 0; --i) {
      tmp[i] = static_cast<char>('0' + frac % 10);
      frac /= 10;
    }
    for (int i = 0; i < decimals; ++i) put(tmp[i]);
  }
  void coord(double v) { fixed(v, 8); }

  void setCrlf(bool on) { crlf_ = on; }
  void setTabs(bool on) { tabs_ = on; }
  uint64_t bytes() const { return written_ + len_; }
  uint64_t lines() const { return lines_; }
  bool failed() const { return failed_; }

  void flush() {
    if (len_ && std::fwrite(buf_.data(), 1, len_, file_) != len_) failed_ = true;
    written_ += len_;
    len_ = 0;
    lineStart_ = 0;
  }

 private:
  static constexpr size_t kSize = 8u << 20;
  static constexpr size_t kRowRoom = 64u << 10;  // no row is longer than this
  FILE *file_;
  std::vector<char> buf_;
  size_t len_ = 0;
  size_t lineStart_ = 0;
  uint64_t written_ = 0;
  uint64_t lines_ = 0;
  bool crlf_ = false;
  bool tabs_ = false;
  bool failed_ = false;
};

// ---- What a reader of rows 1, 16, 17, 100 and 1302 must end up with, followed row by row as they are written.

struct Expect {
  bool open = false;
  bool datum = false;
  bool latNonZero = false;
  bool lonNonZero = false;
  int runways = 0;
  uint64_t airports = 0;
  uint64_t runwaysKept = 0;

  // Runway ends are never at 0, 0 in these files, so an airport with a runway always has a position.
  void close() {
    if (!open) return;
    open = false;
    const bool placed = datum ? (latNonZero || lonNonZero) : runways > 0;
    if (placed) {
      ++airports;
      runwaysKept += static_cast<uint64_t>(runways);
    }
  }
  void header() {
    close();
    *this = Expect{true, false, false, false, 0, airports, runwaysKept};
  }
  void noAirport() { close(); }
  void runway() {
    if (open) ++runways;
  }
  void datumRow(bool isLat, bool nonZero) {
    if (!open) return;
    (isLat ? latNonZero : lonNonZero) = nonZero;
    if (latNonZero || lonNonZero) datum = true;
  }
};

// ---- The unusual rows a real file has now and then, each given to a few land airports.

enum Oddity {
  kPlain,
  kLongHeader,      // header of over 511 bytes: its rows count for the airport before it
  kHeader511,       // header of exactly 511 bytes, line end included: still read
  kHeader512,       // header of exactly 512 bytes: not read
  kLongRunway,      // one runway row of over 511 bytes
  kRunway511,
  kRunway512,
  kLongDatum,       // both datum rows of over 511 bytes
  kLongOtherRow,    // an over-long sign and an over-long metadata row of another key
  kShortHeader,     // a header of 4 tokens: no airport until the next header
  kShortRunway,     // a runway row of 19 tokens
  kShortDatum,      // "1302 datum_lat" and "1302 datum_lon" without a value
  kNoPosition,      // neither datum nor runways
  kZeroDatum,       // datum 0, 0 with runways: placed by its runways
  kZeroDatumAlone,  // datum 0, 0 without runways: no position
  kLongIdent,       // identifier of more than 7 characters
  kOddityCount
};

struct Region {
  double latLo, latHi, lonLo, lonHi, weight;
};

// Where the world's airports are, roughly: North America dominates, then Europe.
const Region kWorld[] = {
    {25.0, 49.0, -124.0, -67.0, 40.0},  // contiguous United States
    {49.0, 60.0, -130.0, -60.0, 6.0},   // southern Canada
    {55.0, 70.0, -165.0, -141.0, 3.0},  // Alaska
    {36.0, 60.0, -10.0, 30.0, 18.0},    // Europe
    {-34.0, 5.0, -73.0, -35.0, 8.0},    // Brazil and neighbours
    {-39.0, -12.0, 114.0, 153.0, 6.0},  // Australia
    {15.0, 32.0, -117.0, -87.0, 4.0},   // Mexico
    {-35.0, 15.0, 10.0, 40.0, 4.0},     // Africa
    {20.0, 45.0, 100.0, 145.0, 5.0},    // East Asia
    {8.0, 35.0, 68.0, 90.0, 2.0},       // India
    {50.0, 70.0, 30.0, 140.0, 3.0},     // Russia
    {-47.0, -34.0, 166.0, 178.0, 1.0},  // New Zealand
};

const char *const kSyllables[] = {"ash", "bel", "cor", "dan", "el",  "fen", "gar", "hol", "ir",  "jun", "kel",
                                  "lan", "mor", "nor", "os",  "pel", "quin", "ros", "sal", "tor", "ul",  "ven",
                                  "wes", "yar", "zen", "brook", "field", "ton", "ville", "mont", "ford", "ham"};
const char *const kKinds[] = {"Municipal", "Regional", "International", "County", "Field", "Airpark", "Strip",
                              "Airfield", "Executive", "Memorial", "Ranch", "Aerodrome"};

struct Options {
  uint64_t seed = 1;
  long airports = 400;
  bool region = false;
  double regionLat = 0, regionLon = 0, regionNm = 0;
  std::string out;
  std::string counts;
};

struct Site {
  double lat, lon;
};

class Generator {
 public:
  Generator(const Options &o, Out &out) : opt_(o), rng_(o.seed), out_(out) {
    for (const Region &r : kWorld) weightSum_ += r.weight;
  }

  void run() {
    preamble();
    const long land = opt_.airports * 79 / 100;
    const long sea = opt_.airports * 65 / 1000;
    // Land airports, seaplane bases and heliports are mixed through the file as in the real one.
    long leftLand = land, leftSea = sea, leftHeli = opt_.airports - land - sea;
    const long period = std::max<long>(50, land / 12);
    long landIndex = 0;
    for (long i = 0; i < opt_.airports; ++i) {
      const long left = leftLand + leftSea + leftHeli;
      const long pick = static_cast<long>(rng_.next() % static_cast<uint64_t>(left));
      out_.begin();  // a blank line between airports, as X-Plane writes them
      out_.end();
      if (pick < leftLand) {
        --leftLand;
        const long slot = landIndex % period;
        landAirport(i, slot > 0 && slot < kOddityCount ? static_cast<Oddity>(slot) : kPlain);
        ++landIndex;
        ++landHeaders_;
      } else if (pick < leftLand + leftSea) {
        --leftSea;
        waterAirport(i, "16", WaterOddity());
        ++seaHeaders_;
      } else {
        --leftHeli;
        waterAirport(i, "17", WaterOddity());
        ++heliHeaders_;
      }
    }
    expect_.close();
    out_.begin();
    out_.end();
    out_.begin();
    out_.str("99");
    out_.endWithoutNewline();
    out_.flush();
  }

  void writeCounts(FILE *f) const {
    std::fprintf(f, "seed %" PRIu64 "\n", opt_.seed);
    std::fprintf(f, "airports_total %ld\n", opt_.airports);
    std::fprintf(f, "land_headers %" PRIu64 "\n", landHeaders_);
    std::fprintf(f, "seaplane_headers %" PRIu64 "\n", seaHeaders_);
    std::fprintf(f, "heliport_headers %" PRIu64 "\n", heliHeaders_);
    std::fprintf(f, "indexed_airports %" PRIu64 "\n", expect_.airports);
    std::fprintf(f, "indexed_runways %" PRIu64 "\n", expect_.runwaysKept);
    std::fprintf(f, "overlong_rows %" PRIu64 "\n", overlong_);
    std::fprintf(f, "bytes %" PRIu64 "\n", out_.bytes());
    std::fprintf(f, "lines %" PRIu64 "\n", out_.lines());
    std::fprintf(f, "indexed_line apt.dat indexed: %" PRIu64 " airports, %" PRIu64 " runways\n", expect_.airports,
                 expect_.runwaysKept);
  }

 private:
  // ---- Frame of the file.

  void preamble() {
    out_.begin();
    out_.str("I");
    out_.end();
    out_.begin();
    out_.str("1200 Generated by cvht-aptgen, seed ");
    out_.integer(static_cast<int64_t>(opt_.seed));
    out_.str(
        ". Synthetic airport data for testing the Corvane Head Tracker; every airport, runway, taxiway and frequency "
        "in this file is invented and must never be used for navigation. Copyright (c) Corvane. This data may be "
        "copied and changed freely for testing. Rows follow the published apt.dat 1200 layout.");
    out_.end();
  }

  // ---- Places.

  Site site() {
    Site s{};
    do {
      if (opt_.region) {
        const double r = opt_.regionNm * std::sqrt(rng_.unit());
        const double a = rng_.range(0.0, 2.0 * kPi);
        s.lat = std::clamp(opt_.regionLat + r * std::cos(a) / 60.0, -89.5, 89.5);
        s.lon = opt_.regionLon + r * std::sin(a) / (60.0 * std::cos(s.lat * kPi / 180.0));
        s.lon = std::remainder(s.lon, 360.0);
      } else {
        double w = rng_.range(0.0, weightSum_);
        const Region *r = &kWorld[0];
        for (const Region &reg : kWorld) {
          r = &reg;
          if ((w -= reg.weight) < 0) break;
        }
        s.lat = rng_.range(r->latLo, r->latHi);
        s.lon = rng_.range(r->lonLo, r->lonHi);
      }
    } while (std::fabs(s.lat) < 0.05 && std::fabs(s.lon) < 0.05);  // nothing lands on 0, 0 by chance
    return s;
  }

  // A point within about `m` metres of c.
  Site near(const Site &c, double m) {
    const double k = std::max(0.05, std::cos(c.lat * kPi / 180.0));
    return Site{c.lat + rng_.range(-m, m) / 111120.0, c.lon + rng_.range(-m, m) / (111120.0 * k)};
  }

  std::string name() {
    std::string n;
    const int parts = rng_.between(2, 3);
    for (int i = 0; i < parts; ++i) n += kSyllables[rng_.next() % (sizeof kSyllables / sizeof *kSyllables)];
    n[0] = static_cast<char>(n[0] - 'a' + 'A');
    return n;
  }

  std::string ident(long i, bool longOne) {
    static const char kB36[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string tail;
    for (long v = i; tail.size() < 3 || v; v /= 36) tail.insert(tail.begin(), kB36[v % 36]);
    if (longOne) return "XLONG" + tail + "Z";
    const int style = rng_.between(0, 99);
    if (style < 45) return std::string(1, "KCELYS"[rng_.next() % 6]) + tail;
    if (style < 80) return tail;
    if (style < 96) return std::string("CA") + tail;
    return std::string("PVT") + tail + "A";
  }

  // ---- Row writers. Interesting rows report to expect_ what a reader will make of them.

  void header(const char *code, long i, int elevationFt, Oddity odd) {
    out_.begin();
    out_.str(code);
    out_.sep();
    if (rng_.chance(0.002)) {
      out_.str("unknown");
    } else {
      out_.integer(elevationFt);
    }
    out_.sep();
    out_.str("0");
    out_.sep();
    out_.str("0");
    if (odd != kShortHeader) {
      out_.sep();
      out_.str(ident(i, odd == kLongIdent));
      out_.sep();
      out_.str(name());
      out_.put(' ');
      out_.str(kKinds[rng_.next() % (sizeof kKinds / sizeof *kKinds)]);
    }
    if (odd == kLongHeader) {
      while (out_.rowLength() < 700) out_.str(" and Seaplane Base Heliport Complex");
    }
    if (odd == kHeader511) out_.padTo(511);
    if (odd == kHeader512) out_.padTo(512);
    const size_t len = out_.end();
    const bool isLand = code[1] == '\0';
    if (!isLand) {
      expect_.noAirport();
      if (len > 511) ++overlong_;
      return;
    }
    const bool skipped = len > 511;
    check(skipped == (odd == kLongHeader || odd == kHeader512), "header length");
    if (skipped) {
      ++overlong_;
    } else if (odd == kShortHeader) {
      expect_.noAirport();
    } else {
      expect_.header();
    }
  }

  struct RunwayEnds {
    Site a, b;
    std::string d1, d2;
  };

  void runway(const RunwayEnds &r, double widthM, Oddity odd) {
    out_.begin();
    out_.str("100");
    out_.sep();
    out_.fixed(widthM, 2);
    out_.sep();
    out_.integer(rng_.between(1, 5));
    out_.sep();
    out_.integer(rng_.between(0, 2));
    out_.sep();
    out_.str("0.25");
    out_.sep();
    out_.integer(rng_.between(0, 1));
    out_.sep();
    out_.integer(rng_.between(0, 3));
    out_.sep();
    out_.integer(rng_.between(0, 1));
    for (int e = 0; e < 2; ++e) {
      out_.sep();
      out_.str(e ? r.d2 : r.d1);
      out_.sep();
      out_.coord(e ? r.b.lat : r.a.lat);
      if (e == 1 && odd == kShortRunway) break;  // 19 tokens: the second end's longitude is missing
      out_.sep();
      out_.coord(e ? r.b.lon : r.a.lon);
      out_.sep();
      out_.fixed(rng_.chance(0.2) ? rng_.range(0, 300) : 0.0, 2);
      out_.sep();
      out_.fixed(rng_.chance(0.3) ? rng_.range(0, 150) : 0.0, 2);
      for (int k = 0; k < 4; ++k) {
        out_.sep();
        out_.integer(rng_.between(0, 3));
      }
    }
    if (odd == kLongRunway) {
      while (out_.rowLength() < 600) out_.str(" 0 0 0 0");
    }
    if (odd == kRunway511) out_.padTo(511);
    if (odd == kRunway512) out_.padTo(512);
    const size_t len = out_.end();
    check((len > 511) == (odd == kLongRunway || odd == kRunway512), "runway length");
    if (len > 511) {
      ++overlong_;
    } else if (odd != kShortRunway) {
      expect_.runway();
    }
  }

  void metadata(const char *key, const std::string &value) {
    out_.begin();
    out_.str("1302");
    out_.sep();
    out_.str(key);
    out_.sep();
    out_.str(value);
    if (out_.end() > 511) ++overlong_;
  }

  void datum(bool isLat, double v, Oddity odd) {
    out_.begin();
    out_.str("1302");
    out_.sep();
    out_.str(isLat ? "datum_lat" : "datum_lon");
    // Both datum rows of such an airport are broken, so it is placed by its runways.
    const bool shortRow = odd == kShortDatum;
    if (!shortRow) {
      out_.sep();
      out_.coord(v);
    }
    const bool longRow = odd == kLongDatum;
    if (longRow) out_.padTo(rng_.between(520, 900));
    const size_t len = out_.end();
    check((len > 511) == longRow, "datum length");
    if (longRow) {
      ++overlong_;
    } else if (!shortRow) {
      // What the reader sees is the value as written, to 8 decimals.
      expect_.datumRow(isLat, static_cast<uint64_t>(std::fabs(v) * 1e8 + 0.5) != 0);
    }
  }

  void node(int code, const Site &p, const Site *ctrl, int lineType, int lights) {
    out_.begin();
    out_.integer(code);
    out_.str("  ");
    out_.coord(p.lat);
    out_.put(' ');
    out_.coord(p.lon);
    if (ctrl) {
      out_.put(' ');
      out_.coord(ctrl->lat);
      out_.put(' ');
      out_.coord(ctrl->lon);
    }
    if (lineType >= 0) {
      out_.put(' ');
      out_.integer(lineType);
      if (lights > 0) {
        out_.put(' ');
        out_.integer(lights);
      }
    }
    out_.end();
  }

  // A chain of nodes around a ring: pavement outlines close (113/114), lines end (115/116).
  void chain(const Site &c, double radiusM, int nodes, bool closed, int lineType) {
    const double k = std::max(0.05, std::cos(c.lat * kPi / 180.0));
    const double a0 = rng_.range(0, 2 * kPi);
    const double span = closed ? 2 * kPi : rng_.range(0.5, 3.0);
    const double stretch = rng_.range(0.3, 1.0);
    for (int j = 0; j < nodes; ++j) {
      const double a = a0 + span * j / nodes;
      const double rr = radiusM * (0.85 + 0.15 * rng_.unit());
      const Site p{c.lat + rr * std::sin(a) * stretch / 111120.0, c.lon + rr * std::cos(a) / (111120.0 * k)};
      const bool bezier = rng_.chance(0.35);
      const bool last = j == nodes - 1;
      int code = bezier ? 112 : 111;
      if (last) code = closed ? (bezier ? 114 : 113) : (bezier ? 116 : 115);
      Site ctrl = near(p, radiusM * 0.05 + 1.0);
      const int lt = lineType >= 0 && rng_.chance(0.7) ? lineType : -1;
      node(code, p, bezier ? &ctrl : nullptr, lt, lt > 0 && rng_.chance(0.3) ? 101 + rng_.between(0, 7) : 0);
    }
  }

  void pavement(const Site &c, double spreadM, bool withHole) {
    out_.begin();
    out_.str("110 ");
    out_.integer(rng_.between(1, 5));
    out_.str(" 0.25 ");
    out_.fixed(rng_.range(0, 360), 2);
    out_.put(' ');
    out_.str(rng_.chance(0.5) ? "Taxiway " : "Apron ");
    out_.put(static_cast<char>('A' + rng_.between(0, 25)));
    out_.end();
    const Site p = near(c, spreadM);
    const double size = rng_.range(30, 250);
    chain(p, size, rng_.between(6, 60), true, rng_.chance(0.6) ? rng_.between(1, 9) : -1);
    if (withHole) chain(p, size * 0.3, rng_.between(4, 12), true, -1);
  }

  void lineFeature(const Site &c, double spreadM) {
    out_.begin();
    out_.str(rng_.chance(0.5) ? "120 Taxi centerline" : "120 Hold short line");
    out_.end();
    chain(near(c, spreadM), rng_.range(20, 200), rng_.between(3, 30), false, rng_.between(1, 7));
  }

  void boundary(const Site &c, double radiusM) {
    out_.begin();
    out_.str("130 Airport Boundary");
    out_.end();
    chain(c, radiusM, rng_.between(8, 40), true, -1);
  }

  void object(int code, const Site &p, const char *tail) {
    out_.begin();
    out_.integer(code);
    out_.str("  ");
    out_.coord(p.lat);
    out_.put(' ');
    out_.coord(p.lon);
    out_.put(' ');
    out_.str(tail);
    out_.end();
  }

  void sign(const Site &p, bool overlong) {
    out_.begin();
    out_.str("20  ");
    out_.coord(p.lat);
    out_.put(' ');
    out_.coord(p.lon);
    out_.put(' ');
    out_.fixed(rng_.range(0, 360), 2);
    out_.str(" 0 ");
    out_.integer(rng_.between(1, 3));
    out_.str(" {@Y}");
    out_.put(static_cast<char>('A' + rng_.between(0, 25)));
    out_.integer(rng_.between(1, 9));
    out_.str("{^r}");
    if (overlong) {
      while (out_.rowLength() < 640) out_.str("{@L}B{^l}");
    }
    if (out_.end() > 511) ++overlong_;
  }

  void frequencies(int n) {
    static const char *const kNames[] = {"ATIS", "UNICOM", "CLNC DEL", "GND", "TWR", "APP", "DEP"};
    for (int f = 0; f < n; ++f) {
      const int kind = f < 7 ? f : rng_.between(0, 6);
      out_.begin();
      out_.integer(1050 + kind);
      out_.put(' ');
      out_.integer(118000 + 5 * rng_.between(0, 3800));
      out_.put(' ');
      out_.str(kNames[kind]);
      out_.end();
    }
  }

  void startups(const Site &c, double spreadM, int n) {
    for (int s = 0; s < n; ++s) {
      const Site p = near(c, spreadM);
      out_.begin();
      out_.str("1300  ");
      out_.coord(p.lat);
      out_.put(' ');
      out_.coord(p.lon);
      out_.put(' ');
      out_.fixed(rng_.range(0, 360), 2);
      out_.str(rng_.chance(0.5) ? " gate jets|turboprops " : " tie_down props|helos ");
      out_.put(static_cast<char>('A' + rng_.between(0, 25)));
      out_.integer(s + 1);
      out_.end();
      if (rng_.chance(0.5)) {
        out_.begin();
        out_.str("1301 ");
        out_.put("ABCDEF"[rng_.between(0, 5)]);
        out_.str(rng_.chance(0.5) ? " airline" : " general_aviation");
        out_.end();
      }
    }
  }

  void taxiNetwork(const Site &c, double spreadM, int nodes) {
    out_.begin();
    out_.str("1200");
    out_.end();
    for (int n = 0; n < nodes; ++n) {
      const Site p = near(c, spreadM);
      out_.begin();
      out_.str("1201  ");
      out_.coord(p.lat);
      out_.put(' ');
      out_.coord(p.lon);
      out_.str(" both ");
      out_.integer(n);
      out_.str(" n");
      out_.integer(n);
      out_.end();
    }
    for (int n = 1; n < nodes; ++n) {
      out_.begin();
      out_.str("1202 ");
      out_.integer(rng_.between(0, n - 1));
      out_.put(' ');
      out_.integer(n);
      out_.str(rng_.chance(0.8) ? " twoway taxiway " : " oneway runway ");
      out_.put(static_cast<char>('A' + rng_.between(0, 25)));
      out_.end();
      if (rng_.chance(0.1)) {
        out_.begin();
        out_.str("1204 departure 09,27");
        out_.end();
      }
    }
  }

  // ---- Airports.

  void landAirport(long i, Oddity odd) {
    const bool crlf = rng_.chance(0.01);
    const bool tabs = rng_.chance(0.03);
    out_.setCrlf(crlf);
    out_.setTabs(tabs);
    const Site c = site();
    const int tier = rng_.between(0, 999);
    // tiny strips, small fields, large airports and the few hubs with thousands of rows
    const int size = tier < 520 ? 0 : tier < 870 ? 1 : tier < 985 ? 2 : 3;
    header("1", i, rng_.chance(0.02) ? -rng_.between(1, 200) : rng_.between(0, 9000), odd);

    int runways = size == 0 ? (rng_.chance(0.2) ? 2 : 1) : size == 1 ? rng_.between(1, 3) : rng_.between(2, 7);
    if (odd == kNoPosition || odd == kZeroDatumAlone) runways = 0;
    const double lengthM = size == 0 ? rng_.range(400, 1200) : size == 1 ? rng_.range(800, 2400) : rng_.range(1800, 4200);
    const double widthM = size == 0 ? rng_.range(10, 25) : size == 1 ? rng_.range(18, 35) : rng_.range(45, 60);
    const double heading = rng_.range(0, 180);
    for (int r = 0; r < runways; ++r) {
      const bool parallel = r > 0 && rng_.chance(0.5);
      const double h = parallel ? heading : rng_.range(0, 180);
      Oddity ro = kPlain;
      if (r == 0 && (odd == kLongRunway || odd == kRunway511 || odd == kRunway512 || odd == kShortRunway)) ro = odd;
      runway(runwayEnds(c, h, lengthM, parallel ? (r % 2 ? "L" : "R") : ""), widthM, ro);
    }
    if (odd == kLongIdent || rng_.chance(0.05)) {
      out_.begin();
      out_.str("102 H1 ");
      Site h = near(c, 200);
      out_.coord(h.lat);
      out_.put(' ');
      out_.coord(h.lon);
      out_.str(" 0.00 15.00 15.00 1 0 0 0.25 0");
      out_.end();
    }

    if (odd == kZeroDatum || odd == kZeroDatumAlone) {
      datum(true, 0.0, odd);
      datum(false, 0.0, odd);
    } else if (odd != kNoPosition &&
               (odd == kLongDatum || odd == kShortDatum || odd == kLongOtherRow || rng_.chance(0.88))) {
      out_.setTabs(tabs || rng_.chance(0.02));
      metadata("city", name());
      metadata("country", rng_.chance(0.5) ? "United States" : "Testland");
      datum(true, c.lat, odd);
      datum(false, c.lon, odd);
      out_.setTabs(tabs);
      if (rng_.chance(0.6)) metadata("faa_code", ident(i, false));
      if (rng_.chance(0.5)) metadata("icao_code", ident(i, false));
      if (rng_.chance(0.3)) metadata("region_code", "K1");
      if (rng_.chance(0.3)) metadata("transition_alt", "18000");
      if (odd == kLongOtherRow) metadata("city", std::string(600, 'q'));
    } else if (odd == kNoPosition) {
      metadata("city", name());
    }

    if (size == 0) {
      if (rng_.chance(0.7)) object(19, near(c, 300), "1 WS");
      if (rng_.chance(0.3)) boundary(c, lengthM * 0.7);
      if (rng_.chance(0.4)) frequencies(1);
      startups(c, 200, rng_.between(0, 2));
      if (rng_.chance(0.2)) pavement(c, 150, false);
    } else {
      const int scale = size == 1 ? 1 : size == 2 ? 4 : 16;
      const double spread = lengthM * 0.6;
      object(14, near(c, spread), "30 0 ATC Tower");
      object(18, near(c, spread), "1 BCN");
      object(19, near(c, spread), "1 WS");
      const int pavements = rng_.between(2 * scale, 6 * scale);
      for (int p = 0; p < pavements; ++p) pavement(c, spread, rng_.chance(0.1));
      const int lines = rng_.between(scale, 5 * scale);
      for (int l = 0; l < lines; ++l) lineFeature(c, spread);
      boundary(c, spread * 1.5);
      const int signs = rng_.between(2 * scale, 5 * scale);
      for (int s = 0; s < signs; ++s) sign(near(c, spread), odd == kLongOtherRow && s == 0);
      for (int l = 0; l < std::min(runways * 2, 8); ++l) object(21, near(c, spread), "2 160.00 3.00 09 PAPI-4L");
      frequencies(size == 1 ? rng_.between(1, 3) : rng_.between(4, 10));
      startups(c, spread, rng_.between(2 * scale, 6 * scale));
      taxiNetwork(c, spread, rng_.between(5 * scale, 15 * scale));
      if (size >= 2) {
        out_.begin();
        out_.str("1000 Calm and west flow");
        out_.end();
        out_.begin();
        out_.str("1100 09 12040 arrivals|departures jets|turboprops 000 360 09");
        out_.end();
        for (int t = 0; t < scale; ++t) object(1400, near(c, spread), "90.00 fuel_jets 2");
        for (int t = 0; t < scale; ++t) object(1500, near(c, spread), "90.00 1 2 45.00 12.00 3.50");
      }
    }
    out_.setCrlf(false);
    out_.setTabs(false);
  }

  RunwayEnds runwayEnds(const Site &c, double headingDeg, double lengthM, const char *side) {
    const Site mid = near(c, lengthM * 0.3);
    const double k = std::max(0.05, std::cos(mid.lat * kPi / 180.0));
    const double h = headingDeg * kPi / 180.0;
    const double dLat = std::cos(h) * lengthM / 2 / 111120.0;
    const double dLon = std::sin(h) * lengthM / 2 / (111120.0 * k);
    RunwayEnds r;
    r.a = Site{mid.lat - dLat, mid.lon - dLon};
    r.b = Site{mid.lat + dLat, mid.lon + dLon};
    auto designator = [](double deg, const char *s) {
      int n = static_cast<int>(std::lround(deg / 10.0)) % 36;
      if (n == 0) n = 36;
      char d[8];
      std::snprintf(d, sizeof d, "%02d%s", n, s);
      return std::string(d);
    };
    const char *other = side[0] == 'L' ? "R" : side[0] == 'R' ? "L" : "";
    r.d1 = designator(headingDeg, side);
    r.d2 = designator(headingDeg + 180.0, other);
    return r;
  }

  // Seaplane bases and heliports: the reader passes over them, so a few carry land runway rows to prove it.
  // Every 60th seaplane base or heliport has an over-long header, which still ends the airport before it.
  Oddity WaterOddity() const { return (seaHeaders_ + heliHeaders_) % 60 == 5 ? kLongHeader : kPlain; }

  void waterAirport(long i, const char *code, Oddity odd) {
    const bool crlf = rng_.chance(0.01);
    out_.setCrlf(crlf);
    const Site c = site();
    header(code, i, rng_.between(0, 600), odd);
    if (code[1] == '6') {
      const int n = rng_.between(1, 2);
      for (int w = 0; w < n; ++w) {
        const RunwayEnds r = runwayEnds(c, rng_.range(0, 180), rng_.range(900, 3000), "");
        out_.begin();
        out_.str("101 ");
        out_.fixed(rng_.range(30, 200), 2);
        out_.str(" 1 ");
        out_.str(r.d1);
        out_.put(' ');
        out_.coord(r.a.lat);
        out_.put(' ');
        out_.coord(r.a.lon);
        out_.put(' ');
        out_.str(r.d2);
        out_.put(' ');
        out_.coord(r.b.lat);
        out_.put(' ');
        out_.coord(r.b.lon);
        out_.end();
      }
    } else {
      const int n = rng_.between(1, 3);
      for (int p = 0; p < n; ++p) {
        const Site h = near(c, 60);
        out_.begin();
        out_.str("102 H");
        out_.integer(p + 1);
        out_.put(' ');
        out_.coord(h.lat);
        out_.put(' ');
        out_.coord(h.lon);
        out_.put(' ');
        out_.fixed(rng_.range(0, 360), 2);
        out_.str(" 18.00 18.00 2 1 0 0.25 0");
        out_.end();
      }
    }
    if (rng_.chance(0.03)) runway(runwayEnds(c, 90, 600, ""), 15, kPlain);  // ignored: no land airport open
    if (rng_.chance(0.8)) {
      metadata("city", name());
      datum(true, c.lat, kPlain);
      datum(false, c.lon, kPlain);
    }
    if (rng_.chance(0.4)) object(19, near(c, 100), "1 WS");
    if (rng_.chance(0.3)) frequencies(1);
    if (rng_.chance(0.2)) boundary(c, 150);
    out_.setCrlf(false);
  }

  void check(bool ok, const char *what) {
    if (ok) return;
    std::fprintf(stderr, "cvht-aptgen: internal error: %s\n", what);
    std::exit(3);
  }

  const Options &opt_;
  Rng rng_;
  Out &out_;
  double weightSum_ = 0;
  Expect expect_;
  uint64_t landHeaders_ = 0, seaHeaders_ = 0, heliHeaders_ = 0, overlong_ = 0;
};

void Usage() {
  std::fprintf(stderr,
               "usage: cvht-aptgen --out FILE [--seed N] [--airports N | --full] [--region LAT,LON,NM]\n"
               "                   [--counts FILE]\n"
               "  --full       about 38,000 airports (30,000 land), roughly 300 MB, like X-Plane's global file\n"
               "  --airports   number of airports of all kinds (default 400)\n"
               "  --region     place every airport within NM nautical miles of LAT,LON\n"
               "  --counts     where to write the expected counts (default FILE.counts)\n");
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--out" && hasValue) {
      o.out = argv[++i];
    } else if (a == "--seed" && hasValue) {
      o.seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (a == "--airports" && hasValue) {
      o.airports = std::strtol(argv[++i], nullptr, 10);
    } else if (a == "--full") {
      o.airports = 38000;
    } else if (a == "--counts" && hasValue) {
      o.counts = argv[++i];
    } else if (a == "--region" && hasValue) {
      if (std::sscanf(argv[++i], "%lf,%lf,%lf", &o.regionLat, &o.regionLon, &o.regionNm) != 3 || o.regionNm <= 0) {
        Usage();
        return 2;
      }
      o.region = true;
    } else {
      Usage();
      return 2;
    }
  }
  if (o.out.empty() || o.airports < 1 || o.airports > 10000000) {
    Usage();
    return 2;
  }
  if (o.counts.empty()) o.counts = o.out + ".counts";

  FILE *f = std::fopen(o.out.c_str(), "wb");
  if (!f) {
    std::fprintf(stderr, "cvht-aptgen: cannot write %s\n", o.out.c_str());
    return 1;
  }
  Out out(f);
  Generator gen(o, out);
  gen.run();
  const bool writeFailed = out.failed();
  if (std::fclose(f) != 0 || writeFailed) {
    std::fprintf(stderr, "cvht-aptgen: writing %s failed\n", o.out.c_str());
    return 1;
  }
  FILE *c = std::fopen(o.counts.c_str(), "w");
  if (!c) {
    std::fprintf(stderr, "cvht-aptgen: cannot write %s\n", o.counts.c_str());
    return 1;
  }
  gen.writeCounts(c);
  std::fclose(c);
  gen.writeCounts(stdout);
  return 0;
}
