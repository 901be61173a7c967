// The airport index: land airports and runways read from X-Plane's apt.dat, and the nearest-airport query.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace apt {

// A land airport with a position; ident is NUL-terminated and zero-filled.
struct Airport {
  char ident[8];
  float lat;
  float lon;
  int32_t elevationFt;
};

// A land runway; airport is the owner's position in Index::airports (-1 straight out of parseRunwayRow).
struct Runway {
  int32_t airport;
  char end1[4];
  char end2[4];
  float lat1;
  float lon1;
  float lat2;
  float lon2;
  float widthM;
};

// One result of Index::nearest.
struct Nearby {
  int32_t airport;
  float distanceNm;
};

static_assert(sizeof(Airport) == 20);
static_assert(offsetof(Airport, ident) == 0);
static_assert(offsetof(Airport, lat) == 8);
static_assert(offsetof(Airport, lon) == 12);
static_assert(offsetof(Airport, elevationFt) == 16);

static_assert(sizeof(Runway) == 32);
static_assert(offsetof(Runway, airport) == 0);
static_assert(offsetof(Runway, end1) == 4);
static_assert(offsetof(Runway, end2) == 8);
static_assert(offsetof(Runway, lat1) == 12);
static_assert(offsetof(Runway, lon1) == 16);
static_assert(offsetof(Runway, lat2) == 20);
static_assert(offsetof(Runway, lon2) == 24);
static_assert(offsetof(Runway, widthM) == 28);

static_assert(sizeof(Nearby) == 8);
static_assert(offsetof(Nearby, airport) == 0);
static_assert(offsetof(Nearby, distanceNm) == 4);

struct Index {
  std::vector<Airport> airports;  // file order, every one with a position
  std::vector<Runway> runways;    // file order, each airport's runways next to each other

  // Reads the apt.dat at path into this (empty) index. False when the file cannot be opened or a read
  // fails before its end. Memory exhaustion escapes as std::bad_alloc with the file closed. After a
  // failure the index is empty: never half a file.
  bool read(const char *path);

  // read's work on a stream that is already open; the stream stays open.
  bool readStream(std::FILE *file);

  // Removes the airports at 0, 0 and renumbers the runways; the last step of read.
  void dropUnplaceable();

  // What read leaves: placed airports (not at 0, 0) with identifiers NUL-terminated, not empty and zero-filled,
  // runways of a valid owner in non-decreasing owner order with designators of the same kind.
  bool wellFormed() const;

  // At most count airports within radiusNm of (lat, lon), nearest first, by flat-earth distance.
  std::vector<Nearby> nearest(double lat, double lon, int count, double radiusNm) const;
};

// Parses one row-100 line, splitting it in place. On failure rw is left untouched.
bool parseRunwayRow(char *line, Runway &rw);

}  // namespace apt
