// Our apt.dat writer: the rows a reader of airports and runways looks at, and whole realistic files from a seed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace aptgen {

// What parts the tokens of a row (" " or "\t") and what ends it ("\n", "\r\n", or "" to end it oneself).
struct Style {
  const char *sep = " ";
  const char *eol = "\n";
};

// The airport header rows: land airport, seaplane base, heliport.
enum Kind { kLand = 1, kSeaplaneBase = 16, kHeliport = 17 };

// One end of a land runway. Numbers are text, written as given; blanks in rest part its tokens.
struct RunwayEnd {
  std::string designator, lat, lon;
  std::string rest = "0.00 0.00 2 0 0 0";  // displaced threshold, blast pad, markings, lights, touchdown, REIL
};

// A land runway; blanks in surface part its tokens.
struct Runway {
  RunwayEnd end1, end2;
  std::string width = "30.00";
  std::string surface = "1 0 0.25 0 2 1";  // surface, shoulder, smoothness, centre lights, edge lights, signs
};

// In every row an empty token is left out, so a row can be cut short (a header of 4 tokens, a runway
// without its last fields).

// The file's first two rows, as X-Plane writes them.
std::string Preamble(uint64_t seed = 0, Style s = {});
// An airport header row; the name is written as given, blanks and all.
std::string Header(const std::string &ident, const std::string &elevationFt = "100", Kind kind = kLand, Style s = {},
                   const std::string &name = "Test Field");
// A land runway row 100 of 26 tokens.
std::string RunwayRow(const Runway &r, Style s = {});
// A metadata row 1302.
std::string Metadata(const std::string &key, const std::string &value, Style s = {});
// The two datum rows 1302 datum_lat and datum_lon.
std::string Datum(const std::string &lat, const std::string &lon, Style s = {});
// The end row 99.
std::string End(Style s = {});

// A runway end's designator: number in two digits, then the side ("L", "R", "C" or "").
std::string Designator(int number, const char *side = "");
// v with exactly decimals (0 to 8) decimals, rounded half away from zero.
std::string Fixed(double v, int decimals);
// The same written at out, which has room for 32 bytes; returns the length.
size_t WriteFixed(char *out, double v, int decimals);

// What a generated file holds: airports of all kinds, where, from which seed.
struct Options {
  uint64_t seed = 1;
  long airports = 400;
  bool region = false;  // every airport within regionNm nautical miles of regionLat, regionLon
  double regionLat = 0, regionLon = 0, regionNm = 0;
};

// Writes the whole file for o to out, the same bytes for the same options everywhere. counts, when given,
// receives what a reader must find in it, as "name value" lines. False when a write failed.
bool Generate(const Options &o, std::FILE *out, std::string *counts = nullptr);

}  // namespace aptgen
