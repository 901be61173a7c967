// cvht-xphost: runs the real TAVRO.xpl in our simulated X-Plane at a steady frame rate, with an
// aircraft parked or flying a short route, and shows the plug-in's log and the pilot's head.
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "hosted_session.h"

namespace {

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

void Usage() {
  std::fprintf(stderr,
               "usage: cvht-xphost [--xpl PATH] [--system-path DIR] [--seconds N] [--fps N]\n"
               "                   [--scenario parked|flight] [--quiet] [--press T:COMMAND ...]\n"
               "Loads the plug-in, starts it, runs frames in real time and stops it (Ctrl-C ends early).\n"
               "--press runs an X-Plane command at T seconds, as the pilot's key would, and shows the\n"
               "Plugins menu after it; the menu is also shown before the plug-in stops.\n"
               "The flight scenario takes off, flies a route with changing weather, and reloads the\n"
               "aircraft half-way; positions advance 40 times faster than its ground speed, so a short\n"
               "run passes several airports.\n");
}

struct Aircraft {
  const char *tail, *icao;
  float eyeX, eyeY, eyeZ;
};
constexpr Aircraft kFirst{"HB-CVH", "C172", 0.1f, 0.8f, -0.4f};
constexpr Aircraft kSecond{"HB-JVA", "A320", -0.55f, 1.35f, -11.2f};

void Board(const Aircraft &a) {
  simxp::SetBytes("sim/aircraft/view/acf_tailnum", std::string(a.tail) + std::string(40 - std::strlen(a.tail), '\0'));
  simxp::SetBytes("sim/aircraft/view/acf_ICAO", std::string(a.icao) + std::string(40 - std::strlen(a.icao), '\0'));
  simxp::SetFloat(simxp::kEyeRefs[0], a.eyeX);
  simxp::SetFloat(simxp::kEyeRefs[1], a.eyeY);
  simxp::SetFloat(simxp::kEyeRefs[2], a.eyeZ);
}

// The flight: a take-off roll, a climb on a north-easterly track, weather drifting as it goes.
struct Flight {
  double lat = 47.30, lon = 8.40;
  float altFt = 1400.0f;
  void Advance(double t, float dt) {
    const bool ground = t < 3.0;
    const float gsKt = ground ? static_cast<float>(t / 3.0 * 65.0) : std::min(65.0f + static_cast<float>(t - 3.0) * 6.0f, 120.0f);
    const float vsFpm = ground ? 0.0f : 700.0f;
    altFt += vsFpm / 60.0f * dt;
    const double trackDeg = 58.0 + (t > 10.0 ? 12.0 * std::sin((t - 10.0) / 4.0) : 0.0);
    const double nmPerSec = gsKt / 3600.0 * 40.0;  // compressed, see the usage text
    const double rad = trackDeg * 3.141592653589793 / 180.0;
    lat += nmPerSec * dt * std::cos(rad) / 60.0;
    lon += nmPerSec * dt * std::sin(rad) / (60.0 * std::cos(lat * 3.141592653589793 / 180.0));
    const float mps = gsKt / 1.94384f;
    simxp::SetInt("sim/flightmodel/failures/onground_any", ground ? 1 : 0);
    simxp::SetFloat("sim/flightmodel/position/y_agl", (altFt - 1400.0f) / 3.28084f);
    simxp::SetFloat("sim/flightmodel/position/theta", ground ? 0.0f : 6.5f);
    simxp::SetFloat("sim/flightmodel/position/phi", static_cast<float>(t > 10.0 ? 15.0 * std::cos((t - 10.0) / 4.0) : 0.0));
    simxp::SetFloat("sim/flightmodel/position/indicated_airspeed", gsKt * 0.97f);
    simxp::SetFloat("sim/flightmodel/misc/h_ind", altFt);
    simxp::SetFloat("sim/flightmodel/position/vh_ind_fpm", vsFpm);
    simxp::SetFloat("sim/flightmodel/position/mag_psi", static_cast<float>(trackDeg - 3.0));
    simxp::SetFloat("sim/flightmodel/position/true_airspeed", mps * 1.02f);
    simxp::SetFloat("sim/flightmodel/position/groundspeed", mps);
    simxp::SetFloat(simxp::kTrackRef, static_cast<float>(trackDeg));
    simxp::SetDouble("sim/flightmodel/position/latitude", lat);
    simxp::SetDouble("sim/flightmodel/position/longitude", lon);
    simxp::SetFloat("sim/flightmodel/forces/g_nrml", static_cast<float>(1.0 + 0.05 * std::sin(t * 2.0)));
    simxp::SetFloat("sim/time/total_flight_time_sec", static_cast<float>(t));
    simxp::SetFloat("sim/weather/aircraft/wind_now_direction_degt", static_cast<float>(250.0 + 20.0 * std::sin(t / 5.0)));
    simxp::SetFloat("sim/weather/aircraft/wind_now_speed_msc", static_cast<float>(5.0 + 3.0 * std::sin(t / 3.0)));
    simxp::SetFloat("sim/weather/aircraft/qnh_pas", static_cast<float>(101625.0 - 40.0 * t));
    simxp::SetFloat("sim/weather/aircraft/visibility_reported_sm", static_cast<float>(std::max(3.0, 10.0 - 0.3 * t)));
    simxp::SetFloat("sim/weather/aircraft/temperature_ambient_deg_c", 15.0f - (altFt - 1400.0f) / 500.0f);
  }
};

// A METAR for any airport, made from the weather around the aircraft.
std::string MakeMetar(const std::string &ident) {
  int dir = static_cast<int>(std::lround(simxp::GetFloat("sim/weather/aircraft/wind_now_direction_degt") / 10.0)) * 10;
  int kt = static_cast<int>(std::lround(simxp::GetFloat("sim/weather/aircraft/wind_now_speed_msc") * 1.94384f));
  int oat = static_cast<int>(std::lround(simxp::GetFloat("sim/weather/aircraft/temperature_ambient_deg_c")));
  int qnh = static_cast<int>(std::lround(simxp::GetFloat("sim/weather/aircraft/qnh_pas") / 100.0f));
  char m[150];
  std::snprintf(m, sizeof m, "%s 071150Z %03d%02dKT 9999 FEW035 SCT080 %02d/%02d Q%04d NOSIG", ident.c_str(), dir % 360,
                kt, oat, oat - 7, qnh);
  return m;
}

// The Plugins menu as the pilot would see it, with the plug-in's status line.
void ShowMenu() {
  std::istringstream menu(simxp::MenuText());
  for (std::string line; std::getline(menu, line);) std::printf("[x-plane]   %s\n", line.c_str());
}

}  // namespace

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string xpl = simxp::DefaultPluginPath();
  std::string systemPath = "/nonexistent/";
  std::string scenario = "parked";
  double seconds = 10.0;
  int fps = 60;
  bool quiet = false;
  std::vector<std::pair<double, std::string>> presses;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char * {
      if (i + 1 >= argc) {
        Usage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--xpl") xpl = next();
    else if (a == "--system-path") systemPath = next();
    else if (a == "--seconds") seconds = std::atof(next());
    else if (a == "--fps") fps = std::atoi(next());
    else if (a == "--scenario") scenario = next();
    else if (a == "--quiet") quiet = true;
    else if (a == "--press") {
      const std::string p = next();
      const size_t colon = p.find(':');
      if (colon == std::string::npos) {
        Usage();
        return 2;
      }
      presses.emplace_back(std::atof(p.substr(0, colon).c_str()), p.substr(colon + 1));
    }
    else {
      Usage();
      return 2;
    }
  }
  if (fps <= 0 || fps > 1000 || !(seconds >= 0) || (scenario != "parked" && scenario != "flight")) {
    Usage();
    return 2;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  simxp::Session session;
  if (!session.Open(systemPath, {}, xpl)) {
    std::fprintf(stderr, "cvht-xphost: %s\n", session.Error().c_str());
    return 1;
  }
  simxp::EchoLog(true, "[x-plane] ");
  simxp::Plugin &plugin = session.plugin();
  const bool flying = scenario == "flight";
  Flight flight;
  if (flying) {
    Board(kFirst);
    simxp::SetMetarSource(MakeMetar);
    flight.Advance(0.0, 0.0f);
  }

  if (!session.Start()) {
    std::fprintf(stderr, "cvht-xphost: the plug-in refused to start\n");
    return 1;
  }
  plugin.Enable();

  const float dt = 1.0f / static_cast<float>(fps);
  const auto period = std::chrono::duration<double>(1.0 / fps);
  const auto t0 = std::chrono::steady_clock::now();
  auto next = t0;
  const long frames = static_cast<long>(seconds * fps);
  double worstMs = 0.0, totalMs = 0.0;
  long run = 0;
  bool reloaded = false;
  for (long f = 0; f < frames && !gStop; ++f, ++run) {
    const double t = static_cast<double>(f) / fps;
    if (flying) {
      flight.Advance(t, dt);
      if (!reloaded && t >= seconds / 2) {
        reloaded = true;
        std::printf("[x-plane] %6.2fs loading aircraft %s (%s)\n", t, kSecond.icao, kSecond.tail);
        Board(kSecond);
        int ai = 1;
        plugin.Message(0, 102, &ai);  // an AI aircraft first: the plug-in ignores it
        plugin.Message(0, 102, nullptr);
      }
    }
    for (auto &[at, command] : presses) {
      if (at > t || command.empty()) continue;
      std::printf("[x-plane] %6.2fs pressing %s\n", t, command.c_str());
      if (!simxp::CommandOnce(command)) std::printf("[x-plane] no such command: %s\n", command.c_str());
      ShowMenu();
      command.clear();  // pressed once
    }
    auto a = std::chrono::steady_clock::now();
    simxp::RunFrame(dt);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - a).count();
    worstMs = std::max(worstMs, ms);
    totalMs += ms;
    if (!quiet && f % (fps / 2 > 0 ? fps / 2 : 1) == 0) {
      std::printf("[x-plane] %6.2fs head x=%+.3f y=%+.3f z=%+.3f psi=%+6.1f the=%+6.1f phi=%+6.1f", t,
                  simxp::GetFloat(simxp::kHeadRefs[0]), simxp::GetFloat(simxp::kHeadRefs[1]),
                  simxp::GetFloat(simxp::kHeadRefs[2]), simxp::GetFloat(simxp::kHeadRefs[3]),
                  simxp::GetFloat(simxp::kHeadRefs[4]), simxp::GetFloat(simxp::kHeadRefs[5]));
      if (flying)
        std::printf(" | %.3f,%.3f %.0fft", flight.lat, flight.lon, flight.altFt);
      std::printf("\n");
    }
    next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period);
    std::this_thread::sleep_until(next);
  }
  ShowMenu();
  plugin.Disable();
  bool gone = session.Close();
  std::printf("[x-plane] summary: %ld frames at %d fps, plug-in frame time %.3f ms average, %.3f ms worst\n", run, fps,
              run ? totalMs / run : 0.0, worstMs);
  std::string report, link;
  for (const auto &l : simxp::LogLines()) {
    if (l.rfind("CVHT: recv=", 0) == 0) report = l;
    if (l.rfind("CVHT: link ", 0) == 0) link = l;
  }
  if (!report.empty()) std::printf("[x-plane] last link report: %s\n[x-plane]                   %s\n", report.c_str() + 6, link.c_str() + 6);
  int faults = 0;
  for (const auto &f : simxp::Faults()) {
    std::printf("[x-plane] fault: %s\n", f.c_str());
    ++faults;
  }
  if (!gone) std::printf("[x-plane] fault: the plug-in did not unload\n");
  if (faults == 0 && gone) std::printf("[x-plane] faults: none\n");
  return faults == 0 && gone ? 0 : 1;
}
