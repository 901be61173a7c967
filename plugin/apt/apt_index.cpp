// Reads X-Plane's apt.dat into the compact airport index and answers nearest-airport queries.
#include "apt/apt_index.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "cvht_platform.h"
#if defined(__GLIBC__)
#include <stdio_ext.h>
#endif

namespace apt {
namespace {

constexpr size_t kStreamBufferBytes = 1048576;
// Rows 1, 100 and 1302 longer than this (line feed included) are not rows we trust.
constexpr ssize_t kMaxRowBytes = 511;

inline bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Splits s in place into at most max tokens separated by runs of " \t\r\n", as strtok_r would.
int Split(char *s, char **tokens, int max) {
  int n = 0;
  while (n < max) {
    while (IsSeparator(*s)) ++s;
    if (*s == '\0') break;
    tokens[n++] = s;
    while (*s != '\0' && !IsSeparator(*s)) ++s;
    if (*s == '\0') break;
    *s++ = '\0';
  }
  return n;
}

// atoi's longest numeric prefix, held at the ends of int32 instead of overflowing.
int32_t ToInt32(const char *s) {
  const long v = std::strtol(s, nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

double ToDouble(const char *s) { return std::strtod(s, nullptr); }

// Copies at most size - 1 characters of src into a zeroed field of size bytes.
void CopyCut(char *field, size_t size, const char *src) {
  std::memset(field, 0, size);
  for (size_t i = 0; i + 1 < size && src[i] != '\0'; ++i) field[i] = src[i];
}

// A text field: NUL-terminated within its size, not empty, zero after the terminator.
bool WellFormedText(const char *field, size_t size) {
  const char *end = static_cast<const char *>(std::memchr(field, '\0', size));
  return end && end != field && std::all_of(end, field + size, [](char c) { return c == '\0'; });
}

// A line longer than this does not keep its buffer for the rest of the file.
constexpr size_t kMaxKeptLineBytes = 65536;

// The file and its stream buffer, released on every way out of read, a bad_alloc included.
struct OpenFile {
  FILE *file = nullptr;
  char *streamBuffer = nullptr;
  ~OpenFile() {
    if (file) std::fclose(file);
    std::free(streamBuffer);
  }
};

// The line reader's buffer, reused from line to line.
struct LineBuffer {
  char *line = nullptr;
  size_t capacity = 0;
  ~LineBuffer() { release(); }
  void release() {
    std::free(line);
    line = nullptr;
    capacity = 0;
  }
};

// The airport being read, from its header row to the next header or the end of the file.
struct Current {
  bool open = false;
  size_t airport = 0;
  bool haveDatum = false;
  double datumLat = 0.0;
  double datumLon = 0.0;
  double latSum = 0.0;
  double lonSum = 0.0;
  int ends = 0;
};

// A datum wins over the runways; an airport with neither stays at 0, 0 and is dropped later.
void Close(Index &index, Current &cur) {
  if (!cur.open) return;
  cur.open = false;
  Airport &a = index.airports[cur.airport];
  if (cur.haveDatum) {
    a.lat = static_cast<float>(cur.datumLat);
    a.lon = static_cast<float>(cur.datumLon);
  } else if (cur.ends > 0) {
    a.lat = static_cast<float>(cur.latSum / cur.ends);
    a.lon = static_cast<float>(cur.lonSum / cur.ends);
  }
}

void OnAirportRow(Index &index, Current &cur, char *row) {
  Close(index, cur);
  char *tok[6];
  if (Split(row, tok, 6) < 5) return;
  Airport a{};
  CopyCut(a.ident, sizeof a.ident, tok[4]);
  a.elevationFt = ToInt32(tok[1]);
  index.airports.push_back(a);
  cur = Current{};
  cur.open = true;
  cur.airport = index.airports.size() - 1;
}

void OnRunwayRow(Index &index, Current &cur, char *row) {
  Runway rw;
  if (!parseRunwayRow(row, rw)) return;
  rw.airport = static_cast<int32_t>(cur.airport);
  index.runways.push_back(rw);
  cur.latSum += static_cast<double>(rw.lat1 + rw.lat2);
  cur.lonSum += static_cast<double>(rw.lon1 + rw.lon2);
  cur.ends += 2;
}

void OnMetadataRow(Current &cur, char *row) {
  char *tok[3];
  if (Split(row, tok, 3) < 3) return;
  if (std::strcmp(tok[1], "datum_lat") == 0) {
    cur.datumLat = ToDouble(tok[2]);
  } else if (std::strcmp(tok[1], "datum_lon") == 0) {
    cur.datumLon = ToDouble(tok[2]);
  } else {
    return;
  }
  if (cur.datumLat != 0.0 || cur.datumLon != 0.0) cur.haveDatum = true;
}

bool ReadLines(Index &index, FILE *file) {
  LineBuffer in;
  Current cur;
  char row[512];
  ssize_t n;
  for (;;) {
    if (in.capacity > kMaxKeptLineBytes) in.release();
    n = cvht::ReadLine(&in.line, &in.capacity, file);
    if (n <= 0) break;
    // Most rows are taxiways, lights and signs: decide the kind on the raw bytes and move on.
    const char *s = in.line;
    if (s[0] != '1') continue;
    enum { kNone, kAirport, kRunway, kMetadata } kind = kNone;
    if (IsBlank(s[1])) {
      kind = kAirport;
    } else if (s[1] == '6' || s[1] == '7') {
      if (IsBlank(s[2])) Close(index, cur);
      continue;
    } else if (s[1] == '0') {
      if (s[2] == '0' && IsBlank(s[3]) && cur.open) kind = kRunway;
    } else if (s[1] == '3') {
      if (s[2] == '0' && s[3] == '2' && IsBlank(s[4]) && cur.open) kind = kMetadata;
    }
    if (kind == kNone || n > kMaxRowBytes) continue;
    std::memcpy(row, s, static_cast<size_t>(n) + 1);
    if (kind == kAirport) {
      OnAirportRow(index, cur, row);
    } else if (kind == kRunway) {
      OnRunwayRow(index, cur, row);
    } else {
      OnMetadataRow(cur, row);
    }
  }
  // The line reader's -1 means the end of the file or a failure; only the end yields an index. The stream's
  // flags and errno, as the last read left them, tell which.
  const int error = errno;
  if (std::ferror(file) || !std::feof(file)) {
    if (error == ENOMEM) throw std::bad_alloc();
    index = Index{};
    return false;
  }
  Close(index, cur);
  in.release();
  index.dropUnplaceable();
  return true;
}

}  // namespace

bool parseRunwayRow(char *line, Runway &rw) {
  char *tok[24];
  const int n = Split(line, tok, 24);
  if (n < 20 || std::strcmp(tok[0], "100") != 0) return false;
  rw.airport = -1;
  rw.widthM = static_cast<float>(ToDouble(tok[1]));
  CopyCut(rw.end1, sizeof rw.end1, tok[8]);
  CopyCut(rw.end2, sizeof rw.end2, tok[17]);
  rw.lat1 = static_cast<float>(ToDouble(tok[9]));
  rw.lon1 = static_cast<float>(ToDouble(tok[10]));
  rw.lat2 = static_cast<float>(ToDouble(tok[18]));
  rw.lon2 = static_cast<float>(ToDouble(tok[19]));
  return true;
}

bool Index::read(const char *path) {
  OpenFile in;
  in.file = std::fopen(path, "rb");
  if (!in.file) return false;
  // glibc ignores the size of a buffer it is asked to allocate itself, so the 1 MiB comes from malloc.
  in.streamBuffer = static_cast<char *>(std::malloc(kStreamBufferBytes));
  if (in.streamBuffer) std::setvbuf(in.file, in.streamBuffer, _IOFBF, kStreamBufferBytes);
#if defined(__GLIBC__)
  // Only this thread touches the stream, so the line reader need not lock it for every line.
  __fsetlocking(in.file, FSETLOCKING_BYCALLER);
#endif
  return readStream(in.file);
}

bool Index::readStream(FILE *file) {
  try {
    return ReadLines(*this, file);
  } catch (...) {
    *this = Index{};
    throw;
  }
}

void Index::dropUnplaceable() {
  std::vector<int32_t> moved(airports.size(), -1);
  std::vector<Airport> keptAirports;
  keptAirports.reserve(airports.size());
  for (size_t i = 0; i < airports.size(); ++i) {
    const Airport &a = airports[i];
    if (a.lat == 0.0f && a.lon == 0.0f) continue;
    moved[i] = static_cast<int32_t>(keptAirports.size());
    keptAirports.push_back(a);
  }
  std::vector<Runway> keptRunways;
  keptRunways.reserve(runways.size());
  for (const Runway &r : runways) {
    if (r.airport < 0 || static_cast<size_t>(r.airport) >= moved.size() || moved[r.airport] < 0) continue;
    keptRunways.push_back(r);
    keptRunways.back().airport = moved[r.airport];
  }
  airports.swap(keptAirports);
  runways.swap(keptRunways);
}

bool Index::wellFormed() const {
  for (const Airport &a : airports)
    if ((a.lat == 0.0f && a.lon == 0.0f) || !WellFormedText(a.ident, sizeof a.ident)) return false;
  for (size_t i = 0; i < runways.size(); ++i) {
    const Runway &r = runways[i];
    if (r.airport < 0 || static_cast<size_t>(r.airport) >= airports.size() ||
        (i > 0 && r.airport < runways[i - 1].airport) || !WellFormedText(r.end1, sizeof r.end1) ||
        !WellFormedText(r.end2, sizeof r.end2))
      return false;
  }
  return true;
}

std::vector<Nearby> Index::nearest(double lat, double lon, int count, double radiusNm) const {
  const double k = std::cos(lat * 3.141592653589793 / 180.0);
  const double r = radiusNm / 60.0;
  const double r2 = r * r;
  std::vector<Nearby> out;
  const Airport *a = airports.data();
  const size_t n = airports.size();
  for (size_t i = 0; i < n; ++i) {
    const double dLat = static_cast<double>(a[i].lat) - lat;
    const double dLon = k * (static_cast<double>(a[i].lon) - lon);
    const double d2 = dLat * dLat + dLon * dLon;
    if (d2 > r2) continue;
    const float distanceNm = static_cast<float>(std::sqrt(d2) * 60.0);
    // "nan" and "inf" parse as coordinates; such a place has no distance and would poison the sort.
    if (!std::isfinite(distanceNm)) continue;
    out.push_back(Nearby{static_cast<int32_t>(i), distanceNm});
  }
  std::sort(out.begin(), out.end(), [](const Nearby &x, const Nearby &y) { return x.distanceNm < y.distanceNm; });
  if (count < static_cast<ptrdiff_t>(out.size())) out.resize(count < 0 ? 0 : static_cast<size_t>(count));
  return out;
}

}  // namespace apt
