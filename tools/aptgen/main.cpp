// cvht-aptgen: writes a realistic synthetic apt.dat from a seed, and the counts a reader must find in it.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "aptgen.h"

namespace {

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
  aptgen::Options o;
  std::string out, counts;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--out" && hasValue) {
      out = argv[++i];
    } else if (a == "--seed" && hasValue) {
      o.seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (a == "--airports" && hasValue) {
      o.airports = std::strtol(argv[++i], nullptr, 10);
    } else if (a == "--full") {
      o.airports = 38000;
    } else if (a == "--counts" && hasValue) {
      counts = argv[++i];
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
  if (out.empty() || o.airports < 1 || o.airports > 10000000) {
    Usage();
    return 2;
  }
  if (counts.empty()) counts = out + ".counts";

  FILE *f = std::fopen(out.c_str(), "wb");
  if (!f) {
    std::fprintf(stderr, "cvht-aptgen: cannot write %s\n", out.c_str());
    return 1;
  }
  std::string expected;
  const bool written = aptgen::Generate(o, f, &expected);
  if (std::fclose(f) != 0 || !written) {
    std::fprintf(stderr, "cvht-aptgen: writing %s failed\n", out.c_str());
    return 1;
  }
  FILE *c = std::fopen(counts.c_str(), "w");
  if (!c) {
    std::fprintf(stderr, "cvht-aptgen: cannot write %s\n", counts.c_str());
    return 1;
  }
  std::fputs(expected.c_str(), c);
  std::fclose(c);
  std::fputs(expected.c_str(), stdout);
  return 0;
}
